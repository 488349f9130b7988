#include "console/RequestLog.h"

#include <algorithm>

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
                                      {"remote", it->remote}});
    }
    return nlohmann::json{{"last", lastSeq_}, {"entries", std::move(list)}};
}

}  // namespace vorn::emulator
