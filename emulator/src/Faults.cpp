#include "vorn_emulator/Faults.h"

#include <algorithm>
#include <stdexcept>

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxFaultPathLength = 1024;

bool allDigits(std::string_view text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

long long parseNumber(std::string_view text, std::string_view what) {
    if (!allDigits(text))
        throw std::invalid_argument(std::string(what) + " \"" + std::string(text) + "\" is not a whole number");
    return std::stoll(std::string(text));
}

void validate(const Fault& fault) {
    if (fault.path.empty() || fault.path.front() != '/' || fault.path.size() > kMaxFaultPathLength) {
        throw std::invalid_argument("fault path must start with '/' (and have at most 1024 characters)");
    }
    if (fault.path.find_first_of("?# \r\n") != std::string::npos) {
        throw std::invalid_argument("fault path must be a plain path without query, spaces or line breaks");
    }
    if (fault.path.starts_with("/admin/")) throw std::invalid_argument("the admin endpoints cannot be faulted");
    if (fault.count > kMaxFaultCount) throw std::invalid_argument("fault count must be at most 1000000");
    if (fault.delay.count() < 0 || fault.delay > kMaxFaultDelay) {
        throw std::invalid_argument("fault delay must be 0 to 60000 ms");
    }
    if (fault.code < 1 || fault.code > 99999) throw std::invalid_argument("fault code must be 1 to 99999");
}

}  // namespace

std::string_view faultModeName(FaultMode mode) {
    switch (mode) {
        case FaultMode::Drop:
            return "drop";
        case FaultMode::DropAfter:
            return "drop-after";
        case FaultMode::Garbage:
            return "garbage";
        case FaultMode::Error:
            return "error";
        case FaultMode::Delay:
            return "delay";
    }
    return "drop";
}

std::optional<FaultMode> parseFaultMode(std::string_view name) {
    for (FaultMode mode :
         {FaultMode::Drop, FaultMode::DropAfter, FaultMode::Garbage, FaultMode::Error, FaultMode::Delay}) {
        if (faultModeName(mode) == name) return mode;
    }
    return std::nullopt;
}

json Fault::toJson() const {
    return json{
        {"path", path}, {"mode", faultModeName(mode)}, {"count", count}, {"code", code}, {"delayMs", delay.count()}};
}

Fault Fault::fromJson(const json& value) {
    if (!value.is_object()) throw std::invalid_argument("a fault is a JSON object");
    Fault fault;
    const auto path = value.find("path");
    if (path == value.end() || !path->is_string()) throw std::invalid_argument("\"path\" must be a string");
    fault.path = path->get<std::string>();
    const auto mode = value.find("mode");
    if (mode == value.end() || !mode->is_string()) throw std::invalid_argument("\"mode\" must be a string");
    const auto parsed = parseFaultMode(mode->get<std::string>());
    if (!parsed) {
        throw std::invalid_argument("unknown fault mode \"" + mode->get<std::string>() +
                                    "\" (drop, drop-after, garbage, error, delay)");
    }
    fault.mode = *parsed;
    auto integer = [&](const char* key, long long min, long long max, long long fallback) -> long long {
        const auto it = value.find(key);
        if (it == value.end() || it->is_null()) return fallback;
        if (!it->is_number_integer()) throw std::invalid_argument(std::string("\"") + key + "\" must be an integer");
        const auto number = it->get<long long>();
        if (number < min || number > max) {
            throw std::invalid_argument(std::string("\"") + key + "\" must be " + std::to_string(min) + " to " +
                                        std::to_string(max));
        }
        return number;
    };
    fault.count = static_cast<std::size_t>(integer("count", 0, static_cast<long long>(kMaxFaultCount), 1));
    fault.code = static_cast<int>(integer("code", 1, 99999, toInt(ErrorCode::InjectedFault)));
    fault.delay = std::chrono::milliseconds(integer("delayMs", 0, kMaxFaultDelay.count(), 0));
    validate(fault);
    return fault;
}

Fault Fault::parse(std::string_view text) {
    const auto eq = text.find('=');
    if (eq == std::string_view::npos) throw std::invalid_argument("expected PATH=MODE[:ARG][xCOUNT]");
    Fault fault;
    fault.path = std::string(text.substr(0, eq));
    std::string_view rest = text.substr(eq + 1);
    if (const auto x = rest.rfind('x'); x != std::string_view::npos && allDigits(rest.substr(x + 1))) {
        fault.count = static_cast<std::size_t>(parseNumber(rest.substr(x + 1), "count"));
        rest = rest.substr(0, x);
    }
    std::string_view arg;
    bool hasArg = false;
    if (const auto colon = rest.find(':'); colon != std::string_view::npos) {
        arg = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
        hasArg = true;
    }
    const auto mode = parseFaultMode(rest);
    if (!mode) {
        throw std::invalid_argument("unknown fault mode \"" + std::string(rest) +
                                    "\" (drop, drop-after, garbage, error, delay)");
    }
    fault.mode = *mode;
    if (hasArg) {
        if (fault.mode == FaultMode::Error) {
            fault.code = static_cast<int>(parseNumber(arg, "error code"));
        } else if (fault.mode == FaultMode::Delay) {
            fault.delay = std::chrono::milliseconds(parseNumber(arg, "delay"));
        } else {
            throw std::invalid_argument("fault mode " + std::string(rest) + " takes no argument");
        }
    } else if (fault.mode == FaultMode::Delay) {
        throw std::invalid_argument("fault mode delay needs the milliseconds: PATH=delay:MS");
    }
    validate(fault);
    return fault;
}

void FaultInjector::add(Fault fault) {
    validate(fault);
    std::lock_guard lock(mutex_);
    if (faults_.size() >= kMaxFaults) throw std::invalid_argument("too many faults set (at most 256)");
    faults_.push_back(std::move(fault));
}

std::optional<Fault> FaultInjector::take(std::string_view path) {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& f) { return f.path == path; });
    if (it == faults_.end()) return std::nullopt;
    Fault taken = *it;
    if (it->count == 1) {
        faults_.erase(it);
    } else if (it->count > 1) {
        --it->count;
    }
    taken.count = 1;
    return taken;
}

std::vector<Fault> FaultInjector::list() const {
    std::lock_guard lock(mutex_);
    return {faults_.begin(), faults_.end()};
}

std::size_t FaultInjector::clear() {
    std::lock_guard lock(mutex_);
    const std::size_t n = faults_.size();
    faults_.clear();
    return n;
}

std::size_t FaultInjector::clear(std::string_view path) {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::erase_if(faults_, [&](const Fault& f) { return f.path == path; }));
}

}  // namespace vorn::emulator
