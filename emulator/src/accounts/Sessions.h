#pragma once

// Sessions of users: a random token ("r:" and 32 hex digits) given to the
// client at sign-up and at each log-in, kept only as its SHA-256 hash in the
// `sessions` table. Sessions do not expire; they end when their user is
// deleted.

#include <optional>
#include <string>
#include <string_view>

namespace vorn::emulator {
class Storage;
}

namespace vorn::emulator::accounts {

// Starts a session of the user and returns its token.
std::string createSession(Storage& storage, const std::string& userId);

// The objectId of the user a token belongs to, when the token is one of ours
// and its user still exists.
std::optional<std::string> sessionUser(Storage& storage, std::string_view token);

// Ends every session of the user.
void deleteSessions(Storage& storage, const std::string& userId);

}  // namespace vorn::emulator::accounts
