#pragma once

#include <optional>
#include <string>

namespace vorn {

/// The device identifier sent with every request.
class vkOpenUDID {
public:
    /// 40 lower-case hexadecimal characters, the same on every call; empty
    /// when it cannot be obtained.
    static std::optional<std::string> value();
};

}  // namespace vorn
