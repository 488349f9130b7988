#pragma once

#include "vorn/core/DeviceContext.h"

#include <string>

namespace vorn {

/// The entry point of the library.
class Vorn {
public:
    /// Registers the application key. Call it once at start, before any
    /// other call.
    static void registerWithAppKey(const std::string& appKey);
    /// Applies the configuration (identity, data directory, hosts), then
    /// registers the application key.
    static void registerWithAppKey(const std::string& appKey, const VornConfiguration& configuration);
    /// Applies a configuration without registering.
    static void configure(const VornConfiguration& configuration);

    /// The service's current time as the service sends it, or "" on any
    /// failure. Blocks the calling thread; never waits on the main loop.
    static std::string getServerTimestamp();
};

}  // namespace vorn
