// Developer endpoints, for tests and people at the keyboard (no application
// key; refused with HTTP 403 to peers that are not on a loopback address):
//   GET    /admin/outbox   the outbox as a JSON array, oldest first (see vorn_emulator/Accounts.h)
//   DELETE /admin/outbox   empties it; answers {"deleted": N}
//   GET    /admin/faults   the injected faults still to come, in order (see vorn_emulator/Faults.h)
//   POST   /admin/faults   adds one: {"path", "mode", "count", "code", "delayMs"}; answers it
//   DELETE /admin/faults   removes all (or those of ?path=P); answers {"deleted": N}
//   GET    /admin/files    the stored files' metadata, oldest first
//   GET    /admin/settings, POST /admin/settings
//                          {"absoluteFileUrls": bool, "uploadSessionIdleMs": N}; POST sets the given ones
//   POST   /admin/clear    empties the data: every object (users, roles and installations among them), with
//                          their relations, passwords, sessions and e-mail secrets, every stored file, the
//                          outbox and the push delivery log; faults and settings stay. No realtime notices.
//                          Answers {"objects", "users", "files", "outbox", "pushes"}: how many went
//   GET    /               redirects (303) to the web console, /console

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cctype>

#include "BrowserBoundary.h"
#include "UrlText.h"
#include "handlers/Handlers.h"
#include "vorn_emulator/Accounts.h"
#include "vorn_emulator/Faults.h"
#include "vorn_emulator/Files.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

HttpResponse badRequest(const std::string& reason) {
    return HttpResponse::json(400, json{{"error", reason}});
}

// "path=P" of a query string, percent escapes undone ("" when absent).
std::string queryPath(const std::string& query) {
    std::string_view rest = query;
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        if (item.starts_with("path=")) {
            return percentDecoded(item.substr(5), false);
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return {};
}

json settingsOf(const FileService& files) {
    return json{{"absoluteFileUrls", files.absoluteUrls()}, {"uploadSessionIdleMs", files.sessionIdleTime().count()}};
}

}  // namespace

// In-process requests have no peer and pass. Over the network: a loopback
// peer, that reached us by a loopback name (Host), and not on behalf of a
// page from elsewhere: any Origin is exactly the emulator's own, and a body
// comes as application/json, which no other site's page can send without a
// preflight (which is refused). Another site open in the developer's
// browser cannot read or change data through the admin endpoints.
bool fromLoopback(const RequestContext& ctx) {
    if (ctx.remoteAddress().empty()) return true;
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(ctx.remoteAddress(), ec);
    if (ec || !address.is_loopback()) return false;
    if (const auto host = ctx.header("Host"); host && !loopbackAuthority(*host)) return false;
    if (!ownOrigin(ctx)) return false;
    if (!ctx.body().empty()) {
        const auto type = ctx.header("Content-Type");
        if (!type) return false;
        std::string mediaType(type->substr(0, type->find(';')));
        std::erase_if(mediaType, [](unsigned char c) { return std::isspace(c) != 0; });
        std::transform(mediaType.begin(), mediaType.end(), mediaType.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (mediaType != "application/json") return false;
    }
    return true;
}

HttpResponse forbidden() {
    return HttpResponse::json(
        403, nlohmann::json{{"error",
                             "the admin endpoints answer loopback peers only, reached as localhost or a "
                             "loopback address, from no other origin than the emulator's own, with bodies "
                             "as application/json"}});
}

void registerAdminHandlers(Router& router, const HandlerServices& services) {
    FaultInjector& faults = services.faults;
    FileService& files = services.files;
    router.addRaw(
        "GET", "/",
        [](RequestContext&) {
        HttpResponse response;
        response.status = 303;
        response.contentType = "text/plain; charset=utf-8";
        response.headers = {{"Location", "/console"}};
        response.body = "See /console\n";
        return response;
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "POST", "/admin/clear",
        [&files](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        Storage& storage = ctx.storage();
        auto count = [&](const char* sql) {
            const auto row = storage.queryOne(sql, {});
            return row ? row->at(0).asInt() : 0;
        };
        json removed{{"objects", count("SELECT COUNT(*) FROM objects")},
                     {"users", count("SELECT COUNT(*) FROM objects WHERE class_name = '_User'")},
                     {"outbox", count("SELECT COUNT(*) FROM outbox")},
                     {"pushes", count("SELECT COUNT(*) FROM push_deliveries")}};
        Storage::Transaction transaction(storage);
        for (const char* table : {"objects", "indexed_fields", "relations", "passwords", "sessions", "account_secrets",
                                  "outbox", "push_deliveries"}) {
            storage.execute(std::string("DELETE FROM ") + table);
        }
        removed["files"] = files.removeAll();
        transaction.commit();
        return HttpResponse::json(200, removed);
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "GET", "/admin/outbox",
        [](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        json entries = json::array();
        for (auto& entry : outbox(ctx.storage())) entries.push_back(std::move(entry));
        return HttpResponse::json(200, entries);
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "DELETE", "/admin/outbox",
        [](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        return HttpResponse::json(200, json{{"deleted", clearOutbox(ctx.storage())}});
        },
        /*checkAppKey=*/false);

    router.addRaw(
        "GET", "/admin/faults",
        [&faults](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        json entries = json::array();
        for (const Fault& fault : faults.list()) entries.push_back(fault.toJson());
        return HttpResponse::json(200, entries);
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "POST", "/admin/faults",
        [&faults](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        const json body = json::parse(ctx.body(), nullptr, /*allow_exceptions=*/false);
        if (body.is_discarded()) return badRequest("the body must be a JSON object");
        try {
            Fault fault = Fault::fromJson(body);
            json added = fault.toJson();
            faults.add(std::move(fault));
            return HttpResponse::json(200, added);
        } catch (const std::invalid_argument& e) {
            return badRequest(e.what());
        }
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "DELETE", "/admin/faults",
        [&faults](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        const std::string path = queryPath(ctx.query());
        return HttpResponse::json(200, json{{"deleted", path.empty() ? faults.clear() : faults.clear(path)}});
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "GET", "/admin/files",
        [&files](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        json entries = json::array();
        for (const StoredFile& file : files.list()) {
            entries.push_back(json{{"group", file.group},
                                   {"name", file.name},
                                   {"filename", file.originalName},
                                   {"size", file.size},
                                   {"contentType", file.contentType},
                                   {"etag", file.etag},
                                   {"url", file.relativeUrl()},
                                   {"createdMs", file.createdMs}});
        }
        return HttpResponse::json(200, entries);
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "GET", "/admin/settings",
        [&files](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        return HttpResponse::json(200, settingsOf(files));
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "POST", "/admin/settings",
        [&files](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        const json body = json::parse(ctx.body(), nullptr, /*allow_exceptions=*/false);
        if (!body.is_object()) return badRequest("the body must be a JSON object");
        const auto absolute = body.find("absoluteFileUrls");
        if (absolute != body.end() && !absolute->is_boolean())
            return badRequest("\"absoluteFileUrls\" must be a boolean");
        const auto idle = body.find("uploadSessionIdleMs");
        if (idle != body.end() &&
            (!idle->is_number_integer() || idle->get<long long>() < 0 || idle->get<long long>() > 86400000LL * 7)) {
            return badRequest("\"uploadSessionIdleMs\" must be a whole number of milliseconds, 0 to 604800000");
        }
        if (absolute != body.end()) files.setAbsoluteUrls(absolute->get<bool>());
        if (idle != body.end()) files.setSessionIdleTime(std::chrono::milliseconds(idle->get<long long>()));
        return HttpResponse::json(200, settingsOf(files));
        },
        /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
