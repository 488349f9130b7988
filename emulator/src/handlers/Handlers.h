#pragma once

namespace vorn::emulator {

class Router;

// Registers every built-in route of the emulator.
void registerBuiltinHandlers(Router& router);

// One function per group of routes.
void registerTimestampHandlers(Router& router);

}  // namespace vorn::emulator
