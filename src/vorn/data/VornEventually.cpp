#include "vorn/data/VornEventually.h"

#include "vorn/core/DeviceContext.h"
#include "vorn/core/JsonAccess.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/ServiceHost.h"
#include "vorn/core/VornNotificationCenter.h"
#include "vorn/core/vReachability.h"
#include "vorn/core/v_Vorn.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/data/EventuallyJournal.h"
#include "vorn/data/VornObject.h"
#include "vorn/service/VornService.h"

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace vorn {

using nlohmann::json;

namespace {

constexpr const char* kJournalName = "eventually.journal";
// The journal is compacted once it grows past this (finished records and
// their ends add up); it is read back up to three times the limit.
constexpr std::uint64_t kCompactAtBytes = std::uint64_t{2} * VornEventually::kMaxJournalBytes;

bool isOperation(const std::string& operation) {
    return operation == "create" || operation == "update" || operation == "delete";
}

std::optional<std::string> entryText(const json& entry, const char* key) {
    const json* value = jsonutil::member(entry, key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

/// A write entry as the journal holds it, checked; nullopt when it is not one.
std::optional<VornEventualWrite> writeOf(const json& entry) {
    VornEventualWrite write;
    write.operation = entryText(entry, "op").value_or("");
    const auto className = entryText(entry, "class");
    if (!isOperation(write.operation) || !className || className->empty()) return std::nullopt;
    write.className = *className;
    write.objectId = entryText(entry, "objectId");
    write.localId = entryText(entry, "local");
    if (!write.objectId && !write.localId) return std::nullopt;
    if (const json* data = jsonutil::member(entry, "data")) write.data = *data;
    if (write.operation != "delete" && !write.data.is_object()) return std::nullopt;
    const json* token = jsonutil::member(entry, "token");
    write.sendSessionToken = token != nullptr && token->is_boolean() && token->get<bool>();
    return write;
}

json entryOf(std::uint64_t seq, const VornEventualWrite& write) {
    json entry{{"t", "w"}, {"seq", seq}, {"op", write.operation}, {"class", write.className}};
    entry["objectId"] = write.objectId ? json(*write.objectId) : json(nullptr);
    entry["local"] = write.localId ? json(*write.localId) : json(nullptr);
    entry["data"] = write.data;
    entry["token"] = write.sendSessionToken;
    return entry;
}

void postOutcome(VornEventuallyOutcome outcome) {
    VornNotificationCenter::defaultCenter().postNotification(VornNotification{
        kVornEventuallyDidFinishNotification, std::make_shared<VornEventuallyOutcome>(std::move(outcome))});
}

}  // namespace

struct VornEventually::State : std::enable_shared_from_this<State> {
    struct Record {  // NOLINT(bugprone-exception-escape): only allocation can fail in its members
        std::uint64_t seq = 0;
        VornEventualWrite write;
        std::size_t bytes = 0;  // its line in the journal
    };
    struct Waiter {
        VornBooleanResultBlock block;
        std::weak_ptr<VornObject> object;
    };

    std::mutex mutex;
    std::filesystem::path loadedFrom;  // empty: nothing loaded
    std::unique_ptr<EventuallyJournal> journal;
    std::deque<Record> pending;
    std::map<std::string, std::string> objectIds;  // local identifier -> the service's
    std::map<std::uint64_t, Waiter> waiters;
    std::uint64_t nextSeq = 1;
    std::uint64_t pendingBytes = 0;
    std::uint64_t fileBytes = 0;
    std::uint64_t generation = 0;  // a reply of an older generation is ignored
    bool sending = false;
    int failures = 0;
    std::chrono::milliseconds firstDelay{1000};
    std::chrono::milliseconds longestDelay{60000};
    // Main loop only.
    std::unique_ptr<boost::asio::steady_timer> retryTimer;
    std::shared_ptr<vReachability> reachability;
    VornNotificationCenter::Token reachabilityObserver = 0;

    static std::filesystem::path currentJournal() { return DeviceContext::shared().dataDirectory() / kJournalName; }

    void resetLocked() {
        journal.reset();
        loadedFrom.clear();
        pending.clear();
        objectIds.clear();
        waiters.clear();
        nextSeq = 1;
        pendingBytes = fileBytes = 0;
        ++generation;
        sending = false;
        failures = 0;
    }

    // What the journal must keep: the waiting records and the identifiers
    // of creates that landed and that a waiting record names.
    std::vector<json> keptEntriesLocked() const {
        std::vector<json> entries;
        std::set<std::string> named;
        for (const auto& record : pending) {
            if (record.write.localId && !record.write.objectId) named.insert(*record.write.localId);
        }
        for (const auto& identifiers : objectIds) {
            if (!named.contains(identifiers.first)) continue;
            entries.push_back(
                json{{"t", "d"}, {"seq", 0}, {"local", identifiers.first}, {"objectId", identifiers.second}});
        }
        for (const auto& record : pending) entries.push_back(entryOf(record.seq, record.write));
        return entries;
    }

    void compactLocked() {
        const auto entries = keptEntriesLocked();
        if (!journal->rewrite(entries)) return;
        fileBytes = 0;
        for (const auto& entry : entries) fileBytes += EventuallyJournal::lineOf(entry).size();
    }

    // Reads the journal of the current data directory unless it is loaded.
    // Unreadable lines are set aside, and reported on the main loop.
    void ensureLoadedLocked() {
        const auto file = currentJournal();
        if (journal && loadedFrom == file) return;
        resetLocked();
        loadedFrom = file;
        journal = std::make_unique<EventuallyJournal>(file);
        auto contents = journal->read(3 * kCompactAtBytes);
        std::map<std::uint64_t, Record> waiting;
        bool finished = false;
        for (const json& entry : contents.entries) {
            const auto type = entryText(entry, "t").value_or("");
            const json* seqValue = jsonutil::member(entry, "seq");
            const bool hasSeq = seqValue != nullptr && seqValue->is_number_unsigned();
            const std::uint64_t seq = hasSeq ? seqValue->get<std::uint64_t>() : 0;
            nextSeq = std::max(nextSeq, seq + 1);
            if (type == "d" && hasSeq) {
                if (waiting.erase(seq) > 0) finished = true;
                const auto local = entryText(entry, "local");
                const auto objectId = entryText(entry, "objectId");
                if (local && objectId) objectIds[*local] = *objectId;
                continue;
            }
            const auto write = type == "w" && hasSeq && seq > 0 ? writeOf(entry) : std::nullopt;
            if (!write || waiting.contains(seq)) {
                contents.unreadable.push_back(entry.dump());
                continue;
            }
            waiting[seq] = Record{seq, *write, EventuallyJournal::lineOf(entry).size()};
        }
        for (auto& [seq, record] : waiting) {
            pendingBytes += record.bytes;
            pending.push_back(std::move(record));
        }
        if (!contents.unreadable.empty()) {
            MainLoop::shared().post([count = contents.unreadable.size()] {
                for (std::size_t i = 0; i < count; ++i) {
                    postOutcome(VornEventuallyOutcome{"", "", std::nullopt,
                                                      v_VornUtils::vornErrorWithType(kVornErrorEventuallyUnreadable)});
                }
            });
        }
        journal->setAside(contents.unreadable);
        if (finished || contents.tornTail || !contents.unreadable.empty()) {
            compactLocked();
        } else {
            std::error_code ignored;
            fileBytes = std::filesystem::file_size(file, ignored);
        }
    }

    std::chrono::milliseconds delayFor(int failureCount) const {
        auto delay = firstDelay;
        for (int i = 1; i < failureCount && delay < longestDelay; ++i) delay *= 2;
        return std::min(delay, longestDelay);
    }

    // Main loop: watch the route to the API host while records wait.
    void watchRoute() {
        if (reachability) return;
        const ServiceHost api = ServiceHost::parse(DeviceContext::shared().hosts().api);
        reachability = vReachability::reachabilityWithHostName(api.authority);
        if (!reachability) return;
        std::weak_ptr<State> weak = weak_from_this();
        const auto watched = reachability.get();
        reachabilityObserver = VornNotificationCenter::defaultCenter().addObserverForName(
            kReachabilityChangedNotification, [weak, watched](const VornNotification& notification) {
                auto self = weak.lock();
                if (!self || notification.object.get() != static_cast<void*>(watched)) return;
                if (!watched->isReachable()) return;
                self->replayNow();
            });
        reachability->startNotifier();
    }

    void replayNow() {
        {
            std::lock_guard lock(mutex);
            failures = 0;
        }
        if (retryTimer) retryTimer->cancel();
        pump();
    }

    void schedulePump() {
        MainLoop::shared().post([weak = std::weak_ptr<State>(shared_from_this())] {
            if (auto self = weak.lock()) self->pump();
        });
    }

    // Main loop: sends the first waiting record unless one is on its way.
    void pump() {
        VornServiceCall call;
        std::uint64_t seq = 0;
        std::uint64_t sentGeneration = 0;
        {
            std::lock_guard lock(mutex);
            if (sending || pending.empty() || !v_VornUtils::appKey()) return;
            Record& record = pending.front();
            std::optional<std::string> objectId = record.write.objectId;
            if (!objectId && record.write.operation != "create" && record.write.localId) {
                if (auto found = objectIds.find(*record.write.localId); found != objectIds.end()) {
                    objectId = found->second;
                }
            }
            if (!objectId && record.write.operation != "create") {
                // The create it waited for failed: it cannot be sent.
                finishLocked(VornServiceReply{}, v_VornUtils::vornErrorWithType(kVornErrorNoneObjectId));
                schedulePump();
                return;
            }
            call.path = record.write.operation;
            call.c = record.write.className;
            call.objectId = objectId ? json(*objectId) : json(nullptr);
            call.data = record.write.data;
            call.sendSessionToken = record.write.sendSessionToken;
            seq = record.seq;
            sentGeneration = generation;
            sending = true;
        }
        watchRoute();
        std::weak_ptr<State> weak = weak_from_this();
        VornService::send(call, [weak, seq, sentGeneration](const VornServiceReply& reply) {
            if (auto self = weak.lock()) self->answered(seq, sentGeneration, reply);
        });
    }

    // Main loop: the reply to the record `seq`.
    void answered(std::uint64_t seq, std::uint64_t sentGeneration, const VornServiceReply& reply) {
        {
            std::lock_guard lock(mutex);
            if (sentGeneration != generation || pending.empty() || pending.front().seq != seq) return;
            sending = false;
            if (!reply.parsed()) {
                // No answer of the service: the record waits.
                ++failures;
                const auto delay = delayFor(failures);
                if (!retryTimer) retryTimer = std::make_unique<boost::asio::steady_timer>(MainLoop::shared().context());
                retryTimer->expires_after(delay);
                retryTimer->async_wait([weak = std::weak_ptr<State>(shared_from_this())](boost::system::error_code ec) {
                    auto self = weak.lock();
                    if (!ec && self) self->pump();
                });
                return;
            }
            failures = 0;
            finishLocked(reply, reply.error());
        }
        pump();
    }

    // Ends the first waiting record: its end goes to the journal, then its
    // block (or the notification) is posted to the main loop.
    void finishLocked(const VornServiceReply& reply, OptionalError error) {
        Record record = std::move(pending.front());
        pending.pop_front();
        pendingBytes -= record.bytes;
        json end{{"t", "d"}, {"seq", record.seq}};
        std::optional<std::string> objectId = record.write.objectId;
        std::optional<std::string> createdAt;
        std::optional<std::string> updatedAt;
        if (const json* data = reply.succeeded() ? reply.validData() : nullptr; data && data->is_object()) {
            if (record.write.operation == "create") {
                if (auto id = entryText(*data, "objectId")) objectId = id;
                createdAt = entryText(*data, "createdAt");
            }
            updatedAt = entryText(*data, "updatedAt");
        }
        if (!objectId && record.write.localId) {
            if (auto found = objectIds.find(*record.write.localId); found != objectIds.end()) objectId = found->second;
        }
        if (record.write.operation == "create" && !error && objectId && record.write.localId) {
            objectIds[*record.write.localId] = *objectId;
            end["local"] = *record.write.localId;
            end["objectId"] = *objectId;
        }
        // The end is written but not waited for: it survives the process
        // being killed. Should it not reach the disk (power lost, disk
        // full), the record is sent again after a restart.
        if (journal->append(end, false)) fileBytes += EventuallyJournal::lineOf(end).size();
        if (pending.empty()) {
            objectIds.clear();
            compactLocked();
        } else if (fileBytes > kCompactAtBytes) {
            compactLocked();
        }

        Waiter waiter;
        bool known = false;
        if (auto found = waiters.find(record.seq); found != waiters.end()) {
            waiter = std::move(found->second);
            waiters.erase(found);
            known = true;
        }
        MainLoop::shared().post([known, waiter = std::move(waiter), write = std::move(record.write), objectId,
                                 createdAt, updatedAt, error = std::move(error)]() {
            if (!known) {
                postOutcome(VornEventuallyOutcome{write.operation, write.className, objectId, error});
                return;
            }
            if (auto object = waiter.object.lock(); object && !error) {
                if (write.operation == "create" && objectId) object->setObjectId(objectId);
                if (const auto created = createdAt ? v_VornUtils::dateOfString(*createdAt) : std::nullopt) {
                    object->setCreatedAt(created);
                    object->setUpdatedAt(created);
                }
                if (const auto updated = updatedAt ? v_VornUtils::dateOfString(*updatedAt) : std::nullopt) {
                    object->setUpdatedAt(updated);
                }
            }
            if (waiter.block) waiter.block(!error, error);
        });
    }
};

VornEventually& VornEventually::shared() {
    static VornEventually* eventually = new VornEventually();
    return *eventually;
}

VornEventually::VornEventually() : state_(std::make_shared<State>()) {
    // Registration starts the replay; the observer lives as long as the process.
    VornNotificationCenter::defaultCenter().addObserverForName(
        kVornDidRegisterNotification,
        [](const VornNotification&) { MainLoop::shared().post([] { VornEventually::shared().start(); }); });
}

namespace {
// Makes the journal listen for registrations from the start of the process.
[[maybe_unused]] const bool kListensForRegistration = (VornEventually::shared(), true);
}  // namespace

OptionalError VornEventually::enqueue(VornEventualWrite write, std::weak_ptr<VornObject> object,
                                      VornBooleanResultBlock block) {
    OptionalError refused;
    {
        std::lock_guard lock(state_->mutex);
        state_->ensureLoadedLocked();
        const std::uint64_t seq = state_->nextSeq;
        const json entry = entryOf(seq, write);
        const std::size_t bytes = EventuallyJournal::lineOf(entry).size();
        if (state_->pendingBytes + bytes > kMaxJournalBytes || !state_->journal->append(entry)) {
            refused = v_VornUtils::vornErrorWithType(kVornErrorEventuallyJournalFull);
        } else {
            ++state_->nextSeq;
            state_->pendingBytes += bytes;
            state_->fileBytes += bytes;
            state_->pending.push_back(State::Record{seq, std::move(write), bytes});
            state_->waiters[seq] = State::Waiter{std::move(block), std::move(object)};
        }
    }
    MainLoop::shared().post([weak = std::weak_ptr<State>(state_)] {
        if (auto state = weak.lock()) state->pump();
    });
    return refused;
}

void VornEventually::start() {
    {
        std::lock_guard lock(state_->mutex);
        state_->ensureLoadedLocked();
    }
    MainLoop::shared().post([weak = std::weak_ptr<State>(state_)] {
        if (auto state = weak.lock()) state->pump();
    });
}

void VornEventually::replayNow() {
    MainLoop::shared().post([weak = std::weak_ptr<State>(state_)] {
        if (auto state = weak.lock()) state->replayNow();
    });
}

std::size_t VornEventually::pendingCount() {
    std::lock_guard lock(state_->mutex);
    state_->ensureLoadedLocked();
    return state_->pending.size();
}

void VornEventually::clear() {
    std::vector<VornBooleanResultBlock> dropped;
    {
        std::lock_guard lock(state_->mutex);
        state_->ensureLoadedLocked();
        for (auto& [seq, waiter] : state_->waiters) {
            if (waiter.block) dropped.push_back(std::move(waiter.block));
        }
        state_->waiters.clear();
        state_->pending.clear();
        state_->objectIds.clear();
        state_->pendingBytes = 0;
        state_->sending = false;
        ++state_->generation;
        state_->compactLocked();
    }
    MainLoop::shared().post([dropped = std::move(dropped)] {
        const auto error = v_VornUtils::vornErrorWithType(kVornErrorEventuallyCleared);
        for (const auto& block : dropped) block(false, error);
    });
}

void VornEventually::setRetryDelays(std::chrono::milliseconds first, std::chrono::milliseconds longest) {
    std::lock_guard lock(state_->mutex);
    state_->firstDelay = std::max(first, std::chrono::milliseconds(1));
    state_->longestDelay = std::max(longest, state_->firstDelay);
}

void VornEventually::forgetForTesting() {
    std::lock_guard lock(state_->mutex);
    state_->resetLocked();
}

}  // namespace vorn
