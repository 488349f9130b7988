#pragma once
// What a request must show to be served when it may come from a web page
// in the developer's browser. The library never sends "Origin"; a browser
// always does on cross-site writes, so any other origin is another site's
// page (or a DNS-rebinding one) and is refused.

#include <string_view>

#include "vorn_emulator/Router.h"

namespace vorn::emulator {

// Whether an authority ("HOST[:PORT]", "[::1]:PORT") names this machine:
// a loopback address or "localhost". A page on another name that resolves
// to 127.0.0.1 (DNS rebinding) is refused by this.
bool loopbackAuthority(std::string_view authority);

// Whether the request's "Origin", when it has one, is exactly the
// emulator's own as the browser reached it: "http://" followed by the
// request's loopback "Host".
bool ownOrigin(const RequestContext& ctx);

// Service requests (the API, files, cloud functions): in-process ones pass;
// over the network, "Host" must name this machine and any "Origin" must be
// the emulator's own.
bool serviceRequestAllowed(const RequestContext& ctx);

}  // namespace vorn::emulator
