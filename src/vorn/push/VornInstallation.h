#pragma once

#include "vorn/core/vBase64.h"
#include "vorn/data/VornObject.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

class VornQuery;

/// The service's record of this copy of the application on this device
/// (class "_Installation", whatever class name it is given): its push
/// token, the channels it listens to, its badge and a description of the
/// application, written before every save.
class VornInstallation : public VornObject {
public:
    /// A new installation with no fields.
    static std::shared_ptr<VornInstallation> init();
    /// The same as `init()`; the class is always "_Installation".
    static std::shared_ptr<VornInstallation> initWithClassName(const std::string& ignored);
    /// The same as `init()`; the class is always "_Installation".
    static std::shared_ptr<VornInstallation> objectWithClassName(const std::string& ignored);
    /// An installation with the given object id, to update a stored record.
    static std::shared_ptr<VornInstallation> objectWithoutDatatWithClassName(const std::string& ignored,
                                                                             const std::string& objectId);
    /// A query over "_Installation".
    static std::shared_ptr<VornQuery> query();
    /// A new, empty installation on every call: nothing is kept or stored.
    static std::shared_ptr<VornInstallation> currentInstallation();

    /// Made only by the factories.
    explicit VornInstallation(Passkey);

    /// The token as lower-case hexadecimal, into `deviceToken` and the field "deviceToken".
    void setDeviceTokenFromData(const Bytes& deviceToken);
    /// Adds the names to "channels" (add-unique).
    void subsccribeToChannels(const nlohmann::json& channels);
    /// Removes the names from "channels".
    void unsubscribeFromChannels(const nlohmann::json& channels);
    /// Writes "deviceType", "appIdentifier", "appName", "appVersion",
    /// "timeZone", "VornVersion", "badge" and, when set, "channels".
    void setAppInfo();

    /// `setAppInfo`, then a create (no object id) or an update.
    void saveInBackground() override;
    /// The same, with the result: `block` runs on the main loop as for `VornObject`'s save or update.
    void saveInBackgroundWithResultBlock(VornBooleanResultBlock block) override;
    /// The other forms of `VornObject`, without `setAppInfo`.
    using VornObject::saveInBackgroundWithResultBlock;
    /// Installations are not deleted: these do nothing and never call back.
    void deleteInBackground() override;
    /// Does nothing.
    void deleteInBackgroundWithBlock(VornBooleanResultBlock block) override;
    /// Does nothing.
    void deleteInBackgroundWithBlock(VornBooleanResultBlock block, bool callback) override;

    /// The badge number, written to "badge" at the next save.
    std::int32_t badge() const { return badge_; }
    /// Sets the badge number.
    void setBadge(std::int32_t badge) { badge_ = badge; }
    /// When set (an array of names), replaces "channels" at the next save.
    const std::optional<nlohmann::json>& channels() const { return channels_; }
    /// Sets the channel list.
    void setChannels(std::optional<nlohmann::json> channels) { channels_ = std::move(channels); }
    /// Setting the property leaves the field "deviceToken" alone.
    const std::optional<std::string>& deviceToken() const { return deviceToken_; }
    /// Sets the token property.
    void setDeviceToken(std::optional<std::string> deviceToken) { deviceToken_ = std::move(deviceToken); }
    /// Never sent: the field "deviceType" is always "ios".
    const std::optional<std::string>& deviceType() const { return deviceType_; }
    /// Sets the property (never sent).
    void setDeviceType(std::optional<std::string> deviceType) { deviceType_ = std::move(deviceType); }

private:
    std::int32_t badge_ = 0;
    std::optional<nlohmann::json> channels_;
    std::optional<std::string> deviceToken_;
    std::optional<std::string> deviceType_ = std::string("ios");
};

}  // namespace vorn
