#include "vorn_emulator/Router.h"

#include "BrowserBoundary.h"

#include <boost/beast/core/string.hpp>

#include <algorithm>

#include "TextHelpers.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator {

namespace {

using nlohmann::json;

// Reply bodies never fail to serialise: invalid UTF-8 is replaced.
HttpResponse envelopeResponse(unsigned status, int code, std::string_view message, const json& data = nullptr) {
    HttpResponse response;
    response.status = status;
    response.serviceCode = code;
    response.body = envelopeReplyBody(code, message, data);
    return response;
}

// HTTP status for a service error answered on a raw route.
unsigned rawStatusFor(int code) {
    switch (code) {
        case toInt(ErrorCode::Internal):
            return 500;
        case toInt(ErrorCode::UnknownPath):
        case toInt(ErrorCode::ObjectNotFound):
            return 404;
        case toInt(ErrorCode::InvalidAppKey):
        case toInt(ErrorCode::InvalidSessionToken):
            return 401;
        case toInt(ErrorCode::BodyTooLarge):
            return 413;
        default:
            return 400;
    }
}

std::string quoted(std::string_view key) {
    return "\"" + std::string(key) + "\"";
}

const json kNull = nullptr;

}  // namespace

// ---------------------------------------------------------------- Headers

std::optional<std::string_view> Headers::get(std::string_view name) const {
    for (const auto& [fieldName, value] : fields_) {
        if (boost::beast::iequals(boost::beast::string_view(fieldName.data(), fieldName.size()),
                                  boost::beast::string_view(name.data(), name.size())))
            return std::string_view(value);
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- HttpResponse

HttpResponse HttpResponse::json(unsigned status, const nlohmann::json& body) {
    HttpResponse response;
    response.status = status;
    response.body = compactJson(body);
    return response;
}

std::string envelopeReplyBody(int code, std::string_view message, const json& data) {
    std::string body = R"({"result":{"code":)";
    body += std::to_string(code);
    body += R"(,"message":)";
    body += compactJson(json(message));
    body += R"(},"data":)";
    body += compactJson(data);
    body += '}';
    return body;
}

// ---------------------------------------------------------------- RequestContext

RequestContext::RequestContext(Request& request, Storage& storage) : request_(request), storage_(storage) {
    const std::string_view target = request_.target;
    const auto mark = target.find('?');
    path_ = std::string(target.substr(0, mark));
    if (mark != std::string_view::npos) query_ = std::string(target.substr(mark + 1));
}

std::optional<std::string_view> RequestContext::sessionToken() const {
    auto token = header(kSessionTokenHeader);
    if (!token || token->empty()) return std::nullopt;
    return token;
}

std::string RequestContext::baseUrl() const {
    const std::string origin = std::string(scheme()) + "://";
    if (!request_.localEndpoint.empty()) return origin + request_.localEndpoint;
    if (auto host = header("Host"); host && !host->empty()) return origin + std::string(*host);
    return origin + "127.0.0.1";
}

const json& RequestContext::member(std::string_view key) const {
    if (!envelope_.is_object()) return kNull;
    auto it = envelope_.find(key);
    return it == envelope_.end() ? kNull : *it;
}

const json& RequestContext::require(std::string_view key) const {
    return requireField(envelope_, key, "body");
}

std::string RequestContext::requireString(std::string_view key) const {
    return requireStringField(envelope_, key, "body");
}

const json& RequestContext::requireObject(std::string_view key) const {
    return requireObjectField(envelope_, key, "body");
}

const json& requireField(const json& object, std::string_view key, std::string_view where) {
    if (!object.is_object()) {
        throw ServiceError(ErrorCode::InvalidFieldType, std::string(where) + " must be a JSON object");
    }
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        throw ServiceError(ErrorCode::MissingField,
                           "missing required field " + quoted(key) + " in " + std::string(where));
    }
    return *it;
}

std::string requireStringField(const json& object, std::string_view key, std::string_view where) {
    const json& value = requireField(object, key, where);
    if (!value.is_string()) {
        throw ServiceError(ErrorCode::InvalidFieldType,
                           "field " + quoted(key) + " in " + std::string(where) + " must be a string");
    }
    return value.get<std::string>();
}

const json& requireObjectField(const json& object, std::string_view key, std::string_view where) {
    const json& value = requireField(object, key, where);
    if (!value.is_object()) {
        throw ServiceError(ErrorCode::InvalidFieldType,
                           "field " + quoted(key) + " in " + std::string(where) + " must be an object");
    }
    return value;
}

// ---------------------------------------------------------------- Router

Router::Router(Storage& storage, Options options) : storage_(storage), options_(std::move(options)) {}

void Router::addEnvelope(std::string path, EnvelopeHandler handler) {
    envelopeRoutes_.insert_or_assign(std::move(path), std::move(handler));
}

void Router::addRaw(std::string method, std::string path, RawHandler handler, bool checkAppKey) {
    rawRoutes_.insert_or_assign(Key{std::move(method), std::move(path)}, RawRoute{std::move(handler), checkAppKey});
}

void Router::addRawPrefix(std::string method, std::string prefix, RawHandler handler, bool checkAppKey) {
    Key key{std::move(method), std::move(prefix)};
    std::erase_if(rawPrefixRoutes_, [&](const auto& entry) { return entry.first == key; });
    rawPrefixRoutes_.emplace_back(std::move(key), RawRoute{std::move(handler), checkAppKey});
    std::stable_sort(rawPrefixRoutes_.begin(), rawPrefixRoutes_.end(),
                     [](const auto& a, const auto& b) { return a.first.second.size() > b.first.second.size(); });
}

const Router::RawRoute* Router::findRaw(std::string_view method, std::string_view path) const {
    if (auto it = rawRoutes_.find(Key{std::string(method), std::string(path)}); it != rawRoutes_.end()) {
        return &it->second;
    }
    for (const auto& [key, route] : rawPrefixRoutes_) {
        if (key.first == method && path.starts_with(key.second)) return &route;
    }
    return nullptr;
}

bool Router::hasRoute(std::string_view method, std::string_view path) const {
    if (findRaw(method, path)) return true;
    return method == "POST" && envelopeRoutes_.find(path) != envelopeRoutes_.end();
}

bool Router::appKeyAccepted(const RequestContext& context) const {
    if (options_.appKey.empty()) return true;
    auto key = context.appKey();
    return key && *key == options_.appKey;
}

HttpResponse Router::dispatch(Request& request) {
    try {
        RequestContext context(request, storage_);
        // The admin endpoints and the console keep stricter rules of their own.
        const bool developerPath = context.path().starts_with("/admin") || context.path().starts_with("/console");
        if (!developerPath && !serviceRequestAllowed(context)) {
            return envelopeResponse(403, toInt(ErrorCode::ForeignOrigin),
                                    "refused: the request names another host than localhost or a loopback address, "
                                    "or comes from a web page of another origin");
        }
        if (const RawRoute* raw = findRaw(context.method(), context.path())) return dispatchRaw(context, *raw);
        if (context.method() == "POST") {
            auto it = envelopeRoutes_.find(context.path());
            return dispatchEnvelope(context, it == envelopeRoutes_.end() ? nullptr : &it->second);
        }
        return envelopeResponse(404, toInt(ErrorCode::UnknownPath),
                                "unknown path: " + context.method() + " " + context.path());
    } catch (const std::exception& e) {
        return envelopeResponse(500, toInt(ErrorCode::Internal), std::string("internal error: ") + e.what());
    } catch (...) {
        return envelopeResponse(500, toInt(ErrorCode::Internal), "internal error");
    }
}

HttpResponse Router::dispatchEnvelope(RequestContext& context, const EnvelopeHandler* handler) {
    try {
        if (!appKeyAccepted(context)) {
            throw ServiceError(ErrorCode::InvalidAppKey, context.appKey() ? "invalid application key"
                                                                          : "invalid application key: missing " +
                                                                                std::string(kAppKeyHeader) + " header");
        }
        if (handler == nullptr) {
            throw ServiceError(ErrorCode::UnknownPath, "unknown path: POST " + context.path());
        }
        json envelope = json::parse(context.body(), nullptr, /*allow_exceptions=*/false);
        if (envelope.is_discarded()) {
            throw ServiceError(ErrorCode::InvalidJson, context.body().empty()
                                                           ? "invalid JSON body: the body is empty"
                                                           : "invalid JSON body: the body does not parse as JSON");
        }
        if (!envelope.is_object()) {
            throw ServiceError(ErrorCode::InvalidJson,
                               std::string("invalid JSON body: expected an object, got ") + envelope.type_name());
        }
        context.setEnvelope(std::move(envelope));
        const json data = (*handler)(context);
        return envelopeResponse(200, 200, "ok", data);
    } catch (const ServiceError& e) {
        return envelopeResponse(200, e.code(), e.what());
    } catch (const std::exception& e) {
        return envelopeResponse(200, toInt(ErrorCode::Internal), std::string("internal error: ") + e.what());
    } catch (...) {
        return envelopeResponse(200, toInt(ErrorCode::Internal), "internal error");
    }
}

HttpResponse Router::dispatchRaw(RequestContext& context, const RawRoute& route) {
    try {
        if (route.checkAppKey && !appKeyAccepted(context)) {
            throw ServiceError(ErrorCode::InvalidAppKey);
        }
        return route.handler(context);
    } catch (const ServiceError& e) {
        return envelopeResponse(rawStatusFor(e.code()), e.code(), e.what());
    } catch (const std::exception& e) {
        return envelopeResponse(500, toInt(ErrorCode::Internal), std::string("internal error: ") + e.what());
    } catch (...) {
        return envelopeResponse(500, toInt(ErrorCode::Internal), "internal error");
    }
}

}  // namespace vorn::emulator
