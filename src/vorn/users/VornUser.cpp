#include "vorn/users/VornUser.h"

#include "vorn/core/JsonAccess.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/query/VornQuery.h"
#include "vorn/service/VornService.h"
#include "vorn/users/VornUserArchive.h"

namespace vorn {
namespace {

using jsonutil::member;
using jsonutil::textOf;

std::optional<VornValue::Date> dateIn(const nlohmann::json& map, const char* key) {
    const auto* text = member(map, key);
    return text ? v_VornUtils::dateOfString(textOf(*text)) : std::nullopt;
}

OptionalError error(int code) {
    return v_VornUtils::vornErrorWithType(code);
}

bool isRelationDescriptor(const nlohmann::json& value) {
    const auto* type = member(value, "__type");
    return type != nullptr && type->is_string() && type->get<std::string>() == "Relation";
}

}  // namespace

VornUser::VornUser(Passkey key) : VornObject(key, std::string("_User")) {}

std::shared_ptr<VornUser> VornUser::init() {
    return make<VornUser>();
}
std::shared_ptr<VornUser> VornUser::initWithClassName(const std::string&) {
    return init();
}
std::shared_ptr<VornUser> VornUser::objectWithClassName(const std::string&) {
    return init();
}

std::shared_ptr<VornUser> VornUser::objectWithoutDatatWithClassName(const std::string&, const std::string& objectId) {
    auto user = init();
    user->setObjectId(objectId);
    return user;
}

std::shared_ptr<VornQuery> VornUser::query() {
    return VornQuery::queryWithClassName("_User");
}

void VornUser::setUserName(const std::string& userName) {
    if (userName.empty()) return;
    myUsername_ = userName;
    setObject(userName, "username");
}

void VornUser::setPassword(const std::string& password) {
    if (password.empty()) return;
    myPassword_ = password;
    setObject(password, "password");
}

void VornUser::setEmail(const std::string& email) {
    if (!email.empty()) setObject(email, "email");
}

std::filesystem::path VornUser::currentUserFilePath() {
    return VornUserArchive::path();
}

std::shared_ptr<VornUser> VornUser::userFromFields(nlohmann::json fields, bool idFirst) {
    auto user = init();
    const auto* id = idFirst ? member(fields, "_id") : member(fields, "objectId");
    if (id == nullptr) id = idFirst ? member(fields, "objectId") : member(fields, "_id");
    user->setObjectId(id ? std::optional<std::string>(textOf(*id)) : std::nullopt);
    user->setCreatedAt(dateIn(fields, "createdAt"));
    user->setUpdatedAt(member(fields, "updatedAt") ? dateIn(fields, "updatedAt") : user->createdAt());
    fields.erase("updatedAt");
    fields.erase("createdAt");
    fields.erase("objectId");
    user->setUserDic(fields);
    user->setSelfDataDictionary(fields);
    return user;
}

std::shared_ptr<VornUser> VornUser::getCurrentObject() {
    auto archive = VornUserArchive::read();
    if (!archive || !archive->fields.is_object()) return nullptr;
    archive->fields.erase("_isdel");
    archive->fields.erase("password");
    return userFromFields(std::move(archive->fields), archive->textForm);
}

void VornUser::logout() {
    // The session ends on the device too: no later request presents the token.
    auto transaction = VornUserArchive::transaction();
    VornUserArchive::remove();
    VornUserArchive::removeSessionToken();
}

// Sign-up.

void VornUser::signUpInBackground() {
    signUpInBackgroundWithBlock(nullptr, false);
}

void VornUser::signUpInBackgroundWithBlock(VornBooleanResultBlock block) {
    signUpInBackgroundWithBlock(std::move(block), true);
}

void VornUser::signUpInBackgroundWithBlock(VornBooleanResultBlock block, bool callback) {
    const bool report = callback && block;
    if (myPassword_.empty() || myUsername_.empty()) {
        if (report) block(false, error(myPassword_.empty() ? kVornErrorNilPassword : kVornErrorNilUsername));
        return;
    }
    VornServiceCall call;
    call.path = "signup";
    call.c = nullptr;
    call.objectId = nullptr;
    const nlohmann::json sent = requestDataDictionary();
    call.data = sent;
    auto self = std::static_pointer_cast<VornUser>(weak_from_this().lock());
    VornService::send(call, [self, sent, block = std::move(block), report](const VornServiceReply& reply) {
        OptionalError failure = reply.error();
        if (reply.succeeded()) {
            if (const auto* data = reply.validData(); data != nullptr && data->is_object()) {
                auto transaction = VornUserArchive::transaction();
                VornUserArchive::storeSessionToken(data->value("sessionToken", nlohmann::json()));
                nlohmann::json archived = *data;
                for (const auto& [key, value] : sent.items()) archived[key] = value;
                archived.erase("password");
                archived.erase("ACL");
                archived.erase("sessionToken");
                VornUserArchive::write(archived);
                transaction.unlock();
                if (!self) return report ? block(true, std::nullopt) : void();
                // The password went out once; it is sent again only when set again.
                self->vornDataDic().erase("password");
                const auto* id = member(archived, "objectId");
                self->setObjectId(id ? std::optional<std::string>(textOf(*id)) : std::nullopt);
                self->setCreatedAt(dateIn(archived, "createdAt"));
                self->setUpdatedAt(dateIn(archived, "updatedAt"));
            } else {
                failure = error(kVornErrorUnknown);
            }
        }
        if (report) block(!failure, failure);
    });
}

// Log-in.

/// The outcome of a log-in reply (password or external account): the new
/// current user, stored with its token, or the error.
static std::variant<std::shared_ptr<VornUser>, VornError> loggedInUser(const VornServiceReply& reply) {
    if (!reply.parsed()) return *reply.error();
    if (!reply.succeeded()) {
        if (member(reply.body, "result") == nullptr) return *error(kVornErrorUnknown);
        return *reply.error();
    }
    const auto* data = reply.validData();
    if (data == nullptr || !data->is_object()) return *error(kVornErrorUnknown);
    nlohmann::json fields = *data;
    fields.erase("sessionToken");
    {
        auto transaction = VornUserArchive::transaction();
        VornUserArchive::storeSessionToken(data->value("sessionToken", nlohmann::json()));
        VornUserArchive::write(fields);
    }
    auto user = VornUser::init();
    const auto* id = member(fields, "objectId");
    user->setObjectId(id ? std::optional<std::string>(textOf(*id)) : std::nullopt);
    user->setCreatedAt(dateIn(fields, "createdAt"));
    user->setUpdatedAt(dateIn(fields, "updatedAt"));
    fields.erase("objectId");
    fields.erase("createdAt");
    fields.erase("updatedAt");
    user->setUserDic(fields);
    user->setSelfDataDictionary(fields);
    return user;
}

void VornUser::logInFromReply(const VornServiceReply& reply, const VornUserResultBlock& block) {
    auto outcome = loggedInUser(reply);
    if (!block) return;
    if (auto* failure = std::get_if<VornError>(&outcome)) {
        block(nullptr, *failure);
    } else {
        block(std::get<std::shared_ptr<VornUser>>(outcome), std::nullopt);
    }
}

void VornUser::loginInBackgroundWithUsername(const std::string& username, const std::string& password) {
    logInWithUsernameInBackground(username, password, nullptr, false);
}

void VornUser::logInWithUsernameInBackground(const std::string& username, const std::string& password) {
    logInWithUsernameInBackground(username, password, nullptr, false);
}

void VornUser::logInWithUsernameInBackground(const std::string& username, const std::string& password,
                                             VornUserResultBlock block) {
    logInWithUsernameInBackground(username, password, std::move(block), true);
}

void VornUser::logInWithUsernameInBackground(const std::string& username, const std::string& password,
                                             VornUserResultBlock block, bool callback) {
    const bool report = callback && block;
    if (username.empty() || password.empty()) {
        if (report) block(nullptr, error(username.empty() ? kVornErrorNilUsername : kVornErrorNilPassword));
        return;
    }
    VornServiceCall call;
    call.path = "login";
    call.objectId = nullptr;
    call.data = nlohmann::json{{"username", username}, {"password", password}};
    VornService::send(call, [block = report ? std::move(block) : VornUserResultBlock()](const VornServiceReply& reply) {
        logInFromReply(reply, block);
    });
}

// Update and delete.

void VornUser::updateInBackground() {
    if (objectId()) updateInBackgroundWithResultBlock(nullptr, false);
}

void VornUser::updateInBackgroundWithResultBlock(VornBooleanResultBlock block) {
    if (!objectId()) {
        if (block) block(false, error(kVornErrorNoneObjectId));
        return;
    }
    updateInBackgroundWithResultBlock(std::move(block), true);
}

void VornUser::updateInBackgroundWithResultBlock(VornBooleanResultBlock block, bool callback) {
    updateWithDictionary(requestDataDictionary(), std::move(block), callback);
}

void VornUser::updateWithDictionary(const nlohmann::json& dictionary, VornBooleanResultBlock block, bool needCallback) {
    nlohmann::json changes = dictionary.is_object() ? dictionary : nlohmann::json::object();
    for (const char* key : {"sessionToken", "updatedAt", "createdAt", "objectId", "_id"}) changes.erase(key);
    for (auto it = changes.begin(); it != changes.end();) {
        it = isRelationDescriptor(*it) ? changes.erase(it) : std::next(it);
    }
    // Only what changed since the archive was written is sent.
    if (auto archived = VornUserArchive::readFields()) {
        for (auto it = changes.begin(); it != changes.end();) {
            const bool same = archived->contains(it.key()) && archived->at(it.key()) == *it;
            it = same ? changes.erase(it) : std::next(it);
        }
    }
    VornServiceCall call;
    call.path = "update";
    call.c = "_User";
    call.objectId = objectId() ? nlohmann::json(*objectId()) : nlohmann::json();
    call.data = changes;
    call.sendSessionToken = true;
    const bool report = needCallback && block;
    std::weak_ptr<VornObject> weak = weak_from_this();
    VornService::send(call, [weak, changes, block = std::move(block), report](const VornServiceReply& reply) {
        OptionalError failure = reply.error();
        if (reply.succeeded()) {
            // The password went out once; it is sent again only when set again.
            if (auto self = weak.lock(); self && changes.contains("password")) self->vornDataDic().erase("password");
            auto transaction = VornUserArchive::transaction();
            if (auto archive = VornUserArchive::read()) {
                if (archive->textForm) {
                    VornUserArchive::applyChanges(archive->fields, changes);
                    VornUserArchive::write(archive->fields);
                } else if (const auto* data = reply.validData()) {
                    VornUserArchive::applyChanges(archive->fields, changes);
                    const auto* updated = data->is_object() ? member(*data, "updatedAt") : nullptr;
                    archive->fields["updatedAt"] = updated ? nlohmann::json(textOf(*updated)) : nlohmann::json();
                    VornUserArchive::write(archive->fields);
                } else {
                    failure = error(kVornErrorUnknown);
                }
            }
        }
        if (report) block(!failure, failure);
    });
}

void VornUser::deleteInBackground() {
    if (objectId()) deleteInBackgroundWithBlock(nullptr, false);
}

void VornUser::deleteInBackgroundWithBlock(VornBooleanResultBlock block) {
    if (!objectId()) {
        if (block) block(false, error(kVornErrorNoneObjectId));
        return;
    }
    deleteInBackgroundWithBlock(std::move(block), true);
}

void VornUser::deleteInBackgroundWithBlock(VornBooleanResultBlock block, bool callback) {
    userDic_ = nlohmann::json::object();
    VornServiceCall call;
    call.path = "delete";
    call.c = "_User";
    call.objectId = objectId() ? nlohmann::json(*objectId()) : nlohmann::json();
    call.data = nullptr;
    call.sendSessionToken = true;
    const bool report = callback && block;
    VornService::send(call, [block = std::move(block), report](const VornServiceReply& reply) {
        if (report) block(reply.succeeded(), reply.error());
    });
}

}  // namespace vorn
