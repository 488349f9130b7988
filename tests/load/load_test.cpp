// A bounded load on one in-process emulator: 64 clients of the library's
// service path, each a chain of mixed creates, updates, finds and batches,
// all in flight at once on the one main loop. Nothing acknowledged may be
// lost; the figures are printed, never judged.

#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/MainLoop.h"
#include "vorn/data/VornObject.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/query/VornQuery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace vorn;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kClients = 64;
constexpr int kOperationsPerClient = 40;
constexpr const char* kClassName = "LoadItem";

enum Kind { Create, Update, Find, Batch, UpdateMissing, kKinds };
constexpr std::array<const char*, kKinds> kKindNames{"create", "update", "find", "batch", "update-missing"};

/// One client: a chain of operations, each started when the previous one
/// has answered, and what the service acknowledged so far.
struct Client {
    int index = 0;
    std::mt19937 random;
    int started = 0;
    bool finished = false;
    int nextKey = 0;
    /// Last acknowledged "value" of every object the client made, by "key".
    std::map<std::string, long long> acknowledged;
    /// The objects made by a save (so they have an identifier), by "key".
    std::map<std::string, std::shared_ptr<VornObject>> saved;
};

struct Figures {
    std::array<std::vector<double>, kKinds> latencyMs;
    std::map<std::string, int> unexpected;  // what went wrong, how often
    int offLoop = 0;                        // callbacks that ran elsewhere than the main loop

    void fail(const std::string& what) { ++unexpected[what]; }
};

std::string errorText(const OptionalError& error) {
    return error ? std::to_string(error->code) + " " + error->message() : std::string("no error");
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

long long valueOf(const std::shared_ptr<VornObject>& object) {
    const auto value = object->objectForKey("value");
    return value && value->json().is_number_integer() ? value->json().get<long long>() : -1;
}

std::string keyOf(const std::shared_ptr<VornObject>& object) {
    const auto key = object->objectForKey("key");
    return key && key->json().is_string() ? key->json().get<std::string>() : std::string();
}

/// Compares what a find of one client's objects returned with what that
/// client had acknowledged; an empty text means they agree.
std::string compare(const Client& client, const VornObjectList& found) {
    std::map<std::string, long long> seen;
    for (const auto& object : found) {
        const std::string key = keyOf(object);
        if (!seen.emplace(key, valueOf(object)).second) return "found twice: " + key;
    }
    for (const auto& [key, value] : client.acknowledged) {
        const auto it = seen.find(key);
        if (it == seen.end()) return "lost: " + key;
        if (it->second != value) {
            return "stale: " + key + " holds " + std::to_string(it->second) + ", acknowledged " + std::to_string(value);
        }
    }
    if (seen.size() != client.acknowledged.size()) return "objects never acknowledged were found";
    return {};
}

std::shared_ptr<VornQuery> queryOf(const Client& client) {
    auto query = VornQuery::queryWithClassName(kClassName);
    query->whereKeyEqualTo("client", client.index);
    query->setLimit(1000);
    return query;
}

class LoadRun {
public:
    explicit LoadRun(Figures& figures) : figures_(figures) {
        for (int i = 0; i < kClients; ++i) {
            clients_[i].index = i;
            clients_[i].random.seed(static_cast<unsigned>(1000 + i));
        }
    }

    void start() {
        for (auto& client : clients_) step(client);
    }

    bool finished() const {
        return std::all_of(clients_.begin(), clients_.end(), [](const Client& c) { return c.finished; });
    }

    const std::array<Client, kClients>& clients() const { return clients_; }
    int operations() const { return operations_; }

private:
    std::string newKey(Client& client) {
        return "c" + std::to_string(client.index) + "-" + std::to_string(client.nextKey++);
    }

    long long newValue(Client& client) { return std::uniform_int_distribution<long long>(0, 1'000'000)(client.random); }

    Kind choose(Client& client) {
        const int roll = std::uniform_int_distribution<int>(0, 99)(client.random);
        const Kind kind = roll < 30   ? Create
                          : roll < 60 ? Update
                          : roll < 80 ? Find
                          : roll < 95 ? Batch
                                      : UpdateMissing;
        return kind == Update && client.saved.empty() ? Create : kind;
    }

    /// Called on the main loop when one operation has answered.
    void done(Client& client, Kind kind, Clock::time_point began) {
        if (!MainLoop::shared().isCurrentThread()) ++figures_.offLoop;
        figures_.latencyMs[kind].push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
        ++operations_;
        step(client);
    }

    void step(Client& client) {
        if (client.started == kOperationsPerClient) {
            client.finished = true;
            return;
        }
        ++client.started;
        const auto began = Clock::now();
        switch (choose(client)) {
            case Create:
                create(client, began);
                break;
            case Update:
                update(client, began);
                break;
            case Find:
                find(client, began);
                break;
            case Batch:
                batch(client, began);
                break;
            case UpdateMissing:
                updateMissing(client, began);
                break;
            case kKinds:
                break;
        }
    }

    void create(Client& client, Clock::time_point began) {
        auto object = VornObject::objectWithClassName(kClassName);
        const std::string key = newKey(client);
        const long long value = newValue(client);
        object->setObject(client.index, "client");
        object->setObject(key, "key");
        object->setObject(value, "value");
        object->saveInBackgroundWithResultBlock(
            [this, &client, object, key, value, began](bool ok, const OptionalError& error) {
            if (ok && object->objectId()) {
                client.acknowledged[key] = value;
                client.saved[key] = object;
            } else {
                figures_.fail("create: " + errorText(error));
            }
            done(client, Create, began);
        });
    }

    void update(Client& client, Clock::time_point began) {
        auto it = client.saved.begin();
        std::advance(it, std::uniform_int_distribution<std::size_t>(0, client.saved.size() - 1)(client.random));
        const std::string key = it->first;
        const auto object = it->second;
        const long long value = newValue(client);
        object->setObject(value, "value");
        object->updateInBackgroundWithResultBlock(
            [this, &client, key, value, began](bool ok, const OptionalError& error) {
            if (ok) {
                client.acknowledged[key] = value;
            } else {
                figures_.fail("update: " + errorText(error));
            }
            done(client, Update, began);
        });
    }

    void updateMissing(Client& client, Clock::time_point began) {
        // An object that is not there: the expected answer is 101.
        auto object = VornObject::objectWithoutDatatWithClassName(kClassName, "nothere" + std::to_string(client.index));
        object->setObject(1, "value");
        object->updateInBackgroundWithResultBlock([this, &client, began](bool ok, const OptionalError& error) {
            if (ok || !error || error->code != 101) figures_.fail("update of a missing object: " + errorText(error));
            done(client, UpdateMissing, began);
        });
    }

    void find(Client& client, Clock::time_point began) {
        queryOf(client)->findObjectsInBackgroundWithBlock(
            [this, &client, began](const std::optional<VornObjectList>& objects, const OptionalError& error) {
            if (!objects || error) {
                figures_.fail("find: " + errorText(error));
            } else if (const std::string mismatch = compare(client, *objects); !mismatch.empty()) {
                figures_.fail("find: " + mismatch);
            }
            done(client, Find, began);
        });
    }

    void batch(Client& client, Clock::time_point began) {
        // Two creates, and an update of a saved object when there is one.
        auto batch = VornObjectsBatch::init();
        std::map<std::string, long long> writes;
        for (int i = 0; i < 2; ++i) {
            const std::string key = newKey(client);
            const long long value = newValue(client);
            batch->saveVornObjectWithClassName(kClassName, {{"client", client.index}, {"key", key}, {"value", value}});
            writes[key] = value;
        }
        if (!client.saved.empty()) {
            const auto& [key, object] = *client.saved.begin();
            const long long value = newValue(client);
            // The saved object keeps the value too, so its own later updates agree.
            object->setObject(value, "value");
            batch->updateVornObjectWithClassName(kClassName, *object->objectId(), {{"value", value}});
            writes[key] = value;
        }
        batch->batchObjectsInBackgroundWithResultBlock(
            [this, &client, writes, began](bool ok, const OptionalError& error) {
            if (ok) {
                for (const auto& [key, value] : writes) client.acknowledged[key] = value;
            } else {
                figures_.fail("batch: " + errorText(error));
            }
            done(client, Batch, began);
        });
    }

    Figures& figures_;
    std::array<Client, kClients> clients_;
    int operations_ = 0;
};

}  // namespace

class LoadTest : public test::EmulatorTest {};

TEST_F(LoadTest, SixtyFourClientsLoseNothing) {
    Figures figures;
    LoadRun run(figures);
    const auto began = Clock::now();
    run.start();
    ASSERT_TRUE(test::runUntil([&] { return run.finished(); }, std::chrono::seconds(90)))
        << run.operations() << " of " << kClients * kOperationsPerClient << " operations answered";
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();

    // The figures.
    std::printf("[ load     ] %d clients x %d operations: %d in %.2f s, %.0f requests/s\n", kClients,
                kOperationsPerClient, run.operations(), seconds, run.operations() / seconds);
    RecordProperty("requests_per_second", static_cast<int>(run.operations() / seconds));
    for (int kind = 0; kind < kKinds; ++kind) {
        const auto& values = figures.latencyMs[kind];
        const double p50 = percentile(values, 0.50);
        const double p99 = percentile(values, 0.99);
        std::printf("[ load     ] %-15s %5zu  p50 %7.2f ms  p99 %7.2f ms\n", kKindNames[kind], values.size(), p50, p99);
        RecordProperty(std::string(kKindNames[kind]) + "_p50_us", static_cast<int>(p50 * 1000));
        RecordProperty(std::string(kKindNames[kind]) + "_p99_us", static_cast<int>(p99 * 1000));
    }
    std::fflush(stdout);

    EXPECT_EQ(run.operations(), kClients * kOperationsPerClient);
    EXPECT_EQ(figures.offLoop, 0);
    for (const auto& [what, count] : figures.unexpected) ADD_FAILURE() << count << " x " << what;
    for (int kind = 0; kind < kKinds; ++kind) EXPECT_FALSE(figures.latencyMs[kind].empty()) << kKindNames[kind];

    // Afterwards, every acknowledged object is there with its last value:
    // through the library's finds, and as the emulator stores it.
    std::size_t total = 0;
    for (const auto& client : run.clients()) {
        total += client.acknowledged.size();
        std::optional<VornObjectList> found;
        bool answered = false;
        queryOf(client)->findObjectsInBackgroundWithBlock(
            [&](const std::optional<VornObjectList>& objects, const OptionalError& error) {
            EXPECT_FALSE(error) << errorText(error);
            found = objects;
            answered = true;
        });
        ASSERT_TRUE(test::runUntil([&] { return answered; }));
        ASSERT_TRUE(found);
        EXPECT_EQ(compare(client, *found), "") << "client " << client.index;
        for (const auto& [key, object] : client.saved) {
            const auto stored = storedObject(kClassName, *object->objectId());
            ASSERT_TRUE(stored) << key;
            EXPECT_EQ((*stored)["value"], client.acknowledged.at(key)) << key;
        }
    }
    int count = -1;
    VornQuery::queryWithClassName(kClassName)
        ->countObjectsInBackgroundWithBlock([&](int n, const OptionalError& error) {
            EXPECT_FALSE(error) << errorText(error);
            count = n;
        });
    ASSERT_TRUE(test::runUntil([&] { return count >= 0; }));
    EXPECT_EQ(static_cast<std::size_t>(count), total);
}
