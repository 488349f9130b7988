#pragma once

#include <stdexcept>
#include <string>

#include "vorn_emulator/ErrorCodes.h"

namespace vorn::emulator {

// Thrown by handlers to answer with a service error. The router turns it into
// {"result": {"code": code, "message": message}, "data": null}.
class ServiceError : public std::runtime_error {
public:
    ServiceError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}

    // An empty message takes the code's default message from kErrorCodes.
    explicit ServiceError(ErrorCode code, const std::string& message = {})
        : std::runtime_error(message.empty() ? std::string(defaultMessage(code)) : message), code_(toInt(code)) {}

    int code() const noexcept { return code_; }
    std::string message() const { return what(); }

private:
    int code_;
};

}  // namespace vorn::emulator
