#pragma once

// The delivery log of the push service. The emulator sends no notification:
// "/7/push" records one delivery per target installation instead. Like the
// other storage helpers, use these on the server thread (through
// Server::call while the server runs).

#include <cstddef>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorn::emulator {

class Storage;

// Every delivery, oldest first:
//   {"pushId", "installationId", "deviceToken" (null when the installation has
//    none), "payload": the push's "data" (null when it had none), "channels"
//    and "where" as requested (null when absent), "dueAt": date text,
//    "expiresAt": date text or null, "status": "delivered" | "scheduled" |
//    "expired", "createdAt": date text}
// The status is judged when the push is recorded: "expired" when it expires
// before it is due (or is already past its expiry), "scheduled" when it is
// due later, "delivered" otherwise. The same list is served by GET /admin/pushes.
std::vector<nlohmann::json> pushDeliveries(Storage& storage);

// Empties the log (DELETE /admin/pushes); returns how many entries it held.
std::size_t clearPushDeliveries(Storage& storage);

}  // namespace vorn::emulator
