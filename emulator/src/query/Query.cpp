#include "query/Query.h"

#include <algorithm>

#include "accounts/AccessControl.h"
#include "query/Matcher.h"

namespace vorn::emulator::query {

void forEachMatch(QueryContext& context, const std::string& className, const nlohmann::json& whereJson, Where& where,
                  const std::function<void(const ObjectRef&)>& onMatch) {
    context.cache.scan(context.storage, className, pinnedObjectId(whereJson), [&](const ObjectRef& object) {
        if (context.caller != nullptr && !context.caller->may(accounts::Permission::Read, object->fields)) return;
        if (matches(where, *object)) onMatch(object);
    });
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
    std::vector<ObjectRef> matched;
    forEachMatch(context, request.className, whereJson, where,
                 [&](const ObjectRef& object) { matched.push_back(object); });
    result.count = matched.size();
    const std::size_t limit = std::min(request.limit, kMaxLimit);
    if (request.order.empty()) {
        if (auto near = firstNearSphere(where)) {
            result.objects = takeNearest(matched, near->field, near->point, request.skip, limit);
            return result;
        }
    }
    result.objects = takeOrdered(matched, request.order, request.skip, limit);
    return result;
}

}  // namespace vorn::emulator::query
