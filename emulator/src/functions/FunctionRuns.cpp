#include "functions/FunctionRuns.h"

#include "console/RequestLog.h"

#include <vector>

namespace vorn::emulator {

nlohmann::json FunctionRun::toJson() const {
    return nlohmann::json{{"name", name},   {"builtin", builtin}, {"atMs", atMs},
                          {"ms", millis},   {"status", status},   {"outcome", outcome},
                          {"input", input}, {"output", output},   {"errors", errors}};
}

void FunctionRuns::record(FunctionRun run) {
    cutText(run.input, kMaxText);
    cutText(run.output, kMaxText);
    cutText(run.errors, kMaxText);
    std::lock_guard lock(mutex_);
    if (latest_.size() < kMaxNames || latest_.contains(run.name)) latest_.insert_or_assign(run.name, run);
    recent_.push_front(std::move(run));
    if (recent_.size() > kRecent) recent_.pop_back();
}

nlohmann::json FunctionRuns::latest(const std::string& name) const {
    std::lock_guard lock(mutex_);
    const auto it = latest_.find(name);
    return it == latest_.end() ? nlohmann::json() : it->second.toJson();
}

std::vector<std::string> FunctionRuns::names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    result.reserve(latest_.size());
    for (const auto& [name, run] : latest_) result.push_back(name);
    return result;
}

nlohmann::json FunctionRuns::recent() const {
    std::lock_guard lock(mutex_);
    nlohmann::json list = nlohmann::json::array();
    for (const FunctionRun& run : recent_) list.push_back(run.toJson());
    return list;
}

}  // namespace vorn::emulator
