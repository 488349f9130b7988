#pragma once

// Request routing. Two kinds of handlers:
//  - envelope handlers for the service API ("/7/..."): POST with a JSON
//    envelope body; they return the reply's "data" or throw ServiceError, and
//    the router writes {"result": {"code", "message"}, "data"} around it;
//  - raw handlers ("/1/endpoint", file downloads) that build the whole HTTP
//    response themselves. Raw GET routes may match a path prefix.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "vorn_emulator/ErrorCodes.h"
#include "vorn_emulator/ServiceError.h"

namespace vorn::emulator {

class Storage;

inline constexpr std::string_view kAppKeyHeader = "X-Vorn-App-Key";
inline constexpr std::string_view kSessionTokenHeader = "X-Vorn-Session-Token";

// Request header fields in arrival order, looked up case-insensitively.
class Headers {
public:
    void add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }
    // The first field with this name, if any.
    std::optional<std::string_view> get(std::string_view name) const;
    bool has(std::string_view name) const { return get(name).has_value(); }
    const std::vector<std::pair<std::string, std::string>>& all() const { return fields_; }

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// A request as the router sees it, independent of the HTTP library.
struct Request {
    std::string method;  // "GET", "POST", ...
    std::string target;  // as sent: path plus optional "?query"
    Headers headers;
    std::string body;
    // The connection's ends: "ADDRESS:PORT" it was accepted on ("[::1]:8470"
    // for IPv6) and the peer's address. Empty when dispatched in-process.
    std::string localEndpoint;
    std::string remoteAddress;
    bool secure = false;  // it came over TLS
};

// A complete HTTP response.
struct HttpResponse {
    unsigned status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra header fields
    // The service result code of an envelope reply (200 on success); 0 for raw
    // replies. Used for logging.
    int serviceCode = 0;

    // A response made later, off the server thread (a cloud function runs for
    // a while): when set, the connection calls it once with a Responder and
    // answers with what that is given. The Responder may be called from any
    // thread, once; the fields above are then ignored.
    using Responder = std::function<void(HttpResponse)>;
    std::function<void(Responder)> deferred;

    static HttpResponse json(unsigned status, const nlohmann::json& body);
};

// What a handler gets for one request.
class RequestContext {
public:
    RequestContext(Request& request, Storage& storage);

    const std::string& method() const { return request_.method; }
    const std::string& path() const { return path_; }
    // The raw query string after '?', without the '?' ("" when absent).
    const std::string& query() const { return query_; }
    const Headers& headers() const { return request_.headers; }
    std::optional<std::string_view> header(std::string_view name) const { return request_.headers.get(name); }
    const std::string& body() const { return request_.body; }
    const std::string& localEndpoint() const { return request_.localEndpoint; }
    // "https" for a request that came over TLS, else "http".
    std::string_view scheme() const { return request_.secure ? "https" : "http"; }
    const std::string& remoteAddress() const { return request_.remoteAddress; }
    // "http://ADDRESS:PORT" of this server as the client reached it, for links
    // in mails (the Host header, or 127.0.0.1, when dispatched in-process).
    std::string baseUrl() const;

    std::optional<std::string_view> appKey() const { return header(kAppKeyHeader); }
    std::optional<std::string_view> sessionToken() const;  // absent or empty header: nullopt

    Storage& storage() const { return storage_; }

    // The parsed envelope (a JSON object) of an envelope request; null for raw ones.
    const nlohmann::json& envelope() const { return envelope_; }
    // Envelope members that most calls carry; null when absent.
    const nlohmann::json& data() const { return member("data"); }
    const nlohmann::json& member(std::string_view key) const;

    // Required envelope members: throw ServiceError MissingField when absent or
    // null, InvalidFieldType when of another type.
    const nlohmann::json& require(std::string_view key) const;
    std::string requireString(std::string_view key) const;
    const nlohmann::json& requireObject(std::string_view key) const;

    void setEnvelope(nlohmann::json envelope) { envelope_ = std::move(envelope); }

private:
    Request& request_;
    Storage& storage_;
    std::string path_;
    std::string query_;
    nlohmann::json envelope_;
};

// Field helpers for any JSON object (envelope, "data", nested maps). `where`
// names the object in the error message.
const nlohmann::json& requireField(const nlohmann::json& object, std::string_view key, std::string_view where = "body");
std::string requireStringField(const nlohmann::json& object, std::string_view key, std::string_view where = "body");
const nlohmann::json& requireObjectField(const nlohmann::json& object, std::string_view key,
                                         std::string_view where = "body");

using EnvelopeHandler = std::function<nlohmann::json(RequestContext&)>;
using RawHandler = std::function<HttpResponse(RequestContext&)>;

// The reply body of an envelope call: {"result": {"code", "message"}, "data"},
// with "result" first. Invalid UTF-8 in strings is replaced, never thrown on.
std::string envelopeReplyBody(int code, std::string_view message, const nlohmann::json& data = nullptr);

class Router {
public:
    struct Options {
        std::string appKey;  // empty: any key (or none) is accepted
    };

    Router(Storage& storage, Options options);

    // POST path -> envelope handler. Replaces an earlier handler of that path.
    void addEnvelope(std::string path, EnvelopeHandler handler);

    // method + exact path -> raw handler. When checkAppKey is set, a request
    // with a missing or wrong app key gets HTTP 401 with an envelope error.
    void addRaw(std::string method, std::string path, RawHandler handler, bool checkAppKey = true);

    // method + path prefix -> raw handler (e.g. "GET", "/files/"). The longest
    // matching prefix wins; exact routes win over prefixes.
    void addRawPrefix(std::string method, std::string prefix, RawHandler handler, bool checkAppKey = false);

    bool hasRoute(std::string_view method, std::string_view path) const;

    // Handles one request. Never throws: every failure becomes a response.
    HttpResponse dispatch(Request& request);

    const Options& options() const { return options_; }

private:
    struct RawRoute {
        RawHandler handler;
        bool checkAppKey;
    };
    using Key = std::pair<std::string, std::string>;  // method, path

    bool appKeyAccepted(const RequestContext& context) const;
    HttpResponse dispatchEnvelope(RequestContext& context, const EnvelopeHandler* handler);
    HttpResponse dispatchRaw(RequestContext& context, const RawRoute& route);
    const RawRoute* findRaw(std::string_view method, std::string_view path) const;

    Storage& storage_;
    Options options_;
    std::map<std::string, EnvelopeHandler, std::less<>> envelopeRoutes_;
    std::map<Key, RawRoute> rawRoutes_;
    std::vector<std::pair<Key, RawRoute>> rawPrefixRoutes_;  // longest prefix first
};

}  // namespace vorn::emulator
