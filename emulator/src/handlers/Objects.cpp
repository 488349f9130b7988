// POST /7/create, /7/update, /7/delete: writes of single objects.
//   create: "c" class name, "data" fields      -> {"objectId", "createdAt"}
//   update: "c", "objectId", "data" changes    -> {"updatedAt"}
//   delete: "c", "objectId"                    -> {}

#include "handlers/Handlers.h"
#include "handlers/ObjectWrites.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Router.h"

namespace vorn::emulator {

using nlohmann::json;

std::string requireName(const RequestContext& ctx, std::string_view key) {
  std::string value = ctx.requireString(key);
  if (value.empty()) {
    throw ServiceError(ErrorCode::MissingField, "missing required field \"" + std::string(key) + "\" in body: empty");
  }
  return value;
}

const json& fieldsMap(const json& value, std::string_view where) {
  static const json kEmpty = json::object();
  if (value.is_null()) return kEmpty;
  if (!value.is_object()) {
    throw ServiceError(ErrorCode::InvalidFieldType, "\"" + std::string(where) + "\" must be an object");
  }
  return value;
}

json createObject(Storage& storage, const std::string& className, const json& fields) {
  const auto created = ObjectStore(storage).create(className, fields);
  return json{{"objectId", created.objectId}, {"createdAt", created.createdAt}};
}

json updateObject(Storage& storage, const std::string& className, const std::string& objectId, const json& fields) {
  return json{{"updatedAt", ObjectStore(storage).update(className, objectId, fields)}};
}

json deleteObject(Storage& storage, const std::string& className, const std::string& objectId) {
  ObjectStore(storage).remove(className, objectId);
  return json::object();
}

void registerObjectHandlers(Router& router) {
  router.addEnvelope("/7/create", [](RequestContext& ctx) {
    const std::string className = requireName(ctx, "c");
    return createObject(ctx.storage(), className, fieldsMap(ctx.data(), "data"));
  });
  router.addEnvelope("/7/update", [](RequestContext& ctx) {
    const std::string className = requireName(ctx, "c");
    const std::string objectId = requireName(ctx, "objectId");
    return updateObject(ctx.storage(), className, objectId, fieldsMap(ctx.data(), "data"));
  });
  router.addEnvelope("/7/delete", [](RequestContext& ctx) {
    const std::string className = requireName(ctx, "c");
    const std::string objectId = requireName(ctx, "objectId");
    return deleteObject(ctx.storage(), className, objectId);
  });
}

}  // namespace vorn::emulator
