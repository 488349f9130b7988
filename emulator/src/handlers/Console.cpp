// The web console: its pages, and the admin endpoints only it uses (loopback
// only, no application key, like every /admin endpoint).
//   GET  /console, /console/       the console's page
//   GET  /console/NAME             its scripts and style sheet (404 for any other name)
//   GET  /admin/classes            [{"className", "count"}...] of every class with objects
//   POST /admin/find               {"className", "where"?, "order"?, "skip"?, "limit"?}: every matching
//                                  object, whatever its access list: {"count", "results"}
//   POST /admin/objects/save       {"className", "objectId"?, "data"}: creates the object (no "objectId")
//                                  or applies the changes, operators included, through the service's own
//                                  write path, so realtime notices follow: the reply of /7/create or /7/update
//   POST /admin/objects/delete     {"className", "objectId"}: deletes it through the same path: {}
//   GET  /admin/users?skip=&limit= {"count", "results": [user map + "roles": [names], "sessions": N]}
//   GET  /admin/roles              [{"objectId", "name", "ACL", "users": [{"objectId", "username"}],
//                                    "moreUsers": N, "roles": [names], "moreRoles": N}...], at most 1000
//                                  roles, each with its first 100 users and roles and how many more
//   GET  /admin/requests?after=N   {"last", "entries": [...]}: the answered requests after sequence
//                                  number N, oldest first, at most 500 (see console/RequestLog.h)
// A refused body or constraint answers HTTP 400 {"error", "code"}; an unknown
// object HTTP 404.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "UrlText.h"
#include "accounts/AccessControl.h"
#include "console/ConsoleAssets.h"
#include "console/RequestLog.h"
#include "handlers/Handlers.h"
#include "handlers/ObjectWrites.h"
#include "query/ObjectCache.h"
#include "query/Ordering.h"
#include "query/Query.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxRoles = 1000;
constexpr std::size_t kMaxMembers = 100;
constexpr std::size_t kMaxLogEntries = 500;

// The console's page may load only what this server serves.
constexpr const char* kContentPolicy =
    "default-src 'self'; img-src 'self' data: blob:; style-src 'self'; script-src 'self'; connect-src 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

HttpResponse refused(unsigned status, const std::string& message, int code = 0) {
    json body{{"error", message}};
    if (code != 0) body["code"] = code;
    return HttpResponse::json(status, body);
}

HttpResponse asset(const ConsoleAsset& file) {
    HttpResponse response;
    response.contentType = std::string(file.contentType);
    response.body = std::string(file.body);
    response.headers = {{"Content-Security-Policy", kContentPolicy},
                        {"X-Content-Type-Options", "nosniff"},
                        {"Cache-Control", "no-store"},
                        {"Referrer-Policy", "no-referrer"}};
    return response;
}

// A whole number of a query string ("name=N"), if it is there and valid.
std::optional<std::uint64_t> queryNumber(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const auto amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        if (item.size() > name.size() && item.starts_with(name) && item[name.size()] == '=') {
            const std::string value = percentDecoded(item.substr(name.size() + 1), false);
            if (value.empty() || value.size() > 19 || value.find_first_not_of("0123456789") != std::string::npos) {
                return std::nullopt;
            }
            return std::stoull(value);
        }
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

json parsedBody(const RequestContext& ctx) {
    json body = json::parse(ctx.body(), nullptr, /*allow_exceptions=*/false);
    if (!body.is_object()) throw ServiceError(ErrorCode::InvalidJson, "the body must be a JSON object");
    return body;
}

std::string nameField(const json& body, std::string_view key) {
    std::string value = requireStringField(body, key);
    if (value.empty() || value.size() > 256) {
        throw ServiceError(ErrorCode::MissingField, "\"" + std::string(key) + "\" must be 1 to 256 bytes");
    }
    return value;
}

std::size_t countField(const json& body, std::string_view key, std::size_t fallback) {
    const auto it = body.find(key);
    if (it == body.end() || it->is_null()) return fallback;
    if (!it->is_number_unsigned()) {
        throw ServiceError(ErrorCode::InvalidFieldType, "\"" + std::string(key) + "\" must be a whole number from 0");
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(it->get<std::uint64_t>(), 1ULL << 40));
}

// Runs a handler body; service errors become HTTP refusals.
template <class Fn>
HttpResponse guarded(const RequestContext& ctx, Fn&& fn) {
    if (!fromLoopback(ctx)) return forbidden();
    try {
        return fn();
    } catch (const ServiceError& e) {
        const unsigned status = e.code() == toInt(ErrorCode::ObjectNotFound) ? 404
                                : e.code() == toInt(ErrorCode::Internal)     ? 500
                                                                             : 400;
        return refused(status, e.what(), e.code());
    }
}

json findAll(Storage& storage, query::ObjectCache& cache, const json& body) {
    query::FindRequest request;
    request.className = nameField(body, "className");
    if (const auto it = body.find("where"); it != body.end() && !it->is_null()) {
        if (!it->is_object()) throw ServiceError(ErrorCode::InvalidFieldType, "\"where\" must be an object");
        request.where = &*it;
    }
    if (const auto it = body.find("order"); it != body.end() && !it->is_null()) {
        if (!it->is_string()) throw ServiceError(ErrorCode::InvalidFieldType, "\"order\" must be a string");
        request.order = query::parseOrder(it->get_ref<const std::string&>());
    }
    request.skip = countField(body, "skip", 0);
    request.limit = std::min(countField(body, "limit", 25), query::kMaxLimit);
    query::QueryContext context{storage, cache, /*caller=*/nullptr};
    const query::FindResult found = query::runFind(context, request);
    json results = json::array();
    for (const auto& object : found.objects) results.push_back(object->toResult());
    return json{{"count", found.count}, {"results", std::move(results)}};
}

// The first kMaxMembers users and roles a role holds, with how many more
// there are; only the name of each is read.
json roleMembers(Storage& storage, const std::string& roleId) {
    json members = json::object();
    struct Kind {
        const char* key;
        std::string_view targetClass;
        const char* nameField;
    };
    for (const Kind& kind :
         {Kind{"users", accounts::kUserClass, "$.username"}, Kind{"roles", accounts::kRoleClass, "$.name"}}) {
        const std::string key = kind.key;
        const char* nameField = kind.nameField;
        const std::string_view targetClass = kind.targetClass;
        const SqlParams params{std::string(accounts::kRoleClass), roleId, key, std::string(targetClass)};
        json list = json::array();
        storage.forEach(
            "SELECT r.target_id, CASE WHEN json_valid(o.data) THEN json_extract(o.data, ?5) END FROM relations r "
            "LEFT JOIN objects o ON o.class_name = r.target_class AND o.object_id = r.target_id "
            "WHERE r.owner_class = ?1 AND r.owner_id = ?2 AND r.key = ?3 AND r.target_class = ?4 "
            "ORDER BY r.rowid LIMIT ?6",
            {params[0], params[1], params[2], params[3], nameField, static_cast<std::int64_t>(kMaxMembers)},
            [&](const Statement& row) {
            const json name = row.isNull(1) ? json() : json(row.getText(1));
            if (key == "users") {
                list.push_back(json{{"objectId", row.getText(0)}, {"username", name}});
            } else {
                list.push_back(name.is_null() ? json(row.getText(0)) : name);
            }
            });
        const auto total = storage.queryOne(
            "SELECT COUNT(*) FROM relations WHERE owner_class = ? AND owner_id = ? AND key = ? AND target_class = ?",
            params);
        const std::int64_t count = total ? total->at(0).asInt() : 0;
        members[key] = std::move(list);
        members[std::string("more") + (key == "users" ? "Users" : "Roles")] =
            std::max<std::int64_t>(0, count - static_cast<std::int64_t>(kMaxMembers));
    }
    return members;
}

void registerConsolePages(Router& router) {
    const ConsoleAsset* index = findConsoleAsset("index.html");
    for (const char* path : {"/console", "/console/"}) {
        router.addRaw(
            "GET", path,
            [index](RequestContext& ctx) {
            if (!fromLoopback(ctx)) return forbidden();
            if (index == nullptr) return refused(404, "the console was built without its page");
            return asset(*index);
            },
            /*checkAppKey=*/false);
    }
    router.addRawPrefix(
        "GET", "/console/",
        [](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        const std::string_view name = std::string_view(ctx.path()).substr(std::string_view("/console/").size());
        const ConsoleAsset* file = findConsoleAsset(name);
        if (file == nullptr) return refused(404, "no such console file");
        return asset(*file);
        },
        /*checkAppKey=*/false);
}

}  // namespace

void registerConsoleHandlers(Router& router, RequestLog& requestLog, query::ObjectCache& objects) {
    registerConsolePages(router);

    router.addRaw(
        "GET", "/admin/classes",
        [](RequestContext& ctx) {
        return guarded(ctx, [&] {
            json classes = json::array();
            ctx.storage().forEach(
                "SELECT class_name, COUNT(*) FROM objects GROUP BY class_name ORDER BY class_name LIMIT 10000", {},
                [&](const Statement& row) {
                classes.push_back(json{{"className", row.getText(0)}, {"count", row.getInt(1)}});
                });
            return HttpResponse::json(200, classes);
        });
        },
        /*checkAppKey=*/false);

    // The finds of the service's routes and the console's share one cache.
    query::ObjectCache* cache = &objects;
    router.addRaw(
        "POST", "/admin/find",
        [cache](RequestContext& ctx) {
        return guarded(ctx, [&] { return HttpResponse::json(200, findAll(ctx.storage(), *cache, parsedBody(ctx))); });
        },
        /*checkAppKey=*/false);

    router.addRaw(
        "POST", "/admin/objects/save",
        [](RequestContext& ctx) {
        return guarded(ctx, [&] {
            const json body = parsedBody(ctx);
            const std::string className = nameField(body, "className");
            const json data = body.value("data", json());
            const json& fields = fieldsMap(data, "data");
            const auto id = body.find("objectId");
            if (id == body.end() || id->is_null()) {
                return HttpResponse::json(200, createObject(ctx.storage(), className, fields));
            }
            auto console = accounts::Caller::console(ctx.storage());
            return HttpResponse::json(
                200, updateObject(ctx.storage(), console, className, nameField(body, "objectId"), fields));
        });
        },
        /*checkAppKey=*/false);

    router.addRaw(
        "POST", "/admin/objects/delete",
        [](RequestContext& ctx) {
        return guarded(ctx, [&] {
            const json body = parsedBody(ctx);
            auto console = accounts::Caller::console(ctx.storage());
            return HttpResponse::json(
                200, deleteObject(ctx.storage(), console, nameField(body, "className"), nameField(body, "objectId")));
        });
        },
        /*checkAppKey=*/false);

    router.addRaw(
        "GET", "/admin/users",
        [cache](RequestContext& ctx) {
        return guarded(ctx, [&] {
            json request{{"className", std::string(accounts::kUserClass)},
                         {"skip", queryNumber(ctx.query(), "skip").value_or(0)},
                         {"limit", queryNumber(ctx.query(), "limit").value_or(100)}};
            json found = findAll(ctx.storage(), *cache, request);
            for (json& user : found["results"]) {
                const std::string id = user["objectId"].get<std::string>();
                json roles = json::array();
                for (const std::string& role : accounts::rolesOfUser(ctx.storage(), id)) roles.push_back(role);
                user["roles"] = std::move(roles);
                const auto sessions = ctx.storage().queryOne("SELECT COUNT(*) FROM sessions WHERE user_id = ?", {id});
                user["sessions"] = sessions ? sessions->at(0).asInt() : 0;
            }
            return HttpResponse::json(200, found);
        });
        },
        /*checkAppKey=*/false);

    router.addRaw(
        "GET", "/admin/roles",
        [cache](RequestContext& ctx) {
        return guarded(ctx, [&] {
            json request{{"className", std::string(accounts::kRoleClass)}, {"limit", kMaxRoles}};
            json roles = json::array();
            json found = findAll(ctx.storage(), *cache, request);
            for (json& role : found["results"]) {
                json members = roleMembers(ctx.storage(), role["objectId"].get<std::string>());
                roles.push_back(json{{"objectId", role["objectId"]},
                                     {"name", role.value("name", json())},
                                     {"ACL", role.value("ACL", json())},
                                     {"users", std::move(members["users"])},
                                     {"moreUsers", members["moreUsers"]},
                                     {"roles", std::move(members["roles"])},
                                     {"moreRoles", members["moreRoles"]}});
            }
            return HttpResponse::json(200, roles);
        });
        },
        /*checkAppKey=*/false);

    router.addRaw(
        "GET", "/admin/requests",
        [&requestLog](RequestContext& ctx) {
        return guarded(ctx, [&] {
            return HttpResponse::json(200,
                                      requestLog.since(queryNumber(ctx.query(), "after").value_or(0), kMaxLogEntries));
        });
        },
        /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
