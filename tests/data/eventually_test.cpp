// Writes kept in the journal until the service can take them: offline and
// back, with faults on the way, across a restart, and with a journal that is
// damaged or full.
#include "support/SamePorts.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"
#include "vorn/core/MainLoop.h"
#include "vorn/core/VornNotificationCenter.h"
#include "vorn/data/EventuallyJournal.h"
#include "vorn/data/VornEventually.h"
#include "vorn/data/VornObject.h"
#include "vorn/service/Vorn.h"

#include <vorn_emulator/Faults.h>
#include <vorn_emulator/ObjectStore.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

namespace vorn::eventually_test {

using test::runUntil;

/// What the blocks of the writes said, in the order they ran.
struct Answers {
    std::vector<std::string> said;
    VornBooleanResultBlock block(const std::string& name) {
        return [this, name](bool succeeded, const OptionalError& error) {
            said.push_back(name + (succeeded ? "" : ":" + std::to_string(error ? error->code : -1)));
        };
    }
};

/// The outcomes posted for writes whose blocks are gone.
class Outcomes {
public:
    Outcomes() {
        token_ = VornNotificationCenter::defaultCenter().addObserverForName(
            kVornEventuallyDidFinishNotification, [this](const VornNotification& notification) {
                seen.push_back(*std::static_pointer_cast<VornEventuallyOutcome>(notification.object));
            });
    }
    ~Outcomes() { VornNotificationCenter::defaultCenter().removeObserver(token_); }
    Outcomes(const Outcomes&) = delete;
    Outcomes& operator=(const Outcomes&) = delete;
    std::vector<VornEventuallyOutcome> seen;

private:
    VornNotificationCenter::Token token_ = 0;
};

class Eventually : public ::testing::Test {
protected:
    static constexpr const char* kAppKey = "eventually-key";

    void SetUp() override {
        static std::atomic<int> counter{0};
        folder_ = std::filesystem::temp_directory_path() /
                  ("vorn-eventually-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        startEmulator();
        device_ = std::make_unique<test::TestDevice>("127.0.0.1:" + std::to_string(port_));
        Vorn::registerWithAppKey(kAppKey);
        VornEventually::shared().setRetryDelays(std::chrono::milliseconds(20), std::chrono::milliseconds(100));
    }
    void TearDown() override {
        VornEventually::shared().forgetForTesting();
        test::drainLoop();
        device_.reset();
        server_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    /// On the same port and data folder as before.
    void startEmulator() {
        emulator::Options options;
        options.port = port_;
        options.dataDir = folder_.string();
        options.appKey = kAppKey;
        port_ = test::startOnSamePorts([&] {
            server_.reset();
            server_ = std::make_unique<emulator::Server>(options);
            return server_->start();
        });
    }
    void stopEmulator() { server_.reset(); }
    emulator::Server& server() { return *server_; }

    std::size_t stored(const std::string& className) {
        return server_->call([&] { return emulator::countObjects(server_->storage(), className); });
    }
    nlohmann::json storedObject(const std::string& className, const std::string& objectId) {
        return server_->call(
                          [&] {
            return emulator::fetchObject(server_->storage(), className, objectId);
        }).value_or(nullptr);
    }
    static bool drained() {
        return runUntil([] { return VornObject::pendingEventuallyCount() == 0; }, std::chrono::seconds(20));
    }
    std::filesystem::path journal() const { return device_->directory() / "eventually.journal"; }

    std::filesystem::path folder_;
    unsigned short port_ = 0;
    std::unique_ptr<emulator::Server> server_;
    std::unique_ptr<test::TestDevice> device_;
};

TEST_F(Eventually, WritesMadeOfflineArriveInOrderOnceTheServiceIsBack) {
    stopEmulator();
    Answers answers;
    auto thing = VornObject::objectWithClassName("Thing");
    thing->setObject(VornValue(1), "n");
    EXPECT_TRUE(thing->saveEventually(answers.block("create")));
    thing->setObject(VornValue(2), "n");
    EXPECT_TRUE(thing->saveEventually(answers.block("update")));
    thing->incrementKey("hits", 5);
    EXPECT_TRUE(thing->saveEventually(answers.block("increment")));
    EXPECT_EQ(VornObject::pendingEventuallyCount(), 3u);
    EXPECT_GT(std::filesystem::file_size(journal()), 0u);
    test::drainLoop();
    EXPECT_TRUE(answers.said.empty());  // nothing answered while it is away
    EXPECT_FALSE(thing->objectId());

    startEmulator();
    ASSERT_TRUE(drained());
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 3; }));
    EXPECT_EQ(answers.said, (std::vector<std::string>{"create", "update", "increment"}));
    ASSERT_TRUE(thing->objectId());
    EXPECT_TRUE(thing->createdAt());
    EXPECT_EQ(stored("Thing"), 1u);
    const auto fields = storedObject("Thing", *thing->objectId());
    EXPECT_EQ(fields["n"], 2);
    EXPECT_EQ(fields["hits"], 5);                          // the operator went as an operator, once
    EXPECT_EQ(std::filesystem::file_size(journal()), 0u);  // nothing left to keep

    // With its identifier known, a delete goes by it.
    EXPECT_TRUE(thing->deleteEventually(answers.block("delete")));
    ASSERT_TRUE(drained());
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 4; }));
    EXPECT_EQ(stored("Thing"), 0u);
}

TEST_F(Eventually, DroppedGarbledAndSlowAnswersAreTriedAgain) {
    for (const char* fault :
         {"/7/create=drop", "/7/create=garbage", "/7/update=drop", "/7/update=garbage", "/7/update=delay:200"}) {
        server().faults().add(emulator::Fault::parse(fault));
    }
    Answers answers;
    auto thing = VornObject::objectWithClassName("Thing");
    thing->setObject(VornValue(1), "n");
    thing->saveEventually(answers.block("create"));
    thing->incrementKey("hits");
    thing->saveEventually(answers.block("update"));
    ASSERT_TRUE(drained());
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 2; }));
    EXPECT_EQ(answers.said, (std::vector<std::string>{"create", "update"}));
    EXPECT_EQ(stored("Thing"), 1u);
    EXPECT_EQ(storedObject("Thing", *thing->objectId())["hits"], 1);
}

TEST_F(Eventually, TheServicesOwnErrorEndsTheRecordAndWhatWaitedForIt) {
    server().faults().add(emulator::Fault::parse("/7/create=error:119"));
    Answers answers;
    auto refused = VornObject::objectWithClassName("Thing");
    refused->setObject(VornValue(1), "n");
    refused->saveEventually(answers.block("create"));
    refused->setObject(VornValue(2), "n");
    refused->saveEventually(answers.block("update"));  // waits for a create that fails
    auto missing = VornObject::objectWithoutDatatWithClassName("Thing", "nosuchobject");
    missing->setObject(VornValue(3), "n");
    missing->saveEventually(answers.block("missing"));
    auto fine = VornObject::objectWithClassName("Thing");
    fine->setObject(VornValue(4), "n");
    fine->saveEventually(answers.block("fine"));
    ASSERT_TRUE(drained());
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 4; }));
    EXPECT_EQ(answers.said[0], "create:119");
    EXPECT_EQ(answers.said[1], "update:" + std::to_string(kVornErrorNoneObjectId));
    EXPECT_EQ(answers.said[2].rfind("missing:", 0), 0u) << answers.said[2];
    EXPECT_NE(answers.said[2], "missing:" + std::to_string(kVornErrorConnectFailed));
    EXPECT_EQ(answers.said[3], "fine");
    EXPECT_EQ(stored("Thing"), 1u);
}

TEST_F(Eventually, AWriteAnsweredAfterARestartIsNotified) {
    stopEmulator();
    Answers answers;
    auto thing = VornObject::objectWithClassName("Thing");
    thing->setObject(VornValue(1), "n");
    thing->saveEventually(answers.block("create"));
    thing->setObject(VornValue(2), "n");
    thing->saveEventually(answers.block("update"));
    VornEventually::shared().forgetForTesting();  // the process ends

    Outcomes outcomes;
    startEmulator();
    Vorn::registerWithAppKey(kAppKey);  // the next process starts
    ASSERT_TRUE(drained());
    ASSERT_TRUE(runUntil([&] { return outcomes.seen.size() == 2; }));
    EXPECT_TRUE(answers.said.empty());
    EXPECT_EQ(outcomes.seen[0].operation, "create");
    EXPECT_EQ(outcomes.seen[1].operation, "update");
    for (const auto& outcome : outcomes.seen) {
        EXPECT_EQ(outcome.className, "Thing");
        EXPECT_FALSE(outcome.error);
        ASSERT_TRUE(outcome.objectId);
        EXPECT_EQ(outcome.objectId, outcomes.seen[0].objectId);
    }
    EXPECT_EQ(storedObject("Thing", *outcomes.seen[0].objectId)["n"], 2);
}

TEST_F(Eventually, EveryRecordWithItsEndIsDoneAfterARestart) {
    // A process that ended after three of its four records were answered.
    auto write = [](std::uint64_t seq, const char* local) {
        return nlohmann::json{{"t", "w"},       {"seq", seq},          {"op", "create"},       {"class", "Thing"},
                              {"local", local}, {"objectId", nullptr}, {"data", {{"n", seq}}}, {"token", false}};
    };
    auto end = [](std::uint64_t seq) { return nlohmann::json{{"t", "d"}, {"seq", seq}}; };
    std::filesystem::create_directories(journal().parent_path());
    std::ofstream(journal(), std::ios::binary)
        << EventuallyJournal::lineOf(write(1, "l1")) << EventuallyJournal::lineOf(write(2, "l2"))
        << EventuallyJournal::lineOf(end(1)) << EventuallyJournal::lineOf(write(3, "l3"))
        << EventuallyJournal::lineOf(end(2)) << EventuallyJournal::lineOf(end(3))
        << EventuallyJournal::lineOf(write(4, "l4"));
    VornEventually::shared().forgetForTesting();

    EXPECT_EQ(VornObject::pendingEventuallyCount(), 1u);
    VornEventually::shared().start();
    ASSERT_TRUE(drained());
    EXPECT_EQ(stored("Thing"), 1u);  // only the one without an end was sent
}

TEST_F(Eventually, UnreadableRecordsAreSetAsideAndReportedTheRestIsSent) {
    const nlohmann::json good{{"t", "w"},           {"seq", 2},      {"op", "create"},
                              {"class", "Thing"},   {"local", "l1"}, {"objectId", nullptr},
                              {"data", {{"n", 7}}}, {"token", false}};
    std::string bad = EventuallyJournal::lineOf(good);
    bad[20] = bad[20] == 'x' ? 'y' : 'x';  // the checksum no longer holds
    const nlohmann::json unknown{{"t", "w"}, {"seq", 3}, {"op", "explode"}, {"class", "Thing"}, {"local", "l2"}};
    const std::string torn = EventuallyJournal::lineOf(good).substr(0, 30);
    std::filesystem::create_directories(journal().parent_path());
    std::ofstream(journal(), std::ios::binary)
        << bad << "not a line at all\n"
        << EventuallyJournal::lineOf(unknown) << EventuallyJournal::lineOf(good) << torn;
    VornEventually::shared().forgetForTesting();

    Outcomes outcomes;
    EXPECT_EQ(VornObject::pendingEventuallyCount(), 1u);
    VornEventually::shared().start();
    ASSERT_TRUE(drained());
    ASSERT_TRUE(runUntil([&] { return outcomes.seen.size() == 4; }));
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(outcomes.seen[i].error);
        EXPECT_EQ(outcomes.seen[i].error->code, kVornErrorEventuallyUnreadable);
    }
    EXPECT_FALSE(outcomes.seen[3].error);
    EXPECT_EQ(stored("Thing"), 1u);
    std::ifstream rejected(journal().string() + ".rejected");
    std::string line;
    int lines = 0;
    while (std::getline(rejected, line)) ++lines;
    EXPECT_EQ(lines, 3);
}

TEST_F(Eventually, TheJournalIsBoundedAndCanBeCleared) {
    stopEmulator();
    Answers answers;
    const std::string large(VornEventually::kMaxJournalBytes / 3, 'x');
    std::vector<std::shared_ptr<VornObject>> things;
    for (int i = 0; i < 3; ++i) {
        things.push_back(VornObject::objectWithClassName("Thing"));
        things.back()->setObject(VornValue(large), "blob");
        EXPECT_EQ(things.back()->saveEventually(answers.block(std::to_string(i))), i < 2) << i;
    }
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 1; }));
    EXPECT_EQ(answers.said[0], "2:" + std::to_string(kVornErrorEventuallyJournalFull));
    // The refused create left nothing behind: the next try is a create again.
    things[2]->setObject(VornValue("small"), "blob");
    VornObject::clearEventually();
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 3; }));
    EXPECT_EQ(answers.said[1], "0:" + std::to_string(kVornErrorEventuallyCleared));
    EXPECT_EQ(VornObject::pendingEventuallyCount(), 0u);
    EXPECT_TRUE(things[2]->saveEventually(answers.block("again")));
    startEmulator();
    ASSERT_TRUE(drained());
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 4; }));
    EXPECT_EQ(answers.said[3], "again");
    EXPECT_EQ(stored("Thing"), 1u);

    auto never = VornObject::objectWithClassName("Thing");
    EXPECT_FALSE(never->deleteEventually(answers.block("nothing")));
    ASSERT_TRUE(runUntil([&] { return answers.said.size() == 5; }));
    EXPECT_EQ(answers.said[4], "nothing:" + std::to_string(kVornErrorNoneObjectId));
}

}  // namespace vorn::eventually_test
