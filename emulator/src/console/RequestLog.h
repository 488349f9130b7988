#pragma once

// The most recent requests the server answered, for the console's live
// request log. Thread-safe; the oldest entries give way beyond the capacity.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace vorn::emulator {

// Cuts text to at most `max` bytes on a character boundary, marking the cut
// with "..." (so the result stays valid UTF-8 when the text was).
void cutText(std::string& text, std::size_t max);

struct RequestLogEntry {
    std::uint64_t seq = 0;    // set by record(): 1, 2, 3, ... in the order recorded
    std::int64_t atMs = 0;    // epoch milliseconds of the answer
    std::string method;       // "POST"
    std::string target;       // path and query, cut at kMaxTarget bytes
    unsigned status = 0;      // HTTP status; 0 when the connection was dropped instead
    int code = 0;             // the service result code of an envelope reply, else the status
    std::int64_t micros = 0;  // from the request's first byte to the answer
    std::string fault;        // the injected fault's mode, or ""
    std::string remote;       // the peer's address ("" in-process)
    // What the call was, from its envelope (see summarize()); nothing secret.
    std::string className;                          // "c", or ""
    std::string objectId;                           // "objectId", or ""
    nlohmann::json where;                           // data's "where" map with secret values redacted, or null
    nlohmann::json keys = nlohmann::json::array();  // the names of data's members, sorted
    bool signedIn = false;                          // whether it carried a session token (never the token)
    std::size_t replyBytes = 0;                     // the size of the reply's body
};

// The text that stands for a value left out of the log.
inline constexpr const char* kRedacted = "(redacted)";

// Fills the what-it-was members of entry from a request: the class, object
// id, where map and the names of the members of "data" of an envelope body
// (no value of data is kept: passwords and file bytes travel there), and the
// target with the values of query parameters that look secret (token, key,
// password, session, auth) redacted. In the where map the values of
// "password", "sessionToken" and "authData" members are redacted at any
// depth. sessionHeader: whether the session token header was present.
void summarize(RequestLogEntry& entry, std::string_view body, bool sessionHeader);

class RequestLog {
public:
    static constexpr std::size_t kCapacity = 1000;
    static constexpr std::size_t kMaxTarget = 512;

    // Whether requests to this path are left out: the console's own
    // pages and the admin endpoints it polls would drown the rest.
    static bool ignored(std::string_view target);

    void record(RequestLogEntry entry);
    // The entries after `afterSeq`, oldest first, at most `max` (the newest
    // ones when there are more): {"last": seq of the newest entry, "entries": [...]}.
    nlohmann::json since(std::uint64_t afterSeq, std::size_t max) const;

private:
    mutable std::mutex mutex_;
    std::deque<RequestLogEntry> entries_;
    std::uint64_t lastSeq_ = 0;
};

}  // namespace vorn::emulator
