// Developer endpoints, for tests and people at the keyboard (no application
// key; refused with HTTP 403 to peers that are not on a loopback address):
//   GET    /admin/outbox   the outbox as a JSON array, oldest first (see vorn_emulator/Accounts.h)
//   DELETE /admin/outbox   empties it; answers {"deleted": N}

#include <boost/asio/ip/address.hpp>

#include "handlers/Handlers.h"
#include "vorn_emulator/Accounts.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

// In-process requests have no peer and pass.
bool fromLoopback(const RequestContext& ctx) {
  if (ctx.remoteAddress().empty()) return true;
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(ctx.remoteAddress(), ec);
  return !ec && address.is_loopback();
}

HttpResponse forbidden() {
  return HttpResponse::json(403, json{{"error", "the admin endpoints answer loopback peers only"}});
}

}  // namespace

void registerAdminHandlers(Router& router) {
  router.addRaw(
      "GET", "/admin/outbox",
      [](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        json entries = json::array();
        for (auto& entry : outbox(ctx.storage())) entries.push_back(std::move(entry));
        return HttpResponse::json(200, entries);
      },
      /*checkAppKey=*/false);
  router.addRaw(
      "DELETE", "/admin/outbox",
      [](RequestContext& ctx) {
        if (!fromLoopback(ctx)) return forbidden();
        return HttpResponse::json(200, json{{"deleted", clearOutbox(ctx.storage())}});
      },
      /*checkAppKey=*/false);
}

}  // namespace vorn::emulator
