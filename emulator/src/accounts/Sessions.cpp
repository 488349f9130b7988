#include "accounts/Sessions.h"

#include "accounts/Passwords.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::accounts {

namespace {

constexpr std::string_view kTokenPrefix = "r:";
constexpr std::size_t kTokenBytes = 16;
// Longer header values are no token of ours; they are not even hashed.
constexpr std::size_t kMaxTokenLength = 1024;

}  // namespace

std::string createSession(Storage& storage, const std::string& userId) {
    std::string token = std::string(kTokenPrefix) + randomHex(kTokenBytes);
    const auto now = Clock::now();
    storage.execute("INSERT INTO sessions (token_hash, user_id, created_at, created_ms) VALUES (?, ?, ?, ?)",
                    {sha256Hex(token), userId, formatDateText(now), epochMillis(now)});
    return token;
}

std::optional<std::string> sessionUser(Storage& storage, std::string_view token) {
    if (token.empty() || token.size() > kMaxTokenLength) return std::nullopt;
    auto row = storage.queryOne(
        "SELECT s.user_id FROM sessions s JOIN objects o ON o.class_name = '_User' AND o.object_id = s.user_id "
        "WHERE s.token_hash = ?",
        {sha256Hex(token)});
    if (!row) return std::nullopt;
    return row->at(0).asText();
}

void deleteSessions(Storage& storage, const std::string& userId) {
    storage.execute("DELETE FROM sessions WHERE user_id = ?", {userId});
}

}  // namespace vorn::emulator::accounts
