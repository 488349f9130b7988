#include "accounts/Outbox.h"

#include <openssl/crypto.h>

#include "accounts/Passwords.h"
#include "vorn_emulator/Accounts.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace accounts {

namespace {

constexpr std::string_view kSelectSecret = "SELECT id, user_id, address, secret_hash FROM account_secrets ";

Secret secretFromRow(const SqlRow& row) {
    return Secret{row.at(0).asInt(), row.at(1).asText(), row.at(2).asText(), row.at(3).asText()};
}

}  // namespace

void addToOutbox(Storage& storage, std::string_view kind, const std::string& to, const std::string& link,
                 const std::string& code) {
    storage.execute("INSERT INTO outbox (kind, recipient, link, code, created_at) VALUES (?, ?, ?, ?, ?)",
                    {kind, to, link.empty() ? SqlValue() : SqlValue(link), code.empty() ? SqlValue() : SqlValue(code),
                     formatDateText(Clock::now())});
}

void storeSecret(Storage& storage, std::string_view kind, const std::string& userId, const std::string& address,
                 const std::string& secret) {
    if (kind == kSmsKind) {
        storage.execute("UPDATE account_secrets SET used = 1 WHERE kind = ? AND address = ? AND used = 0",
                        {kind, address});
    }
    storage.execute(
        "INSERT INTO account_secrets (kind, secret_hash, user_id, address, created_ms) VALUES (?, ?, ?, ?, ?)",
        {kind, sha256Hex(secret), userId, address, epochMillis(Clock::now())});
}

std::optional<Secret> findUnusedSecret(Storage& storage, std::string_view kind, std::string_view secret) {
    auto row = storage.queryOne(std::string(kSelectSecret) + "WHERE kind = ? AND secret_hash = ? AND used = 0",
                                {kind, sha256Hex(secret)});
    if (!row) return std::nullopt;
    return secretFromRow(*row);
}

std::optional<Secret> latestUnusedSecret(Storage& storage, std::string_view kind, const std::string& address) {
    auto row = storage.queryOne(
        std::string(kSelectSecret) + "WHERE kind = ? AND address = ? AND used = 0 ORDER BY id DESC LIMIT 1",
        {kind, address});
    if (!row) return std::nullopt;
    return secretFromRow(*row);
}

bool secretMatches(const Secret& stored, std::string_view secret) {
    const std::string hash = sha256Hex(secret);
    return hash.size() == stored.secretHash.size() &&
           CRYPTO_memcmp(hash.data(), stored.secretHash.data(), hash.size()) == 0;
}

void markSecretUsed(Storage& storage, std::int64_t id) {
    storage.execute("UPDATE account_secrets SET used = 1 WHERE id = ?", {id});
}

void deleteSecrets(Storage& storage, const std::string& userId) {
    storage.execute("DELETE FROM account_secrets WHERE user_id = ?", {userId});
}

}  // namespace accounts

std::vector<nlohmann::json> outbox(Storage& storage) {
    std::vector<nlohmann::json> entries;
    storage.forEach("SELECT kind, recipient, link, code, created_at FROM outbox ORDER BY id", {},
                    [&](const Statement& row) {
        nlohmann::json entry{{"kind", row.getText(0)}, {"to", row.getText(1)}};
        if (!row.isNull(2)) entry["link"] = row.getText(2);
        if (!row.isNull(3)) entry["code"] = row.getText(3);
        entry["createdAt"] = row.getText(4);
        entries.push_back(std::move(entry));
    });
    return entries;
}

std::size_t clearOutbox(Storage& storage) {
    return static_cast<std::size_t>(storage.execute("DELETE FROM outbox"));
}

}  // namespace vorn::emulator
