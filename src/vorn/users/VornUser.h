#pragma once

#include "vorn/data/VornObject.h"
#include "vorn/data/VornValue.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vorn {

class VornQuery;
class VornUser;
struct VornServiceReply;

using VornUserResultBlock = std::function<void(const std::shared_ptr<VornUser>& user, const OptionalError& error)>;

/// External platforms whose accounts can log a user in.
enum VornAuthPlatform : int {
    kVornAuthPlatformQQ = 0,     ///< "qq"
    kVornAuthPlatformWeibo = 1,  ///< "weibo" (any value other than 0)
};

/// A user of the service (class "_User"): signs up, logs in with a name
/// and password or an external account, stays logged in as the current
/// user (an archive in the documents directory and a session token in the
/// key-value store), updates and deletes the account, verifies its e-mail
/// address and resets its password.
class VornUser : public VornObject {
public:
    /// A new user with no fields.
    static std::shared_ptr<VornUser> init();
    /// The same as `init()`; the class is always "_User".
    static std::shared_ptr<VornUser> initWithClassName(const std::string& ignored);
    /// The same as `init()`; the class is always "_User".
    static std::shared_ptr<VornUser> objectWithClassName(const std::string& ignored);
    /// A reference to the stored user with this identifier.
    static std::shared_ptr<VornUser> objectWithoutDatatWithClassName(const std::string& ignored,
                                                                     const std::string& objectId);
    /// A query of the "_User" class.
    static std::shared_ptr<VornQuery> query();

    /// Made only by the factories.
    explicit VornUser(Passkey);

    /// Sets the user name ("username"); an empty name is ignored.
    void setUserName(const std::string& userName);
    /// Sets the password ("password"); an empty password is ignored.
    void setPassword(const std::string& password);
    /// Sets the e-mail address ("email"); an empty address is ignored.
    void setEmail(const std::string& email);
    /// The user name set on this object.
    const std::string& myUsername() const { return myUsername_; }
    /// The password set on this object.
    const std::string& myPassword() const { return myPassword_; }
    /// The user's fields as last received or read from the archive.
    nlohmann::json& userDic() { return userDic_; }
    /// Replaces the user's fields.
    void setUserDic(nlohmann::json userDic) { userDic_ = std::move(userDic); }

    /// Always "_User".
    std::optional<std::string> className() const override { return std::string("_User"); }
    /// Ignored: the class of a user is always "_User".
    void setClassName(std::optional<std::string>) override {}

    // Sign-up and log-in.
    /// Signs up; reports nothing.
    void signUpInBackground();
    /// Signs up with the user name and password set (missing: 20000 or 20001 at once); on success the session token and
    /// the archive are stored and the identity follows the reply. `block` runs on the main loop with 20002, 20010 or
    /// the service's code and message.
    void signUpInBackgroundWithBlock(VornBooleanResultBlock block);
    /// The same; `block` runs only when `callback` is true.
    void signUpInBackgroundWithBlock(VornBooleanResultBlock block, bool callback);
    /// Logs in; reports nothing.
    static void loginInBackgroundWithUsername(const std::string& username, const std::string& password);
    /// The same as `loginInBackgroundWithUsername`.
    static void logInWithUsernameInBackground(const std::string& username, const std::string& password);
    /// Logs in (empty name: 20001, empty password: 20000, at once); on success the session token and the archive are
    /// stored. `block` runs on the main loop with the new current user, or 20002, 20010 or the service's code and
    /// message.
    static void logInWithUsernameInBackground(const std::string& username, const std::string& password,
                                              VornUserResultBlock block);
    /// The same; `block` runs only when `callback` is true.
    static void logInWithUsernameInBackground(const std::string& username, const std::string& password,
                                              VornUserResultBlock block, bool callback);

    /// The current user, read afresh from the archive; empty when logged out.
    static std::shared_ptr<VornUser> getCurrentObject();
    /// The same as `getCurrentObject()`.
    static std::shared_ptr<VornUser> getCurrentUser() { return getCurrentObject(); }
    /// Logs out: the archive and the stored session token are removed.
    static void logout();
    /// The path of the current user's archive.
    static std::filesystem::path currentUserFilePath();

    // Writes. A user record is created only by sign-up: saving does nothing.
    void saveInBackground() override {}
    /// Does nothing: a user is created only by sign-up.
    void saveInBackgroundWithResultBlock(VornBooleanResultBlock) override {}
    /// Does nothing: a user is created only by sign-up.
    void saveInBackgroundWithResultBlock(VornBooleanResultBlock, bool) override {}
    void updateInBackground() override;
    /// Sends the changed fields (see `updateWithDictionary`); without an identifier `block` gets 20003 at once. `block`
    /// runs on the main loop with 20002, 20010 or the service's code and message.
    void updateInBackgroundWithResultBlock(VornBooleanResultBlock block) override;
    /// The same, without the identifier check; `block` runs only when `callback` is true.
    void updateInBackgroundWithResultBlock(VornBooleanResultBlock block, bool callback) override;
    /// Sends the fields of `dictionary` that differ from the archive, then
    /// brings the archive up to date.
    void updateWithDictionary(const nlohmann::json& dictionary, VornBooleanResultBlock block, bool needCallback);
    void deleteInBackground() override;
    /// Deletes the user on the service; without an identifier `block` gets 20003 at once. `block` runs on the main loop
    /// with 20002, 20010 or the service's code and message.
    void deleteInBackgroundWithBlock(VornBooleanResultBlock block) override;
    /// The same, without the identifier check; `block` runs only when `callback` is true.
    void deleteInBackgroundWithBlock(VornBooleanResultBlock block, bool callback) override;

    // E-mail verification and password reset.
    /// Type 1 asks for a verification mail, type 0 for a reset mail; other
    /// types send nothing. Nothing is reported back.
    static void requestWithEmail(const std::string& email, int type);
    /// Asks the service to send a verification mail to the address; nothing is reported back.
    void verifyEmailInBackgroundWithEmailAddress(const std::string& email);
    /// Asks the service to send a password reset mail to the address; nothing is reported back.
    static void requestPasswordResetInBackgroundWithEmail(const std::string& email);
    /// Asks the service to send a reset code to the phone (empty number: 20019 at once). `block` runs on the main loop:
    /// 20002, the parser's error (3840), the service's code and message, or 20010 for a failure without a result.
    static void requestPasswordResetInBackgroundWithPhoneNumber(const std::string& phoneNumber,
                                                                VornBooleanResultBlock block);
    /// Sets a new password with the code sent to the phone (any value empty: 20019 at once). `block` runs on the main
    /// loop with the same errors as `requestPasswordResetInBackgroundWithPhoneNumber`.
    static void resetPasswordInBackgroundWithPhoneNumber(const std::string& phoneNumber, const std::string& code,
                                                         const std::string& newPassword, VornBooleanResultBlock block);
    /// Whether the user's address is verified, asking the service unless
    /// the user already says so.
    void userEmailVerified(VornBooleanResultBlock block);

    // External accounts. The author dictionary holds "access_token", "uid"
    // and "expirationDate" (a date).
    /// Logs in with an external account, signing up when it is new (incomplete dictionary: 20020, expiration not a
    /// date: 20021, at once). `block` runs on the main loop as for a password log-in.
    static void signUpInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                       VornUserResultBlock block);
    /// The same as `signUpInBackgroundWithAuthorDictionary`.
    static void loginInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                      VornUserResultBlock block);
    /// Links an external account to this user by an update (no identifier: 20003; bad dictionary: 20020 or 20021, at
    /// once). `block` runs on the main loop as for an update.
    void linkedInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                VornBooleanResultBlock block);
    /// Unlinks the platform's account by an update (no identifier: 20003 at once). `block` runs on the main loop as for
    /// an update.
    void cancleLinkedInBackgroundWithPlatform(int platform, VornBooleanResultBlock block);

    /// The platform's "authData" key.
    static std::string platformKey(int platform);
    /// The "authData" entry for an author dictionary, or the error 20020 or 20021.
    static std::variant<nlohmann::json, VornError> authEntry(const VornValueMap& authorDictionary, int platform);

    /// Takes a log-in reply: stores the token and the archive and reports
    /// the new current user, or reports the error (when a block is given).
    static void logInFromReply(const VornServiceReply& reply, const VornUserResultBlock& block);

    /// A user made from the service's (or the archive's) map of fields.
    static std::shared_ptr<VornUser> userFromFields(nlohmann::json fields, bool idFirst = false);

private:
    std::string myUsername_;
    std::string myPassword_;
    nlohmann::json userDic_ = nlohmann::json::object();
};

}  // namespace vorn
