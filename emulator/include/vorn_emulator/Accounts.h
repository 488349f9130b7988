#pragma once

// Read helpers for the accounts of the emulator: the outbox of mails and
// texts it would have sent, sessions and passwords. Like the other storage
// helpers, use them on the server thread (through Server::call while the
// server runs).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn::emulator {

class Storage;

// The outbox, oldest first. Each entry is
//   {"kind": "verify" | "reset" | "sms", "to": address or phone number,
//    "link": URL (verify, reset) or "code": six digits (sms), "createdAt": date text}
// The same list is served by GET /admin/outbox.
std::vector<nlohmann::json> outbox(Storage& storage);

// Empties the outbox (DELETE /admin/outbox); returns how many entries it held.
std::size_t clearOutbox(Storage& storage);

// The objectId of the user a session token belongs to, if it is valid.
std::optional<std::string> sessionUserId(Storage& storage, std::string_view token);

// Whether `password` is the user's password (false for users without one).
bool checkUserPassword(Storage& storage, const std::string& userId, std::string_view password);

}  // namespace vorn::emulator
