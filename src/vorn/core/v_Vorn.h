#pragma once

#include <string>

namespace vorn {

/// Performs the registration of the application key.
class v_Vorn {
public:
    /// Writes the file download base, the encoded application key and, when
    /// absent, the position switch (on) to the key-value store.
    static void registWithAppKey(const std::string& appKey);
};

}  // namespace vorn
