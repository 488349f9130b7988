// POST /7/push: push messages, recorded in the delivery log instead of sent.
//   envelope: "client", "v", "data" (no "c", no "objectId")
//   data: {"where": constraint map over "_Installation" (the "/7/find" language),
//          "channels": [names], "data": payload map,
//          "expiration_time": date text, "expiration_interval": seconds,
//          "push_time": date text}   (all optional)
//   reply data: {"pushId", "recipients": N}
// Targets: the "_Installation" objects that hold a device token, match
// "where" when it is given, and whose "channels" field holds one of
// "channels" when that is given (both given: both must hold; neither: every
// installation with a token). An empty "channels" list names no channel and
// reaches nobody.
//
// Installations are ordinary "_Installation" objects. A device token belongs
// to one installation: when an installation is created or updated with a
// "deviceToken" that another installation holds, the other one loses it
// (an application that saves a new installation each time it starts keeps
// getting its messages once, not once per start).
//
// Developer endpoints (loopback peers only, no application key):
//   GET    /admin/pushes   the delivery log (vorn_emulator/Pushes.h)
//   DELETE /admin/pushes   empties it; answers {"deleted": N}

#include <openssl/rand.h>

#include <cmath>
#include <optional>
#include <string>

#include "handlers/Handlers.h"
#include "query/Query.h"
#include "vorn_emulator/DateText.h"
#include "vorn_emulator/ObjectStore.h"
#include "vorn_emulator/Pushes.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

constexpr const char* kInstallationClass = "_Installation";
constexpr std::size_t kMaxChannels = 1000;
constexpr std::size_t kMaxChannelLength = 256;
// Longest expiry interval accepted: ten years.
constexpr double kMaxIntervalSeconds = 10.0 * 366 * 24 * 3600;

ServiceError invalid(ErrorCode code, const std::string& message) {
    return ServiceError(code, message);
}

const json* member(const json& data, const char* key) {
    auto it = data.find(key);
    if (it == data.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::int64_t> dateMember(const json& data, const char* key) {
    const json* value = member(data, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_string()) throw invalid(ErrorCode::InvalidDate, std::string("\"") + key + "\" must be date text");
    return epochMillis(parseDateTextOrThrow(value->get_ref<const std::string&>(), key));
}

std::optional<std::vector<std::string>> channelsMember(const json& data) {
    std::vector<std::string> channels;
    const json* value = member(data, "channels");
    if (value == nullptr) return std::nullopt;
    if (!value->is_array()) throw invalid(ErrorCode::InvalidPush, "\"channels\" must be an array of channel names");
    if (value->size() > kMaxChannels) throw invalid(ErrorCode::InvalidPush, "too many channels");
    for (const auto& channel : *value) {
        if (!channel.is_string() || channel.get_ref<const std::string&>().empty() ||
            channel.get_ref<const std::string&>().size() > kMaxChannelLength) {
            throw invalid(ErrorCode::InvalidPush, "\"channels\" must hold channel names (non-empty strings)");
        }
        channels.push_back(channel.get<std::string>());
    }
    return channels;
}

bool subscribedToAny(const json& fields, const std::vector<std::string>& channels) {
    auto it = fields.find("channels");
    if (it == fields.end() || !it->is_array()) return false;
    for (const auto& held : *it) {
        if (!held.is_string()) continue;
        for (const auto& wanted : channels) {
            if (held.get_ref<const std::string&>() == wanted) return true;
        }
    }
    return false;
}

std::string newPushId() {
    unsigned char random[12];
    if (RAND_bytes(random, sizeof random) != 1) throw ServiceError(ErrorCode::Internal, "no random bytes");
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string id;
    for (unsigned char byte : random) {
        id.push_back(kDigits[byte >> 4]);
        id.push_back(kDigits[byte & 0x0F]);
    }
    return id;
}

json handlePush(RequestContext& ctx, query::ObjectCache* cache) {
    const json& data = ctx.data();
    if (!data.is_object()) throw invalid(ErrorCode::InvalidPush, "\"data\" must be an object");
    const json* where = member(data, "where");
    if (where != nullptr && !where->is_object()) throw invalid(ErrorCode::InvalidQuery, "\"where\" must be an object");
    const auto channels = channelsMember(data);
    const json* payload = member(data, "data");
    if (payload != nullptr && !payload->is_object())
        throw invalid(ErrorCode::InvalidPush, "\"data\" of a push must be an object");
    const auto pushTime = dateMember(data, "push_time");
    auto expiry = dateMember(data, "expiration_time");
    if (const json* interval = member(data, "expiration_interval")) {
        if (!interval->is_number() || !std::isfinite(interval->get<double>()) || interval->get<double>() < 0 ||
            interval->get<double>() > kMaxIntervalSeconds) {
            throw invalid(ErrorCode::InvalidPush, "\"expiration_interval\" must be a number of seconds from 0 up");
        }
        const std::int64_t base = pushTime.value_or(epochMillis(Clock::now()));
        const auto byInterval = base + static_cast<std::int64_t>(interval->get<double>() * 1000.0);
        expiry = expiry ? std::min(*expiry, byInterval) : byInterval;
    }

    const std::int64_t now = epochMillis(Clock::now());
    const std::int64_t due = pushTime.value_or(now);
    std::string status = "delivered";
    if (expiry && (*expiry < due || *expiry < now)) {
        status = "expired";
    } else if (due > now) {
        status = "scheduled";
    }

    std::vector<query::ObjectRef> targets;
    query::QueryContext context{ctx.storage(), *cache, nullptr};
    const json everything = json::object();
    const json& whereMap = where != nullptr ? *where : everything;
    auto compiled = query::compileWhere(whereMap, kInstallationClass, context);
    query::forEachMatch(context, kInstallationClass, whereMap, compiled, [&](const query::ObjectRef& object) {
        // Only a device token can be delivered to.
        const auto token = object->fields.find("deviceToken");
        if (token == object->fields.end() || !token->is_string() || token->get<std::string>().empty()) return;
        if (!channels || subscribedToAny(object->fields, *channels)) targets.push_back(object);
    });

    const std::string pushId = newPushId();
    const std::string payloadText = payload != nullptr ? payload->dump() : "null";
    const std::string channelsText = member(data, "channels") ? data["channels"].dump() : "null";
    const std::string whereText = where != nullptr ? where->dump() : "null";
    const std::string createdAt = formatDateText(Clock::now());
    ctx.storage().transaction([&] {
        for (const auto& object : targets) {
            const auto token = object->fields.find("deviceToken");
            ctx.storage().execute(
                "INSERT INTO push_deliveries (push_id, installation_id, device_token, payload, channels, where_map, "
                "due_ms, expires_ms, status, created_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                {pushId, object->objectId,
                 token != object->fields.end() && token->is_string() ? SqlValue(token->get<std::string>()) : SqlValue(),
                 payloadText, channelsText, whereText, due, expiry ? SqlValue(*expiry) : SqlValue(), status,
                 createdAt});
        }
    });
    return json{{"pushId", pushId}, {"recipients", targets.size()}};
}

}  // namespace

std::vector<json> pushDeliveries(Storage& storage) {
    std::vector<json> entries;
    storage.forEach(
        "SELECT push_id, installation_id, device_token, payload, channels, where_map, due_ms, expires_ms, status, "
        "created_at FROM push_deliveries ORDER BY id",
        {}, [&](const Statement& row) {
            const auto parsed = [](const std::string& text) { return json::parse(text, nullptr, false); };
            json entry{{"pushId", row.getText(0)},
                       {"installationId", row.getText(1)},
                       {"deviceToken", row.isNull(2) ? json() : json(row.getText(2))},
                       {"payload", parsed(row.getText(3))},
                       {"channels", parsed(row.getText(4))},
                       {"where", parsed(row.getText(5))},
                       {"dueAt", formatDateText(fromEpochMillis(row.getInt(6)))},
                       {"expiresAt", row.isNull(7) ? json() : json(formatDateText(fromEpochMillis(row.getInt(7))))},
                       {"status", row.getText(8)},
                       {"createdAt", row.getText(9)}};
            entries.push_back(std::move(entry));
        });
    return entries;
}

std::size_t clearPushDeliveries(Storage& storage) {
    return static_cast<std::size_t>(storage.execute("DELETE FROM push_deliveries"));
}

void releaseDeviceToken(Storage& storage, const std::string& className, const std::string& objectId) {
    if (className != kInstallationClass) return;
    ObjectStore store(storage);
    const auto object = store.load(className, objectId);
    if (!object) return;
    const auto token = object->fields.find("deviceToken");
    if (token == object->fields.end() || !token->is_string() || token->get_ref<const std::string&>().empty()) return;
    std::vector<std::string> holders;
    store.forEachObject(className, [&](const StoredObject& other) {
        if (other.objectId == objectId) return;
        const auto held = other.fields.find("deviceToken");
        if (held != other.fields.end() && *held == *token) holders.push_back(other.objectId);
    });
    for (const auto& holder : holders) store.update(className, holder, json{{"deviceToken", {{"__op", "Delete"}}}});
}

void registerPushHandlers(Router& router, query::ObjectCache& objects) {
    query::ObjectCache* cache = &objects;
    router.addEnvelope("/7/push", [cache](RequestContext& ctx) { return handlePush(ctx, cache); });
    router.addRaw(
        "GET", "/admin/pushes",
        [](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        json entries = json::array();
        for (auto& entry : pushDeliveries(ctx.storage())) entries.push_back(std::move(entry));
        return HttpResponse::json(200, entries);
        },
        /*checkAppKey=*/false);
    router.addRaw(
        "DELETE", "/admin/pushes",
        [](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        return HttpResponse::json(200, json{{"deleted", clearPushDeliveries(ctx.storage())}});
        },
        /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
