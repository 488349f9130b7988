#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vorn {

/// The one error value of the library: a domain, an integer code and a
/// user-info map. Service errors and the library's own errors share
/// `kVornErrorDomain` and carry their text under "error".
struct VornError {
    /// The error domain, normally `kVornErrorDomain`.
    std::string domain;
    /// The error code: a `VornErrorCode` or the service's own code.
    int code = 0;
    /// Extra details; the message is under "error".
    std::map<std::string, std::string> userInfo;

    /// The "error" entry of the user info, or "" when there is none.
    std::string message() const;

    /// Errors are equal when domain, code and user info are equal.
    bool operator==(const VornError&) const = default;
};

/// The error domain of the library and of the service's errors.
inline constexpr const char* kVornErrorDomain = "com.vorn.sdk";

/// Error codes raised by the library itself.
enum VornErrorCode : int {
    kVornErrorNilPassword = 20000,
    kVornErrorNilUsername = 20001,
    kVornErrorConnectFailed = 20002,
    kVornErrorNoneObjectId = 20003,
    kVornErrorNoneObject = 20004,
    kVornErrorExpired = 20005,
    kVornErrorCloudFunctionFailed = 20006,
    kVornErrorNoneFilename = 20008,
    kVornErrorNoneFile = 20009,
    kVornErrorUnknown = 20010,
    kVornErrorNoneFileData = 20011,
    kVornErrorUpdateContentNil = 20012,
    kVornErrorFunctionNameNil = 20013,
    kVornErrorArrayTooBig = 20014,
    kVornErrorNilArray = 20015,
    kVornErrorNilPushContent = 20016,
    kVornErrorFileTooBig = 20017,
    kVornErrorCannotDeleteNow = 20018,
    kVornErrorNilPhoneNumber = 20019,
    kVornErrorLackOfInformation = 20020,
    kVornErrorWrongType = 20021,
    /// `saveEventually` / `deleteEventually`: the journal's records would
    /// pass `VornEventually::kMaxJournalBytes`, or it cannot be written.
    kVornErrorEventuallyJournalFull = 20030,
    /// A journal record the library cannot read (set aside, never sent).
    kVornErrorEventuallyUnreadable = 20031,
    /// The record was dropped by `VornObject::clearEventually`.
    kVornErrorEventuallyCleared = 20032,
};

/// An error is reported as an optional: empty on success.
using OptionalError = std::optional<VornError>;

/// The result callback of most operations: (success, error).
using VornBooleanResultBlock = std::function<void(bool succeeded, const OptionalError& error)>;

}  // namespace vorn
