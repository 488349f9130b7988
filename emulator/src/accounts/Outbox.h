#pragma once

// The outbox and the single-use secrets behind what it holds.
//
// The emulator sends no mail and no texts. What it would send is kept in the
// `outbox` table (read it with outbox() of vorn_emulator/Accounts.h or
// GET /admin/outbox). The secrets in those messages (the token of a link, a
// text's code) are kept in `account_secrets` as SHA-256 hashes with the user
// and the address they were sent to, and can be used once.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::emulator {
class Storage;
}

namespace vorn::emulator::accounts {

// Kinds of outbox entries and of secrets.
inline constexpr std::string_view kVerifyKind = "verify";  // e-mail verification link
inline constexpr std::string_view kResetKind = "reset";    // password reset link
inline constexpr std::string_view kSmsKind = "sms";        // password reset code by text

// One outbox entry: exactly one of link and code is set.
void addToOutbox(Storage& storage, std::string_view kind, const std::string& to, const std::string& link,
                 const std::string& code);

struct Secret {
    std::int64_t id = 0;
    std::string userId;
    std::string address;  // the e-mail address or phone number it was sent to
    std::string secretHash;
};

// Keeps a new secret of `kind` for the user. Earlier unused secrets of the
// same kind sent to the same address stay usable, except for text codes:
// a new code replaces the earlier ones of that number.
void storeSecret(Storage& storage, std::string_view kind, const std::string& userId, const std::string& address,
                 const std::string& secret);

// The unused secret of `kind` whose hash is the hash of `secret`.
std::optional<Secret> findUnusedSecret(Storage& storage, std::string_view kind, std::string_view secret);

// The latest unused secret of `kind` sent to `address`.
std::optional<Secret> latestUnusedSecret(Storage& storage, std::string_view kind, const std::string& address);

// Whether `secret` is the one kept in `stored` (constant time).
bool secretMatches(const Secret& stored, std::string_view secret);

void markSecretUsed(Storage& storage, std::int64_t id);

// Drops every secret of a user (when the user is deleted).
void deleteSecrets(Storage& storage, const std::string& userId);

}  // namespace vorn::emulator::accounts
