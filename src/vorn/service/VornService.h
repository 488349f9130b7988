#pragma once

#include "vorn/core/VornError.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn {

class VornUrlRequest;

/// The SDK version sent in every envelope.
inline constexpr const char* kVornSDKVersion = "v1.4.9";

/// Which base address a call is sent to.
enum class VornServiceBase {
    Api,   ///< the API host chosen now (primary or fallback)
    File,  ///< the file host
};

/// One service call: the path after the base, the envelope's keys and
/// whether the session token is presented. "c", "objectId" and "data" are
/// left out of the envelope when empty and sent as JSON null when they hold
/// null.
struct VornServiceCall {
    /// The path after the base address ("create", "find", ...).
    std::string path;
    /// Which base address the call goes to.
    VornServiceBase base = VornServiceBase::Api;
    /// The envelope's "c": the class name.
    std::optional<nlohmann::json> c;
    /// The envelope's "objectId".
    std::optional<nlohmann::json> objectId;
    /// The envelope's "data".
    std::optional<nlohmann::json> data;
    /// Further top-level keys of the envelope.
    nlohmann::json extra = nlohmann::json::object();
    /// Whether the stored session token is presented.
    bool sendSessionToken = false;

    /// The envelope, built fresh: "client" (which starts the position
    /// service), "data", "v", "c", "objectId", then the extra keys.
    nlohmann::json envelope() const;
};

/// A reply judged by the service's reply rule.
struct VornServiceReply {  // NOLINT(bugprone-exception-escape): only allocation can fail in its members
    /// How the reply was judged.
    enum class Status {
        TransportFailed,  ///< no reply at all
        NotParsed,        ///< empty, or not a JSON object
        ServiceError,     ///< "result"."code" other than 200
        Success,          ///< code 200
    };

    /// The judgment of the reply.
    Status status = Status::NotParsed;
    /// "result"."code" (0 when the reply has none).
    int code = 0;
    /// "result"."message", when the reply has one.
    std::optional<std::string> message;
    /// The whole parsed reply (null when it did not parse).
    nlohmann::json body;
    /// The reply's bytes as received.
    std::string text;

    /// Applies the reply rule to the bytes of a reply.
    static VornServiceReply parse(std::string_view bytes);
    /// The reply of a call that got no reply at all.
    static VornServiceReply transportFailure();

    /// Whether the service answered with code 200.
    bool succeeded() const { return status == Status::Success; }
    /// Whether the reply was a JSON object (a success or a service error).
    bool parsed() const { return status == Status::Success || status == Status::ServiceError; }
    /// The reply's "data" when it holds something other than null.
    const nlohmann::json* validData() const;
    /// The JSON parser's own error for a reply that is not a JSON object
    /// (domain "NSCocoaErrorDomain", code 3840), as the calls that report
    /// it pass it on.
    VornError parserError() const;
    /// 20002 for a transport failure, 20010 for an unparsable reply, the
    /// service's code and message for a service error, empty on success.
    OptionalError error() const;
};

using VornServiceHandler = std::function<void(const VornServiceReply& reply)>;

/// The one road of every enveloped service call: build the envelope, choose
/// the address, add the headers, send, and hand the judged reply to the
/// caller on the main loop.
class VornService {
public:
    /// Sends the call asynchronously. On the main loop, once the reply or
    /// the failure is in, the position service is told to stop and then
    /// `handler` (if any) runs. Returns the running request.
    static std::shared_ptr<VornUrlRequest> send(const VornServiceCall& call, VornServiceHandler handler);

    /// Runs a request whose URL, body and headers the caller prepared, the
    /// way `send` runs its own: the position service is stopped when it
    /// ends, then `handler` runs once on the main loop.
    static void run(const std::shared_ptr<VornUrlRequest>& request, VornServiceHandler handler);

    /// Sends the call on the calling thread and returns the judged reply;
    /// `NotParsed` when nothing came back. Leaves the position service
    /// running.
    static VornServiceReply sendSynchronously(const VornServiceCall& call);

    /// Base address + "/" + path ("" base when there is no connection).
    static std::string urlFor(VornServiceBase base, const std::string& path);

    /// Adds the session header (when asked and a token is stored), then
    /// "X-Vorn-App-Key" (when registered) and "Content-Type".
    static void addHeaders(VornUrlRequest& request, bool sendSessionToken);

    /// Pretty-printed JSON text, as every request body is written.
    static std::string bodyText(const nlohmann::json& value);
};

}  // namespace vorn
