// The realtime host's admin endpoints (loopback only, no application key):
//   GET  /admin/realtime          {"sessions": [sid...], "subscriptions": [{"sid", "endpoint", "action",
//                                  "tableName", "objectId"}...]}
//   POST /admin/realtime/publish  {"action", "tableName", "objectId"?, "extra"?: {...}}: a "server_pub"
//                                  notice by hand to every matching subscription; answers {"delivered": N}

#include "handlers/Handlers.h"
#include "notices/ChangeNotices.h"
#include "vorn_emulator/Realtime.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

using nlohmann::json;

void registerRealtimeAdminHandlers(Router& router, ChangeNotices& notices, RealtimeHost& host) {
    router.addRaw(
        "GET", "/admin/realtime",
        [&notices, &host](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        return HttpResponse::json(200, json{{"sessions", host.sessionIds()}, {"subscriptions", notices.list()}});
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "POST", "/admin/realtime/publish",
        [&notices](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        const json body = json::parse(ctx.body(), nullptr, /*allow_exceptions=*/false);
        auto text = [&body](const char* key) -> std::optional<std::string> {
            auto it = body.find(key);
            if (it == body.end() || !it->is_string()) return std::nullopt;
            return it->get<std::string>();
        };
        const auto action = body.is_object() ? text("action") : std::nullopt;
        const auto table = body.is_object() ? text("tableName") : std::nullopt;
        if (!action || !table) {
            return HttpResponse::json(400, json{{"error", "the body needs the strings \"action\" and \"tableName\""}});
        }
        const json extra = body.value("extra", json::object());
        const std::size_t delivered = notices.publishByHand(*action, *table, text("objectId").value_or(""), extra);
        return HttpResponse::json(200, json{{"delivered", delivered}});
        },
        /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
