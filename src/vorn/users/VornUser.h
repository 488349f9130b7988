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
    static std::shared_ptr<VornUser> init();
    static std::shared_ptr<VornUser> initWithClassName(const std::string& ignored);
    static std::shared_ptr<VornUser> objectWithClassName(const std::string& ignored);
    static std::shared_ptr<VornUser> objectWithoutDatatWithClassName(const std::string& ignored,
                                                                     const std::string& objectId);
    /// A query of the "_User" class.
    static std::shared_ptr<VornQuery> query();

    explicit VornUser(Passkey);

    void setUserName(const std::string& userName);
    void setPassword(const std::string& password);
    void setEmail(const std::string& email);
    const std::string& myUsername() const { return myUsername_; }
    const std::string& myPassword() const { return myPassword_; }
    /// The user's fields as last received or read from the archive.
    nlohmann::json& userDic() { return userDic_; }
    void setUserDic(nlohmann::json userDic) { userDic_ = std::move(userDic); }

    std::optional<std::string> className() const override { return std::string("_User"); }
    void setClassName(std::optional<std::string>) override {}

    // Sign-up and log-in.
    void signUpInBackground();
    void signUpInBackgroundWithBlock(VornBooleanResultBlock block);
    void signUpInBackgroundWithBlock(VornBooleanResultBlock block, bool callback);
    static void loginInBackgroundWithUsername(const std::string& username, const std::string& password);
    static void logInWithUsernameInBackground(const std::string& username, const std::string& password);
    static void logInWithUsernameInBackground(const std::string& username, const std::string& password,
                                              VornUserResultBlock block);
    static void logInWithUsernameInBackground(const std::string& username, const std::string& password,
                                              VornUserResultBlock block, bool callback);

    /// The current user, read afresh from the archive; empty when logged out.
    static std::shared_ptr<VornUser> getCurrentObject();
    static std::shared_ptr<VornUser> getCurrentUser() { return getCurrentObject(); }
    /// Logs out: the archive and the stored session token are removed.
    static void logout();
    static std::filesystem::path currentUserFilePath();

    // Writes. A user record is created only by sign-up: saving does nothing.
    void saveInBackground() override {}
    void saveInBackgroundWithResultBlock(VornBooleanResultBlock) override {}
    void saveInBackgroundWithResultBlock(VornBooleanResultBlock, bool) override {}
    void updateInBackground() override;
    void updateInBackgroundWithResultBlock(VornBooleanResultBlock block) override;
    void updateInBackgroundWithResultBlock(VornBooleanResultBlock block, bool callback) override;
    /// Sends the fields of `dictionary` that differ from the archive, then
    /// brings the archive up to date.
    void updateWithDictionary(const nlohmann::json& dictionary, VornBooleanResultBlock block, bool needCallback);
    void deleteInBackground() override;
    void deleteInBackgroundWithBlock(VornBooleanResultBlock block) override;
    void deleteInBackgroundWithBlock(VornBooleanResultBlock block, bool callback) override;

    // E-mail verification and password reset.
    /// Type 1 asks for a verification mail, type 0 for a reset mail; other
    /// types send nothing. Nothing is reported back.
    static void requestWithEmail(const std::string& email, int type);
    void verifyEmailInBackgroundWithEmailAddress(const std::string& email);
    static void requestPasswordResetInBackgroundWithEmail(const std::string& email);
    static void requestPasswordResetInBackgroundWithPhoneNumber(const std::string& phoneNumber,
                                                                VornBooleanResultBlock block);
    static void resetPasswordInBackgroundWithPhoneNumber(const std::string& phoneNumber, const std::string& code,
                                                         const std::string& newPassword, VornBooleanResultBlock block);
    /// Whether the user's address is verified, asking the service unless
    /// the user already says so.
    void userEmailVerified(VornBooleanResultBlock block);

    // External accounts. The author dictionary holds "access_token", "uid"
    // and "expirationDate" (a date).
    static void signUpInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                       VornUserResultBlock block);
    static void loginInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                      VornUserResultBlock block);
    void linkedInBackgroundWithAuthorDictionary(const VornValueMap& authorDictionary, int platform,
                                                VornBooleanResultBlock block);
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
