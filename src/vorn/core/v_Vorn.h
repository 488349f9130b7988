#pragma once

#include <string>

namespace vorn {

/// Posted (on the registering thread, without an object) after each
/// registration: parts of the library that wait for one (the journal of
/// eventual writes) start then.
inline constexpr const char* kVornDidRegisterNotification = "VornDidRegisterNotification";

/// Performs the registration of the application key.
class v_Vorn {
public:
    /// Writes the file download base, the encoded application key and, when
    /// absent, the position switch (on) to the key-value store, then posts
    /// `kVornDidRegisterNotification`.
    static void registWithAppKey(const std::string& appKey);
};

}  // namespace vorn
