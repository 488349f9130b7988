#pragma once

#include "vorn/core/VornError.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

class VornQuery;

/// Asks the service to send a push notification to the installations
/// subscribed to channels, or matching a query over "_Installation", or
/// both. Fill an object and send it (it can be sent again: what a send
/// writes stays), or send one message with a class operation. Results
/// arrive on the main loop.
class VornPush : public std::enable_shared_from_this<VornPush> {
public:
    /// A time stamp.
    using Date = std::chrono::system_clock::time_point;

    /// A new, empty push.
    static std::shared_ptr<VornPush> push();

    /// The query's constraint map becomes the target ("where").
    void setQuery(const std::shared_ptr<VornQuery>& query);
    /// Replaces the channel list (an array of names).
    void setChannels(const std::optional<nlohmann::json>& channels);
    /// The channel list becomes this one name; empty changes nothing.
    void setChannel(const std::optional<std::string>& channel);
    /// "data" = {"alert": message}; empty changes nothing.
    void setMessage(const std::optional<std::string>& message);
    /// "data" = the map, when it has an entry.
    void setData(const std::optional<nlohmann::json>& data);
    /// "expiration_time" as date text.
    void expireAtDate(const std::optional<Date>& date);
    /// "expiration_interval" in seconds.
    void expireAfterTimeInterval(double timeInterval);
    /// "push_time" as date text.
    void pushDate(const std::optional<Date>& date);

    /// Sends nothing and returns true.
    bool sendPush(OptionalError* error = nullptr);
    /// Sends, reports nothing.
    void sendPushInBackground();
    /// Sends the push (the target and data set so far, which stay for a later send). `block` runs on the main loop with
    /// 20002, 20010 or the service's code and message.
    void sendPushInBackgroundWithBlock(VornBooleanResultBlock block);

    /// The query's constraint map; null for no query.
    static nlohmann::json queryDictionary(const std::shared_ptr<VornQuery>& query);

    // One message in one call. The forms with a callback report 20016 for a
    // missing or empty message or a missing map; the others just return.
    /// Sends the message to the channel's subscribers; reports nothing.
    static void sendPushMessageToChannelInBackground(const std::optional<std::string>& channel,
                                                     const std::optional<std::string>& message);
    /// The same; `block` runs on the main loop with 20002, 20010 or the service's code and message.
    static void sendPushMessageToChannelInBackground(const std::optional<std::string>& channel,
                                                     const std::optional<std::string>& message,
                                                     VornBooleanResultBlock block);
    /// Sends the message to the installations the query matches; reports nothing.
    static void sendPushMessageToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                                   const std::optional<std::string>& message);
    /// The same; `block` runs on the main loop with 20002, 20010 or the service's code and message.
    static void sendPushMessageToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                                   const std::optional<std::string>& message,
                                                   VornBooleanResultBlock block);
    /// Sends the data map to the channel's subscribers; reports nothing.
    static void sendPushDataToChannelInBackground(const std::optional<std::string>& channel,
                                                  const std::optional<nlohmann::json>& data);
    /// The same; `block` runs on the main loop with 20002, 20010 or the service's code and message.
    static void sendPushDataToChannelInBackground(const std::optional<std::string>& channel,
                                                  const std::optional<nlohmann::json>& data,
                                                  VornBooleanResultBlock block);
    /// Sends the data map to the installations the query matches; reports nothing.
    static void sendPushDataToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                                const std::optional<nlohmann::json>& data);
    /// The same; `block` runs on the main loop with 20002, 20010 or the service's code and message.
    static void sendPushDataToQueryInBackground(const std::shared_ptr<VornQuery>& query,
                                                const std::optional<nlohmann::json>& data,
                                                VornBooleanResultBlock block);
    /// The sender behind the eight above.
    static void sendPushMessageToChannelInBackground(const std::optional<std::string>& channel,
                                                     const std::shared_ptr<VornQuery>& query,
                                                     const std::optional<nlohmann::json>& data,
                                                     VornBooleanResultBlock block, bool callbackOrNot);

    /// Shows the "aps"."alert" of a received notification, titled with the
    /// application's display name, through the device context's alert
    /// presenter, on the calling thread. Nothing without an alert.
    static void handlePush(const nlohmann::json& userInfo);

    /// The channel list set so far.
    const nlohmann::json& channelsList() const { return mutableChannels_; }
    /// The target constraint map set so far.
    const nlohmann::json& whereDictionary() const { return whereMutableDic_; }
    /// The request map set so far ("data", expiration and push times).
    const nlohmann::json& dataDictionary() const { return dataMutableDic_; }

private:
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    /// Made only by `push()`.
    explicit VornPush(Passkey) {}

private:
    static void send(nlohmann::json data, VornBooleanResultBlock block, bool callbackOrNot);

    nlohmann::json mutableChannels_ = nlohmann::json::array();
    nlohmann::json whereMutableDic_ = nlohmann::json::object();
    nlohmann::json dataMutableDic_ = nlohmann::json::object();
};

}  // namespace vorn
