#pragma once

// The console's files (emulator/console in the source tree), built into the
// executable so that it serves them wherever it is installed.

#include <string_view>

namespace vorn::emulator {

struct ConsoleAsset {
    std::string_view name;  // "index.html", "console.js", ...
    std::string_view contentType;
    std::string_view body;
};

// The file of that name, or null.
const ConsoleAsset* findConsoleAsset(std::string_view name);

}  // namespace vorn::emulator
