// POST /1/endpoint: cloud function calls (the cloud host).
//   body: the parameter map, with the function's name under "_e"
//   header "a": the cloud-call key
//     "<app key>-<longitude>-<latitude>-<bundle id>-<32 hex digits>-1"
//     (longitude and latitude with six decimals); with --app-key set, its
//     key must be that one
//   reply: what the function wrote to standard output, as it is (a JSON
//     object, or plain text), HTTP 200
// Refusals, each {"sucess": false, "message": ...}:
//   400  missing or malformed "a" header; body not a JSON object; "_e"
//        missing or not a function name (1 to 64 of A-Z a-z 0-9 _ -)
//   401  the "a" header names another application key
//   404  "function not found: NAME"
//   500  the function exited with another status than 0 (message: the last
//        line of its standard error, or which status or signal)
//   502  the function wrote more than the output limit (1 MiB)
//   503  too many calls waiting (the emulator is busy or stopping)
//   504  "timeout": the time limit passed (--function-timeout); the
//        function's whole process group was killed
// Built-in functions, used when the folder has no function of that name:
//   echo   answers the parameters (without "_e") as a JSON object
//   hello  answers {"message": "Hello, <name>"} ("name" parameter, "world" without)
//   fail   answers {"sucess": false, "message": "fail was called"} (or the "message" parameter)
//
// GET /admin/functions (loopback only, no key), for the console:
//   {"functions": [{"name", "builtin", "lastRun": run or null}...], "runs": [run...] newest first}
//   a run: {"name", "builtin", "atMs", "ms", "status", "outcome", "input", "output", "errors"}
//   (input, output and errors, the standard error, each cut at 2048 bytes)
// POST /admin/functions/call (loopback only, no key), for the console's form:
//   {"name", "parameters"?: map}: calls it as /1/endpoint would (the app key
//   of --app-key, bundle id "console", no place, device 32 zeros) and answers
//   what /1/endpoint would: the function's output, or the same refusals

#include <array>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "functions/FunctionHost.h"
#include "functions/FunctionRuns.h"
#include "handlers/Handlers.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

// The parts of a cloud-call key.
struct CallKey {
    std::string appKey;
    std::string longitude;
    std::string latitude;
    std::string bundleId;
    std::string device;
};

// "-?digits.dddddd" from `at`; the index after it, or npos.
std::size_t skipCoordinate(std::string_view text, std::size_t at) {
    if (at < text.size() && text[at] == '-') ++at;
    const std::size_t digits = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == digits || at >= text.size() || text[at] != '.') return std::string_view::npos;
    ++at;
    for (int i = 0; i < 6; ++i, ++at) {
        if (at >= text.size() || text[at] < '0' || text[at] > '9') return std::string_view::npos;
    }
    return at;
}

std::optional<CallKey> parseCallKey(std::string_view text) {
    if (text.size() > 4096 || text.size() < 3 || text.substr(text.size() - 2) != "-1") return std::nullopt;
    text.remove_suffix(2);
    if (text.size() < 34 || text[text.size() - 33] != '-') return std::nullopt;
    const std::string_view device = text.substr(text.size() - 32);
    for (char c : device) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
    }
    text.remove_suffix(33);
    // key-longitude-latitude-bundle: the first "-" after which two coordinates follow.
    for (std::size_t dash = text.find('-', 1); dash != std::string_view::npos; dash = text.find('-', dash + 1)) {
        const std::size_t afterLongitude = skipCoordinate(text, dash + 1);
        if (afterLongitude == std::string_view::npos || afterLongitude >= text.size() || text[afterLongitude] != '-')
            continue;
        const std::size_t afterLatitude = skipCoordinate(text, afterLongitude + 1);
        if (afterLatitude == std::string_view::npos || afterLatitude >= text.size() || text[afterLatitude] != '-')
            continue;
        return CallKey{std::string(text.substr(0, dash)), std::string(text.substr(dash + 1, afterLongitude - dash - 1)),
                       std::string(text.substr(afterLongitude + 1, afterLatitude - afterLongitude - 1)),
                       std::string(text.substr(afterLatitude + 1)), std::string(device)};
    }
    return std::nullopt;
}

HttpResponse refusal(unsigned status, const std::string& message) {
    return HttpResponse::json(status, json{{"sucess", false}, {"message", message}});
}

HttpResponse answer(std::string body) {
    HttpResponse response;
    response.status = 200;
    const auto parsed = json::parse(body, nullptr, false);
    response.contentType = parsed.is_discarded() ? "text/plain; charset=utf-8" : "application/json";
    response.body = std::move(body);
    return response;
}

std::optional<HttpResponse> builtin(const std::string& name, const json& parameters) {
    if (name == "echo") return HttpResponse::json(200, parameters);
    if (name == "hello") {
        const auto it = parameters.find("name");
        const std::string who = it != parameters.end() && it->is_string() ? it->get<std::string>() : "world";
        return HttpResponse::json(200, json{{"message", "Hello, " + who}});
    }
    if (name == "fail") {
        const auto it = parameters.find("message");
        const std::string message =
            it != parameters.end() && it->is_string() ? it->get<std::string>() : "fail was called";
        return HttpResponse::json(200, json{{"sucess", false}, {"message", message}});
    }
    return std::nullopt;
}

HttpResponse fromOutcome(FunctionOutcome outcome) {
    using Kind = FunctionOutcome::Kind;
    switch (outcome.kind) {
        case Kind::Answered:
            return answer(std::move(outcome.output));
        case Kind::Failed:
            return refusal(500, outcome.message);
        case Kind::OutputTooLarge:
            return refusal(502, outcome.message);
        case Kind::TimedOut:
            return refusal(504, "timeout");
        case Kind::NotFound:
            return refusal(404, outcome.message);
        case Kind::Busy:
        case Kind::Unavailable:
            return refusal(503, outcome.message);
    }
    return refusal(500, "internal error");
}

const char* outcomeName(FunctionOutcome::Kind kind) {
    using Kind = FunctionOutcome::Kind;
    switch (kind) {
        case Kind::Answered:
            return "answered";
        case Kind::Failed:
            return "failed";
        case Kind::TimedOut:
            return "timeout";
        case Kind::OutputTooLarge:
            return "output too large";
        case Kind::NotFound:
            return "not found";
        case Kind::Busy:
            return "busy";
        case Kind::Unavailable:
            return "unavailable";
    }
    return "failed";
}

constexpr std::array<const char*, 3> kBuiltins{"echo", "fail", "hello"};

// What the console shows of a call while it runs.
struct RunStart {
    std::string name;
    std::string input;
    std::chrono::system_clock::time_point at = std::chrono::system_clock::now();
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();

    FunctionRun finish(bool builtin, const HttpResponse& response, std::string outcome, std::string errors = {}) const {
        FunctionRun run;
        run.name = name;
        run.builtin = builtin;
        run.atMs = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
        run.millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        run.status = response.status;
        run.outcome = std::move(outcome);
        run.input = input;
        run.output = response.body;
        run.errors = std::move(errors);
        return run;
    }
};

// Calls a function (of the folder, else a built-in) with its parameters and
// the caller's facts in env, keeping the run; the answer comes later when a
// process runs it.
HttpResponse callFunction(const std::shared_ptr<FunctionHost>& host, const std::shared_ptr<FunctionRuns>& runs,
                          const std::string& function, const json& parameters,
                          std::vector<std::pair<std::string, std::string>> env) {
    RunStart start{function, parameters.dump(-1, ' ', false, json::error_handler_t::replace)};
    if (!host->find(function)) {
        if (auto response = builtin(function, parameters)) {
            runs->record(start.finish(true, *response, response->status == 200 ? "answered" : "failed"));
            return *response;
        }
        HttpResponse missing = refusal(404, "function not found: " + function);
        runs->record(start.finish(false, missing, "not found"));
        return missing;
    }
    FunctionCall call;
    call.name = function;
    call.input = start.input;
    call.env = std::move(env);
    HttpResponse later;
    later.deferred =
        [host, runs, start = std::move(start), call = std::move(call)](HttpResponse::Responder respond) mutable {
        host->run(std::move(call),
                  [runs, start = std::move(start), respond = std::move(respond)](FunctionOutcome outcome) {
            const char* name = outcomeName(outcome.kind);
            std::string errors = std::move(outcome.errors);
            HttpResponse response = fromOutcome(std::move(outcome));
            runs->record(start.finish(false, response, name, std::move(errors)));
            respond(std::move(response));
        });
    };
    return later;
}

}  // namespace

void registerCloudHandlers(Router& router, const std::shared_ptr<FunctionHost>& host) {
    const std::string requiredKey = router.options().appKey;
    auto runs = std::make_shared<FunctionRuns>();
    router.addRaw(
        "POST", "/1/endpoint",
        [host, requiredKey, runs](RequestContext& ctx) {
        const auto header = ctx.header("a");
        const auto key = header ? parseCallKey(*header) : std::nullopt;
        if (!key) return refusal(400, "missing or malformed \"a\" header");
        if (!requiredKey.empty() && key->appKey != requiredKey) return refusal(401, "invalid application key");
        auto parameters = json::parse(ctx.body(), nullptr, false);
        if (!parameters.is_object()) return refusal(400, "the body must be a JSON object");
        const auto name = parameters.find("_e");
        if (name == parameters.end() || !name->is_string() || !FunctionHost::validName(name->get<std::string>())) {
            return refusal(400, "\"_e\" must name a function (1 to 64 of A-Z a-z 0-9 _ -)");
        }
        const std::string function = name->get<std::string>();
        parameters.erase("_e");
        return callFunction(host, runs, function, parameters,
                            {{"VORN_FUNCTION", function},
                             {"VORN_APP_KEY", key->appKey},
                             {"VORN_BUNDLE_ID", key->bundleId},
                             {"VORN_LONGITUDE", key->longitude},
                             {"VORN_LATITUDE", key->latitude},
                             {"VORN_DEVICE", key->device}});
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "GET", "/admin/functions",
        [host, runs](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        // Those of the folder, the built-ins it does not replace, and any
        // name called (a function since removed, or none at all).
        std::map<std::string, bool> names;
        for (const char* name : kBuiltins) names.emplace(name, true);
        for (std::string& name : host->names()) names.insert_or_assign(std::move(name), false);
        for (std::string& name : runs->names()) names.emplace(std::move(name), false);
        json functions = json::array();
        for (const auto& [name, isBuiltin] : names) {
            functions.push_back(json{{"name", name}, {"builtin", isBuiltin}, {"lastRun", runs->latest(name)}});
        }
        return HttpResponse::json(200, json{{"functions", std::move(functions)}, {"runs", runs->recent()}});
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "POST", "/admin/functions/call",
        [host, runs, requiredKey](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        const json body = json::parse(ctx.body(), nullptr, false);
        if (!body.is_object()) return refusal(400, "the body must be a JSON object");
        const auto name = body.find("name");
        if (name == body.end() || !name->is_string() || !FunctionHost::validName(name->get<std::string>())) {
            return refusal(400, "\"name\" must name a function (1 to 64 of A-Z a-z 0-9 _ -)");
        }
        json parameters = body.value("parameters", json::object());
        if (!parameters.is_object()) return refusal(400, "\"parameters\" must be a JSON object");
        parameters.erase("_e");
        const std::string function = name->get<std::string>();
        return callFunction(host, runs, function, parameters,
                            {{"VORN_FUNCTION", function},
                             {"VORN_APP_KEY", requiredKey},
                             {"VORN_BUNDLE_ID", "console"},
                             {"VORN_LONGITUDE", "0.000000"},
                             {"VORN_LATITUDE", "0.000000"},
                             {"VORN_DEVICE", std::string(32, '0')}});
        },
        /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
