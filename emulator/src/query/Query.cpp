#include "query/Query.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "accounts/AccessControl.h"
#include "query/FieldIndex.h"
#include "query/Matcher.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::query {

namespace {

// Candidates beyond this many are read one by one only when they are at
// most half of the class; otherwise reading the class in one scan is
// cheaper.
constexpr std::size_t kFewCandidates = 2000;

bool worthFetching(Storage& storage, const std::string& className, std::size_t candidates) {
    if (candidates <= kFewCandidates) return true;
    // Counted only as far as needed: whether the class has at least twice as
    // many objects.
    const auto enough = static_cast<std::int64_t>(candidates * 2);
    auto row = storage.queryOne("SELECT count(*) FROM (SELECT 1 FROM objects WHERE class_name = ? LIMIT ?)",
                                {className, enough});
    return row && row->at(0).asInt() >= enough;
}

}  // namespace

void forEachMatch(QueryContext& context, const std::string& className, const nlohmann::json& whereJson, Where& where,
                  const std::function<void(const ObjectRef&)>& onMatch) {
    const auto visit = [&](const ObjectRef& object) {
        if (context.caller != nullptr && !context.caller->may(accounts::Permission::Read, object->fields)) return;
        if (matches(where, *object)) onMatch(object);
    };
    auto pinned = pinnedObjectId(whereJson);
    if (!pinned && context.useFieldIndex) {
        auto candidates = indexedCandidates(context.storage, className, where);
        if (candidates && worthFetching(context.storage, className, candidates->size())) {
            context.cache.fetch(context.storage, className, *candidates, visit);
            return;
        }
    }
    context.cache.scan(context.storage, className, pinned, visit);
}

IdSet matchingIds(QueryContext& context, const std::string& className, const nlohmann::json& whereJson, Where& where) {
    IdSet ids;
    forEachMatch(context, className, whereJson, where, [&](const ObjectRef& object) { ids.insert(object->objectId); });
    return ids;
}

FindResult runFind(QueryContext& context, const FindRequest& request) {
    static const nlohmann::json kEverything = nlohmann::json::object();
    const nlohmann::json& whereJson = request.where != nullptr ? *request.where : kEverything;
    Where where = compileWhere(whereJson, request.className, context);

    FindResult result;
    if (request.countOnly) {
        forEachMatch(context, request.className, whereJson, where, [&](const ObjectRef&) { ++result.count; });
        return result;
    }
    const std::size_t limit = std::min(request.limit, kMaxLimit);
    std::optional<NearSphere> near;
    if (request.order.empty()) near = firstNearSphere(where);
    OrderedWindow window = near ? OrderedWindow(near->field, near->point, request.skip, limit)
                                : OrderedWindow(request.order, request.skip, limit);
    forEachMatch(context, request.className, whereJson, where, [&](const ObjectRef& object) {
        ++result.count;
        window.offer(object);
    });
    result.objects = window.take();
    return result;
}

}  // namespace vorn::emulator::query
