#pragma once

#include "vorn/core/VornError.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vorn {

class VornObject;

/// Posted when a write kept by `saveEventually` or `deleteEventually`
/// was answered but its block is gone (the process restarted in between),
/// and for each journal record the library could not read. The
/// notification's object is a `VornEventuallyOutcome`. It is posted on the
/// main loop.
inline constexpr const char* kVornEventuallyDidFinishNotification = "VornEventuallyDidFinishNotification";

/// What became of an eventual write whose block could not be called.
struct VornEventuallyOutcome {
    /// "create", "update" or "delete" ("" for an unreadable record).
    std::string operation;
    /// The object's class.
    std::string className;
    /// The object's identifier: the service's for a create that landed.
    std::optional<std::string> objectId;
    /// Empty when the service took the write; else the service's error,
    /// `kVornErrorNoneObjectId` when the create it waited for failed, or
    /// `kVornErrorEventuallyUnreadable`.
    OptionalError error;
};

/// One write to keep: what the service call will carry.
struct VornEventualWrite {  // NOLINT(bugprone-exception-escape): only allocation can fail in its members
    /// "create", "update" or "delete".
    std::string operation;
    /// The object's class.
    std::string className;
    /// The object's identifier, when it has one.
    std::optional<std::string> objectId;
    /// The identifier the library gave an object journaled before it had
    /// one: later writes of that object name it, and the create's reply
    /// resolves it.
    std::optional<std::string> localId;
    /// The call's "data" (null for a delete). Operators stay operators.
    nlohmann::json data;
    /// Whether the session token is presented.
    bool sendSessionToken = false;
};

/// The journal of eventual writes and its replay, one per process.
///
/// Each write is appended to "eventually.journal" in the data directory,
/// and flushed to disk, before `VornObject::saveEventually` returns. The
/// records go to the service one at a time, in journal order: at
/// registration, when the kernel reports a route back, and after a
/// transport failure on a backoff timer (1 s, doubling up to 60 s). A
/// transport failure or a reply that is no JSON keeps the record; an answer
/// of the service (success or its error) ends it: a record of its end is
/// appended, and the block runs on the main loop. A record answered after a
/// restart posts `kVornEventuallyDidFinishNotification` instead.
///
/// The end of a record is written without waiting for the disk: it survives
/// the process being killed. A record is sent again only when the process
/// ends after the service took it and before its end was written, or the
/// machine loses power before that write reached the disk: the one write
/// that can then be applied twice. Nothing else is ever sent twice. Thread-safe; replies are handled
/// on the main loop.
class VornEventually {
public:
    /// The most bytes the waiting records take in the journal; past it
    /// `saveEventually` fails at once with `kVornErrorEventuallyJournalFull`.
    static constexpr std::size_t kMaxJournalBytes = std::size_t{8} * 1024 * 1024;

    /// The one journal of the process.
    static VornEventually& shared();

    /// Appends the write (reading the journal first when it is not loaded)
    /// and starts the replay. Empty on success; `kVornErrorEventuallyJournalFull`
    /// when it does not fit or cannot be written. `block` (may be empty) runs
    /// on the main loop once the service answered; `object` (may be empty) is
    /// given the identity and times of the reply.
    OptionalError enqueue(VornEventualWrite write, std::weak_ptr<VornObject> object, VornBooleanResultBlock block);

    /// Reads the journal of the current data directory when another one (or
    /// none) is loaded, then sends what waits. Registration calls it.
    void start();
    /// Sends the next record now, if none is on its way (the backoff starts over).
    void replayNow();

    /// Records not answered yet.
    std::size_t pendingCount();
    /// Drops every waiting record (their blocks run with
    /// `kVornErrorEventuallyCleared`); a record on its way may still land.
    void clear();

    /// The first and the longest wait after a transport failure.
    void setRetryDelays(std::chrono::milliseconds first, std::chrono::milliseconds longest);

    /// For tests: forgets everything held in memory (blocks included), as a
    /// restart would; the journal is read again by the next call.
    void forgetForTesting();

private:
    VornEventually();
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vorn
