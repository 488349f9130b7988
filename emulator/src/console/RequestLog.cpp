#include "console/RequestLog.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace vorn::emulator {

bool RequestLog::ignored(std::string_view target) {
    const std::string_view path = target.substr(0, target.find('?'));
    return path.starts_with("/admin/") || path == "/console" || path.starts_with("/console/");
}

void cutText(std::string& text, std::size_t max) {
    if (text.size() <= max) return;
    std::size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "...";
}

namespace {

std::string lowered(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::tolower(c); });
    return result;
}

bool secretMember(std::string_view name) {
    const std::string lower = lowered(name);
    return lower == "password" || lower == "sessiontoken" || lower == "authdata" || lower == "x-vorn-session-token";
}

bool secretParameter(std::string_view name) {
    const std::string lower = lowered(name);
    for (const char* word : {"token", "key", "password", "session", "auth", "secret"}) {
        if (lower.find(word) != std::string::npos) return true;
    }
    return false;
}

void redactSecrets(nlohmann::json& value, int depth = 0) {
    if (depth > 32) {
        value = kRedacted;
        return;
    }
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (secretMember(it.key())) {
                it.value() = kRedacted;
            } else {
                redactSecrets(it.value(), depth + 1);
            }
        }
    } else if (value.is_array()) {
        for (auto& item : value) redactSecrets(item, depth + 1);
    }
}

// The target with the values of secret-looking query parameters redacted.
std::string redactedTarget(std::string_view target) {
    const auto question = target.find('?');
    if (question == std::string_view::npos) return std::string(target);
    std::string result(target.substr(0, question + 1));
    std::string_view query = target.substr(question + 1);
    bool first = true;
    while (true) {
        const auto amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        if (!first) result += '&';
        first = false;
        const auto equals = item.find('=');
        if (equals != std::string_view::npos && secretParameter(item.substr(0, equals))) {
            result.append(item.substr(0, equals + 1));
            result += kRedacted;
        } else {
            result.append(item);
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return result;
}

constexpr std::size_t kMaxKeys = 100;
constexpr std::size_t kMaxWhereBytes = 4096;

}  // namespace

void summarize(RequestLogEntry& entry, std::string_view body, bool sessionHeader) {
    entry.target = redactedTarget(entry.target);
    entry.signedIn = sessionHeader;
    if (body.empty() || body.front() != '{') return;
    const nlohmann::json envelope = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (!envelope.is_object()) return;
    if (const auto c = envelope.find("c"); c != envelope.end() && c->is_string()) {
        entry.className = c->get<std::string>();
        cutText(entry.className, 256);
    }
    if (const auto id = envelope.find("objectId"); id != envelope.end() && id->is_string()) {
        entry.objectId = id->get<std::string>();
        cutText(entry.objectId, 256);
    }
    const auto data = envelope.find("data");
    if (data == envelope.end() || !data->is_object()) return;
    for (auto it = data->begin(); it != data->end() && entry.keys.size() < kMaxKeys; ++it) {
        std::string key = it.key();
        cutText(key, 128);
        entry.keys.push_back(std::move(key));
    }
    if (const auto where = data->find("where"); where != data->end() && where->is_object()) {
        nlohmann::json copy = *where;
        redactSecrets(copy);
        if (copy.dump().size() > kMaxWhereBytes) copy = "(a where map of more than 4096 bytes)";
        entry.where = std::move(copy);
    }
}

void RequestLog::record(RequestLogEntry entry) {
    cutText(entry.target, kMaxTarget);
    std::lock_guard lock(mutex_);
    entry.seq = ++lastSeq_;
    entries_.push_back(std::move(entry));
    if (entries_.size() > kCapacity) entries_.pop_front();
}

nlohmann::json RequestLog::since(std::uint64_t afterSeq, std::size_t max) const {
    nlohmann::json list = nlohmann::json::array();
    std::lock_guard lock(mutex_);
    // Entries are in seq order: find the first one after afterSeq.
    auto first = std::upper_bound(entries_.begin(), entries_.end(), afterSeq,
                                  [](std::uint64_t seq, const RequestLogEntry& entry) { return seq < entry.seq; });
    const auto available = static_cast<std::size_t>(entries_.end() - first);
    if (available > max) first += static_cast<std::ptrdiff_t>(available - max);
    for (auto it = first; it != entries_.end(); ++it) {
        list.push_back(nlohmann::json{{"seq", it->seq},
                                      {"atMs", it->atMs},
                                      {"method", it->method},
                                      {"target", it->target},
                                      {"status", it->status},
                                      {"code", it->code},
                                      {"micros", it->micros},
                                      {"fault", it->fault},
                                      {"remote", it->remote},
                                      {"className", it->className},
                                      {"objectId", it->objectId},
                                      {"where", it->where},
                                      {"keys", it->keys},
                                      {"signedIn", it->signedIn},
                                      {"bytes", it->replyBytes}});
    }
    return nlohmann::json{{"last", lastSeq_}, {"entries", std::move(list)}};
}

}  // namespace vorn::emulator
