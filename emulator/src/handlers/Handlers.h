#pragma once

namespace vorn::emulator {

class Router;

// Registers every built-in route of the emulator.
void registerBuiltinHandlers(Router& router);

// One function per group of routes.
void registerTimestampHandlers(Router& router);
void registerObjectHandlers(Router& router);  // /7/create, /7/update, /7/delete
void registerBatchHandlers(Router& router);   // /7/batch
void registerFindHandlers(Router& router);    // /7/find
void registerUserHandlers(Router& router);    // /7/signup, /7/login, ... (Users.cpp)
void registerAccountPages(Router& router);    // GET /verify, GET and POST /reset
void registerAdminHandlers(Router& router);   // GET and DELETE /admin/outbox

}  // namespace vorn::emulator
