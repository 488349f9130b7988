#pragma once

#include <memory>
#include <string>

namespace vorn::emulator {

class ChangeNotices;
class FaultInjector;
class FileService;
class FunctionHost;
class RequestContext;
class RequestLog;
class RealtimeHost;
class Router;
class Storage;
struct HttpResponse;
namespace query {
class ObjectCache;
}

// The admin endpoints answer loopback peers only (in-process requests pass);
// the others get `forbidden()`, HTTP 403 (Admin.cpp).
bool fromLoopback(const RequestContext& ctx);
HttpResponse forbidden();

// Server state that some routes work on, owned by the Server.
struct HandlerServices {
    FileService& files;
    FaultInjector& faults;
    std::shared_ptr<FunctionHost> functions;
    query::ObjectCache& objects;  // parsed objects, shared by every route that reads them
};

// Registers every built-in route of the emulator.
void registerBuiltinHandlers(Router& router, const HandlerServices& services);

// One function per group of routes.
void registerTimestampHandlers(Router& router);
void registerObjectHandlers(Router& router);                                  // /7/create, /7/update, /7/delete
void registerBatchHandlers(Router& router);                                   // /7/batch
void registerFindHandlers(Router& router, query::ObjectCache& objects);       // /7/find
void registerUserHandlers(Router& router);                                    // /7/signup, /7/login, ... (Users.cpp)
void registerAccountPages(Router& router);                                    // GET /verify, GET and POST /reset
void registerAdminHandlers(Router& router, const HandlerServices& services);  // /admin/...
void registerFileHandlers(Router& router, FileService& files);                // /7/files, /7/mkfile, GET /files/...
void registerImageHandlers(Router& router, FileService& files);               // /7/thumbnail, /7/watermark
void registerPushHandlers(Router& router, query::ObjectCache& objects);       // /7/push, /admin/pushes (Push.cpp)
void registerRealtimeAdminHandlers(Router& router, ChangeNotices& notices,
                                   RealtimeHost& host);  // /admin/realtime (RealtimeAdmin.cpp)
void registerCloudHandlers(
    Router& router,
    const std::shared_ptr<FunctionHost>& functions);  // /1/endpoint, /admin/functions (Cloud.cpp)
// The web console's pages under /console and the admin endpoints only it
// uses (Console.cpp).
void registerConsoleHandlers(Router& router, RequestLog& requestLog, query::ObjectCache& objects);

// An "_Installation" that was just created or updated with a "deviceToken"
// takes it away from every other installation that held it (Push.cpp).
void releaseDeviceToken(Storage& storage, const std::string& className, const std::string& objectId);

}  // namespace vorn::emulator
