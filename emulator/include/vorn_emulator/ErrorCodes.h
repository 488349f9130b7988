#pragma once

// Service error codes returned by the emulator in {"result": {"code", "message"}}.
// Codes below 20000 belong to the service; 20000 and up are the client library's.

#include <array>
#include <string_view>

namespace vorn::emulator {

enum class ErrorCode : int {
    Internal = 1,
    UnknownPath = 100,
    ObjectNotFound = 101,
    InvalidJson = 102,
    InvalidAppKey = 103,
    MissingField = 104,
    InvalidFieldType = 105,
    InvalidQuery = 106,
    InvalidDate = 107,
    BodyTooLarge = 108,
    RequestTimeout = 109,
    InvalidOperatorType = 111,
    PermissionDenied = 119,
    InvalidFileName = 122,
    InvalidFileData = 123,
    FileTooLarge = 124,
    PieceTooLarge = 125,
    UploadSessionNotFound = 126,
    UploadOffsetMismatch = 127,
    UploadSizeMismatch = 128,
    TooManyUploadSessions = 129,
    FileNotFound = 130,
    InvalidImageUrl = 131,
    NotAnImage = 132,
    InvalidImageSize = 133,
    ImageTooLarge = 134,
    InvalidImageMode = 135,
    InvalidOutputType = 136,
    ImageProcessingFailed = 137,
    InvalidQuality = 138,
    TooManyBatchOperations = 140,
    InvalidPush = 141,
    InjectedFault = 150,
    ForeignOrigin = 151,
    UsernameTaken = 202,
    EmailTaken = 203,
    EmailNotFound = 205,
    CannotModifyUser = 206,
    AccountAlreadyLinked = 208,
    InvalidSessionToken = 209,
    InvalidCode = 214,
};

struct ErrorCodeInfo {
    ErrorCode code;
    std::string_view name;
    std::string_view message;
};

// Every code the emulator can return, in ascending order. Printed by
// `vorn-emulator --help` and listed in emulator/README.md.
inline constexpr std::array kErrorCodes{
    ErrorCodeInfo{ErrorCode::Internal, "INTERNAL_ERROR", "internal error"},
    ErrorCodeInfo{ErrorCode::UnknownPath, "UNKNOWN_PATH", "unknown path"},
    ErrorCodeInfo{ErrorCode::ObjectNotFound, "OBJECT_NOT_FOUND", "object not found"},
    ErrorCodeInfo{ErrorCode::InvalidJson, "INVALID_JSON", "invalid JSON body: expected a JSON object"},
    ErrorCodeInfo{ErrorCode::InvalidAppKey, "INVALID_APP_KEY", "invalid application key"},
    ErrorCodeInfo{ErrorCode::MissingField, "MISSING_FIELD", "missing required field"},
    ErrorCodeInfo{ErrorCode::InvalidFieldType, "INVALID_FIELD_TYPE", "invalid field type"},
    ErrorCodeInfo{ErrorCode::InvalidQuery, "INVALID_QUERY", "invalid query"},
    ErrorCodeInfo{ErrorCode::InvalidDate, "INVALID_DATE", "invalid date text, expected yyyy-MM-dd HH:mm:ss"},
    ErrorCodeInfo{ErrorCode::BodyTooLarge, "BODY_TOO_LARGE", "request body too large"},
    ErrorCodeInfo{ErrorCode::RequestTimeout, "REQUEST_TIMEOUT", "request not received in time"},
    ErrorCodeInfo{ErrorCode::InvalidOperatorType, "INVALID_OPERATOR_TYPE", "incorrect type for operator"},
    ErrorCodeInfo{ErrorCode::PermissionDenied, "PERMISSION_DENIED", "permission denied"},
    ErrorCodeInfo{ErrorCode::InvalidFileName, "INVALID_FILE_NAME", "invalid file name"},
    ErrorCodeInfo{ErrorCode::InvalidFileData, "INVALID_FILE_DATA", "file data is not valid base64 text"},
    ErrorCodeInfo{ErrorCode::FileTooLarge, "FILE_TOO_LARGE", "file too large: the limit is 10485760 bytes"},
    ErrorCodeInfo{ErrorCode::PieceTooLarge, "PIECE_TOO_LARGE", "upload piece too large: the limit is 262144 bytes"},
    ErrorCodeInfo{ErrorCode::UploadSessionNotFound, "UPLOAD_SESSION_NOT_FOUND", "unknown or expired upload session"},
    ErrorCodeInfo{ErrorCode::UploadOffsetMismatch, "UPLOAD_OFFSET_MISMATCH",
                  "upload offset does not match the bytes received"},
    ErrorCodeInfo{ErrorCode::UploadSizeMismatch, "UPLOAD_SIZE_MISMATCH",
                  "upload does not match the announced file size"},
    ErrorCodeInfo{ErrorCode::TooManyUploadSessions, "TOO_MANY_UPLOAD_SESSIONS", "too many open upload sessions"},
    ErrorCodeInfo{ErrorCode::FileNotFound, "FILE_NOT_FOUND", "file not found"},
    ErrorCodeInfo{ErrorCode::InvalidImageUrl, "INVALID_IMAGE_URL",
                  "image URL must name a file stored on this emulator"},
    ErrorCodeInfo{ErrorCode::NotAnImage, "NOT_AN_IMAGE", "not a PNG, JPEG, WebP or GIF image"},
    ErrorCodeInfo{ErrorCode::InvalidImageSize, "INVALID_IMAGE_SIZE", "invalid image size"},
    ErrorCodeInfo{ErrorCode::ImageTooLarge, "IMAGE_TOO_LARGE", "image too large"},
    ErrorCodeInfo{ErrorCode::InvalidImageMode, "INVALID_IMAGE_MODE", "invalid thumbnail mode"},
    ErrorCodeInfo{ErrorCode::InvalidOutputType, "INVALID_OUTPUT_TYPE", "invalid output type"},
    ErrorCodeInfo{ErrorCode::ImageProcessingFailed, "IMAGE_PROCESSING_FAILED", "image processing failed"},
    ErrorCodeInfo{ErrorCode::InvalidQuality, "INVALID_QUALITY", "invalid quality: expected 1 to 100"},
    ErrorCodeInfo{ErrorCode::TooManyBatchOperations, "TOO_MANY_BATCH_OPERATIONS", "too many batch operations"},
    ErrorCodeInfo{ErrorCode::InvalidPush, "INVALID_PUSH",
                  "invalid push: \"data\", \"channels\" or \"expiration_interval\""},
    ErrorCodeInfo{ErrorCode::InjectedFault, "INJECTED_FAULT", "injected fault"},
    ErrorCodeInfo{ErrorCode::ForeignOrigin, "FOREIGN_ORIGIN",
                  "refused: another host name than localhost or a loopback address, or another origin"},
    ErrorCodeInfo{ErrorCode::UsernameTaken, "USERNAME_TAKEN", "username taken"},
    ErrorCodeInfo{ErrorCode::EmailTaken, "EMAIL_TAKEN", "email taken"},
    ErrorCodeInfo{ErrorCode::EmailNotFound, "EMAIL_NOT_FOUND", "email not found"},
    ErrorCodeInfo{ErrorCode::CannotModifyUser, "CANNOT_MODIFY_USER", "cannot modify another user"},
    ErrorCodeInfo{ErrorCode::AccountAlreadyLinked, "ACCOUNT_ALREADY_LINKED",
                  "external account already linked to another user"},
    ErrorCodeInfo{ErrorCode::InvalidSessionToken, "INVALID_SESSION_TOKEN", "invalid session token"},
    ErrorCodeInfo{ErrorCode::InvalidCode, "INVALID_CODE", "invalid code"},
};

constexpr int toInt(ErrorCode code) noexcept {
    return static_cast<int>(code);
}

// The table entry for a code, or nullptr when the code is not one of ours.
constexpr const ErrorCodeInfo* findErrorCode(int code) noexcept {
    for (const auto& info : kErrorCodes) {
        if (toInt(info.code) == code) return &info;
    }
    return nullptr;
}

constexpr std::string_view defaultMessage(ErrorCode code) noexcept {
    const ErrorCodeInfo* info = findErrorCode(toInt(code));
    return info ? info->message : std::string_view{"error"};
}

}  // namespace vorn::emulator
