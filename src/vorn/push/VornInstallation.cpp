#include "vorn/push/VornInstallation.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/VornService.h"

namespace vorn {
namespace {
constexpr const char* kInstallationClass = "_Installation";
}

VornInstallation::VornInstallation(Passkey key) : VornObject(key, std::string(kInstallationClass)) {}

std::shared_ptr<VornInstallation> VornInstallation::init() {
    return make<VornInstallation>();
}
std::shared_ptr<VornInstallation> VornInstallation::initWithClassName(const std::string&) {
    return init();
}
std::shared_ptr<VornInstallation> VornInstallation::objectWithClassName(const std::string&) {
    return init();
}
std::shared_ptr<VornInstallation> VornInstallation::currentInstallation() {
    return init();
}

std::shared_ptr<VornInstallation> VornInstallation::objectWithoutDatatWithClassName(const std::string&,
                                                                                    const std::string& objectId) {
    auto installation = init();
    installation->setObjectId(objectId);
    return installation;
}

std::shared_ptr<VornQuery> VornInstallation::query() {
    return VornQuery::queryWithClassName(kInstallationClass);
}

void VornInstallation::setDeviceTokenFromData(const Bytes& deviceToken) {
    const std::string text = v_VornUtils::hexStringFromData(deviceToken);
    deviceToken_ = text;
    setObject(VornValue(nlohmann::json(text)), "deviceToken");
}

void VornInstallation::subsccribeToChannels(const nlohmann::json& channels) {
    addUniqueObjectsFromArray(channels, "channels");
}

void VornInstallation::unsubscribeFromChannels(const nlohmann::json& channels) {
    removeObjectsInArray(channels, "channels");
}

void VornInstallation::setAppInfo() {
    const auto identity = DeviceContext::shared().identity();
    // A fact the application bundle lacks leaves its field unset.
    const auto setText = [this](const std::string& text, const char* key) {
        if (!text.empty()) setObject(VornValue(nlohmann::json(text)), key);
    };
    setObject(VornValue(nlohmann::json("ios")), "deviceType");
    setText(identity.bundleIdentifier, "appIdentifier");
    setText(identity.displayName, "appName");
    setText(identity.version, "appVersion");
    setText(DeviceContext::shared().systemTimeZoneName(), "timeZone");
    setObject(VornValue(nlohmann::json(kVornSDKVersion)), "VornVersion");
    setObject(VornValue(nlohmann::json(badge_)), "badge");
    if (channels_) setObject(VornValue(*channels_), "channels");
}

void VornInstallation::saveInBackground() {
    setAppInfo();
    if (objectId()) {
        updateInBackground();
    } else {
        VornObject::saveInBackground();
    }
}

void VornInstallation::saveInBackgroundWithResultBlock(VornBooleanResultBlock block) {
    setAppInfo();
    if (objectId()) {
        updateInBackgroundWithResultBlock(std::move(block));
    } else {
        VornObject::saveInBackgroundWithResultBlock(std::move(block));
    }
}

void VornInstallation::deleteInBackground() {}

void VornInstallation::deleteInBackgroundWithBlock(VornBooleanResultBlock) {}

void VornInstallation::deleteInBackgroundWithBlock(VornBooleanResultBlock, bool) {}

}  // namespace vorn
