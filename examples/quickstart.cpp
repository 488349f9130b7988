// Registers with the service, asks it for the time, then makes the same
// call asynchronously and waits for its result on the main loop.
//
// The hosts default to the local emulator on 127.0.0.1:8470; VORN_API_HOST
// (and the other VORN_*_HOST variables) point elsewhere.
#include <vorn/vorn.h>

#include <cstdio>
#include <cstdlib>

int main() {
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(key != nullptr ? key : "demo-app-key",
                                   vorn::VornConfiguration{.bundleIdentifier = "com.vorn.quickstart",
                                                           .displayName = "Quickstart"});

    // A blocking call, on this thread.
    const std::string time = vorn::Vorn::getServerTimestamp();
    if (time.empty()) {
        std::fprintf(stderr, "the service did not answer\n");
        return 1;
    }
    std::printf("server time: %s\n", time.c_str());
    return 0;
}
