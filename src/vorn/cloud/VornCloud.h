#pragma once

#include "vorn/core/VornError.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace vorn {

/// What a cloud function answered: the parsed JSON object, or the reply's
/// text when it is not a JSON object.
using VornCloudResult = std::variant<nlohmann::json, std::string>;
/// Exactly one of the two is set.
using VornCloudResultBlock =
    std::function<void(const std::optional<VornCloudResult>& result, const OptionalError& error)>;

/// Calls of the functions the application's developer deployed on the
/// service's cloud host. The body is the parameter map itself, with the
/// function's name under "_e"; the caller is named by the "a" header (the
/// cloud-call key, which carries the device's position). No state.
class VornCloud {
public:
    VornCloud() = delete;

    /// Calls the function on the calling thread (never waiting on the main
    /// loop) and returns the reply's text unparsed: "" when no reply came,
    /// empty when the name is missing (then nothing is sent).
    static std::optional<std::string> callFunction(const std::optional<std::string>& function,
                                                   const std::optional<nlohmann::json>& parameters);

    /// Calls the function; the result arrives on the main loop: 20013 for a
    /// missing name (nothing sent), the reply's text when it is not a JSON
    /// object, 20006 with the reply's "message" when its "sucess" is false,
    /// the whole object otherwise, 20002 when no reply came.
    static void callFunctionInBackground(const std::optional<std::string>& function,
                                         const std::optional<nlohmann::json>& parameters, VornCloudResultBlock block);

    /// The body of a call: the parameters (a map; anything else counts as
    /// none) with "_e" set to the function name, pretty-printed.
    static std::string bodyOf(const std::string& function, const std::optional<nlohmann::json>& parameters);
};

}  // namespace vorn
