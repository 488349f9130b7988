#include "vorn/push/VornPush.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/VornService.h"

namespace vorn {
namespace {

bool hasEntries(const nlohmann::json& value) {
    return (value.is_object() || value.is_array()) && !value.empty();
}

void reportMissingContent(const VornBooleanResultBlock& block) {
    if (block) block(false, v_VornUtils::vornErrorWithType(kVornErrorNilPushContent));
}

}  // namespace

std::shared_ptr<VornPush> VornPush::push() {
    return std::make_shared<VornPush>(Passkey{});
}

void VornPush::setQuery(const std::shared_ptr<VornQuery>& query) {
    const auto where = queryDictionary(query);
    if (where.is_object()) whereMutableDic_ = where;
}

void VornPush::setChannels(const std::optional<nlohmann::json>& channels) {
    if (channels && channels->is_array()) mutableChannels_ = *channels;
}

void VornPush::setChannel(const std::optional<std::string>& channel) {
    if (channel && !channel->empty()) mutableChannels_ = nlohmann::json::array({*channel});
}

void VornPush::setMessage(const std::optional<std::string>& message) {
    if (message && !message->empty()) dataMutableDic_["data"] = {{"alert", *message}};
}

void VornPush::setData(const std::optional<nlohmann::json>& data) {
    if (data && data->is_object() && !data->empty()) dataMutableDic_["data"] = *data;
}

void VornPush::expireAtDate(const std::optional<Date>& date) {
    if (date) dataMutableDic_["expiration_time"] = v_VornUtils::stringOfDate(*date);
}

void VornPush::expireAfterTimeInterval(double timeInterval) {
    dataMutableDic_["expiration_interval"] = timeInterval;
}

void VornPush::pushDate(const std::optional<Date>& date) {
    if (date) dataMutableDic_["push_time"] = v_VornUtils::stringOfDate(*date);
}

bool VornPush::sendPush(OptionalError*) {
    return true;
}

void VornPush::sendPushInBackground() {
    sendPushInBackgroundWithBlock(nullptr);
}

void VornPush::sendPushInBackgroundWithBlock(VornBooleanResultBlock block) {
    // What a send writes stays: a second send carries it too.
    if (hasEntries(whereMutableDic_)) dataMutableDic_["where"] = whereMutableDic_;
    if (hasEntries(mutableChannels_)) dataMutableDic_["channels"] = mutableChannels_;
    const bool report = static_cast<bool>(block);
    send(dataMutableDic_, std::move(block), report);
}

nlohmann::json VornPush::queryDictionary(const std::shared_ptr<VornQuery>& query) {
    if (!query) return nullptr;
    return query->queryDataDic();
}

void VornPush::sendPushMessageToChannelInBackground(const std::optional<std::string>& channel,
                                                    const std::optional<std::string>& message) {
    if (!message || message->empty()) return;
    sendPushMessageToChannelInBackground(channel, nullptr, nlohmann::json{{"alert", *message}}, nullptr, false);
}

void VornPush::sendPushMessageToChannelInBackground(const std::optional<std::string>& channel,
                                                    const std::optional<std::string>& message,
                                                    VornBooleanResultBlock block) {
    if (!message || message->empty()) return reportMissingContent(block);
    sendPushMessageToChannelInBackground(channel, nullptr, nlohmann::json{{"alert", *message}}, std::move(block), true);
}

void VornPush::sendPushMessageToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                                  const std::optional<std::string>& message) {
    if (!message || message->empty()) return;
    sendPushMessageToChannelInBackground(std::nullopt, query, nlohmann::json{{"alert", *message}}, nullptr, false);
}

void VornPush::sendPushMessageToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                                  const std::optional<std::string>& message,
                                                  VornBooleanResultBlock block) {
    if (!message || message->empty()) return reportMissingContent(block);
    sendPushMessageToChannelInBackground(std::nullopt, query, nlohmann::json{{"alert", *message}}, std::move(block),
                                         true);
}

void VornPush::sendPushDataToChannelInBackground(const std::optional<std::string>& channel,
                                                 const std::optional<nlohmann::json>& data) {
    if (!data || data->is_null()) return;
    sendPushMessageToChannelInBackground(channel, nullptr, data, nullptr, false);
}

void VornPush::sendPushDataToChannelInBackground(const std::optional<std::string>& channel,
                                                 const std::optional<nlohmann::json>& data,
                                                 VornBooleanResultBlock block) {
    if (!data || data->is_null()) return reportMissingContent(block);
    sendPushMessageToChannelInBackground(channel, nullptr, data, std::move(block), true);
}

void VornPush::sendPushDataToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                               const std::optional<nlohmann::json>& data) {
    if (!data || data->is_null()) return;
    sendPushMessageToChannelInBackground(std::nullopt, query, data, nullptr, false);
}

void VornPush::sendPushDataToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                               const std::optional<nlohmann::json>& data,
                                               VornBooleanResultBlock block) {
    if (!data || data->is_null()) return reportMissingContent(block);
    sendPushMessageToChannelInBackground(std::nullopt, query, data, std::move(block), true);
}

void VornPush::sendPushMessageToChannelInBackground(const std::optional<std::string>& channel,
                                                    const std::shared_ptr<VornQuery>& query,
                                                    const std::optional<nlohmann::json>& data,
                                                    VornBooleanResultBlock block, bool callbackOrNot) {
    nlohmann::json request = nlohmann::json::object();
    if (const auto where = queryDictionary(query); hasEntries(where)) request["where"] = where;
    if (data && hasEntries(*data)) request["data"] = *data;
    if (channel && !channel->empty()) request["channels"] = nlohmann::json::array({*channel});
    send(std::move(request), std::move(block), callbackOrNot);
}

void VornPush::send(nlohmann::json data, VornBooleanResultBlock block, bool callbackOrNot) {
    VornServiceCall call;
    call.path = "push";
    call.data = std::move(data);
    VornService::send(call, [block = std::move(block), callbackOrNot](const VornServiceReply& reply) {
        if (!callbackOrNot || !block) return;
        block(reply.succeeded(), reply.error());
    });
}

void VornPush::handlePush(const nlohmann::json& userInfo) {
    if (!userInfo.is_object()) return;
    const auto aps = userInfo.find("aps");
    if (aps == userInfo.end() || !aps->is_object()) return;
    const auto alert = aps->find("alert");
    if (alert == aps->end() || alert->is_null()) return;
    const std::string message = alert->is_string() ? alert->get<std::string>() : alert->dump();
    const auto title = DeviceContext::shared().identity().displayName;
    if (auto presenter = DeviceContext::shared().alertPresenter()) presenter->showAlert(title, message, "确定", {});
}

}  // namespace vorn
