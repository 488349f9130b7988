// Any JSON as the "where" constraint map of a find (and of a count) over a
// class holding a few objects of every value kind. The emulator must answer
// with a result or a query error, never crash or hang.
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Server.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

using Json = nlohmann::json;

Json envelope(Json data, const char* className) {
    return Json{{"client", {{"caller", "iOS"}}},
                {"v", "v1.4.9"},
                {"c", className},
                {"objectId", nullptr},
                {"data", std::move(data)}};
}

vorn::emulator::HttpResponse post(vorn::emulator::Server& server, const char* path, const Json& body) {
    vorn::emulator::Request request;
    request.method = "POST";
    request.target = path;
    request.headers.add("X-Vorn-App-Key", "key");
    request.body = body.dump();
    return server.router().dispatch(request);
}

vorn::emulator::Server& emulator() {
    static std::unique_ptr<vorn::emulator::Server> server = [] {
        vorn::emulator::Options options;
        options.port = 0;
        options.memory = true;
        options.appKey = "key";
        auto made = std::make_unique<vorn::emulator::Server>(options);
        const Json samples[] = {
            {{"name", "a"},
             {"score", 1},
             {"tags", {"x", "y"}},
             {"when", {{"__type", "Date"}, {"iso", "2020-01-01 00:00:00"}}}},
            {{"name", "b"}, {"score", 2.5}, {"where", {{"__type", "GeoPoint"}, {"latitude", 10}, {"longitude", 20}}}},
            {{"name", "c"}, {"nested", {{"k", "v"}}}, {"flag", true}, {"nothing", nullptr}},
        };
        for (const auto& sample : samples) post(*made, "/7/create", envelope(sample, "T"));
        return made;
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto where = Json::parse(data, data + size, nullptr, false);
    if (where.is_discarded()) return 0;
    for (const bool count : {false, true}) {
        Json find{{"where", where}, {"order", "-score"}, {"limit", 5}};
        if (count) find["count"] = 1;
        const auto response = post(emulator(), "/7/find", envelope(find, "T"));
        const auto body = Json::parse(response.body, nullptr, false);
        if (!body.is_object() || !body.contains("result")) std::abort();
    }
    return 0;
}
