#include "support/ScriptedHttpServer.h"
#include "support/SmallStack.h"
#include "support/TestDevice.h"
#include "support/TestLoop.h"

#include "vorn/core/FileUtils.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/data/VornObjectRegistry.h"
#include "vorn/query/VornQuery.h"
#include "vorn/query/VornQueryCache.h"
#include "vorn/service/Vorn.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>

using namespace vorn;
using json = nlohmann::json;
using test::RecordedRequest;
using test::ScriptedAction;
using test::ScriptedHttpServer;

// Named, not anonymous: the fixture below holds a Service, and the fixture has external linkage.
namespace find_test {

std::string reply(const json& data, int code = 200) {
    return json{{"result", {{"code", code}, {"message", code == 200 ? "ok" : "failed"}}}, {"data", data}}.dump();
}

json results(std::initializer_list<const char*> ids) {
    json maps = json::array();
    for (const char* id : ids) {
        maps.push_back({{"objectId", id},
                        {"createdAt", "2020-01-01 00:00:00"},
                        {"updatedAt", "2020-01-02 00:00:00"},
                        {"score", 1}});
    }
    return json{{"results", maps}};
}

/// A service whose replies the test queues; an empty queue answers one result.
class Service {
public:
    Service()
        : server_([this](const RecordedRequest&) {
              std::lock_guard lock(mutex_);
              if (queue_.empty()) return ScriptedAction::reply(reply(results({"fromServer"})));
              auto action = queue_.front();
              queue_.pop_front();
              return action;
          }) {}
    void push(ScriptedAction action) {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(action));
    }
    void push(const std::string& body) { push(ScriptedAction::reply(body)); }
    ScriptedHttpServer& server() { return server_; }

private:
    std::mutex mutex_;
    std::deque<ScriptedAction> queue_;
    ScriptedHttpServer server_;
};

/// Every callback of one find, in order.
struct Calls {
    std::vector<std::pair<std::optional<VornObjectList>, OptionalError>> seen;
    VornArrayResultBlock block() {
        return [this](const std::optional<VornObjectList>& objects, const OptionalError& error) {
            seen.emplace_back(objects, error);
        };
    }
    bool waitFor(std::size_t count) {
        return test::runUntil([&] { return seen.size() >= count; });
    }
    std::vector<std::string> ids(std::size_t call) const {
        std::vector<std::string> out;
        for (const auto& object : seen.at(call).first.value()) out.push_back(object->objectId().value_or("?"));
        return out;
    }
};

json envelope(const RecordedRequest& request) {
    return json::parse(request.body);
}

constexpr double kDefaultMaxCacheAgeForTest = VornQuery::kDefaultMaxCacheAge;

}  // namespace find_test

using namespace find_test;

class FindTest : public ::testing::Test {
protected:
    void SetUp() override { Vorn::registerWithAppKey("key"); }
    void TearDown() override { VornQueryCache::setClock(nullptr); }

    /// Writes a cache file for the query's current state, as a find would.
    void seedCache(const std::shared_ptr<VornQuery>& query, std::initializer_list<const char*> ids) {
        ASSERT_TRUE(VornQueryCache::write(query->selfQueryFileName(), results(ids)["results"]));
    }
    /// Makes the query's cache file `age` seconds old by the cache's clock.
    void ageCache(const std::shared_ptr<VornQuery>& query, double age) {
        const auto path = query->selfQueryFileName();
        const auto written = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(path));
        VornQueryCache::setClock([written, age] {
            return written +
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(age));
        });
    }

    Service service_;
    test::TestDevice device_{service_.server().hostAndPort()};
    std::shared_ptr<VornQuery> query_ = VornQuery::queryWithClassName("GameScore");
};

TEST_F(FindTest, BareFindSendsNoDataAndBuildsObjects) {
    device_.store().setObject("tok", storekeys::kSessionToken);
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    EXPECT_TRUE(calls.seen.empty());  // the network answers later, on the main loop
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_FALSE(calls.seen[0].second);
    ASSERT_EQ(calls.ids(0), std::vector<std::string>{"fromServer"});
    const auto object = calls.seen[0].first->at(0);
    EXPECT_EQ(object->className(), "GameScore");
    EXPECT_EQ(object->createdAt(), v_VornUtils::dateOfString("2020-01-01 00:00:00"));
    EXPECT_EQ(object->vornDataDic(), (json{{"score", 1}}));

    const auto request = service_.server().requests().at(0);
    EXPECT_EQ(request.target, "/7/find");
    EXPECT_EQ(request.header("X-Vorn-Session-Token"), "tok");
    const auto body = envelope(request);
    EXPECT_FALSE(body.contains("data"));
    EXPECT_EQ(body["c"], "GameScore");
    EXPECT_TRUE(body.at("objectId").is_null());
}

TEST_F(FindTest, FindDataAndTheIncludeMovingOut) {
    query_->whereKeyEqualTo("a", 1);
    query_->selectKeys({"a", "b"});
    query_->orderByDescending("a");
    query_->orderByAscending("b");
    query_->setSkip(5);
    query_->setLimit(10);
    query_->includeKey("owner");
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(1));
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(2));
    const auto first = envelope(service_.server().requests().at(0))["data"];
    EXPECT_EQ(first, (json{{"keys", "a,b"},
                           {"order", "-a,b"},
                           {"include", "owner"},
                           {"where", {{"a", 1}}},
                           {"skip", 5},
                           {"limit", 10}}));
    const auto second = envelope(service_.server().requests().at(1))["data"];
    EXPECT_FALSE(second.contains("include"));
    EXPECT_EQ(second["where"], (json{{"a", 1}}));
}

TEST_F(FindTest, ReplyRules) {
    // One at a time: parallel requests may reach the service in any order.
    Calls calls;
    for (auto action : {ScriptedAction::reply("not json"), ScriptedAction::reply("{}"),
                        ScriptedAction::reply(reply(nullptr, 141)), ScriptedAction::reply(reply(nullptr)),
                        ScriptedAction::reply(reply(json{{"results", "not a list"}})), ScriptedAction::close()}) {
        service_.push(action);
        // A dropped kept-alive connection is retried once on a fresh one: drop that too.
        if (action.kind == ScriptedAction::Kind::Close) service_.push(action);
        query_->findObjectsInBackgroundWithBlock(calls.block());
        ASSERT_TRUE(calls.waitFor(calls.seen.size() + 1));
    }
    ASSERT_EQ(calls.seen.size(), 6u);
    EXPECT_EQ(calls.seen[0].second->domain, "NSCocoaErrorDomain");
    EXPECT_EQ(calls.seen[0].second->code, 3840);
    EXPECT_FALSE(calls.seen[1].second);
    EXPECT_EQ(calls.seen[2].second->code, 141);
    EXPECT_EQ(calls.seen[2].second->message(), "failed");
    EXPECT_EQ(calls.seen[3].second->code, 20010);
    EXPECT_FALSE(calls.seen[4].second);
    EXPECT_EQ(calls.seen[5].second->code, 20002);
    for (const auto& [objects, error] : calls.seen) EXPECT_TRUE(objects && objects->empty());
}

TEST_F(FindTest, CountAndFetch) {
    query_->whereKeyEqualTo("a", 1);
    query_->includeKey("owner");
    device_.store().setObject("tok", storekeys::kSessionToken);
    std::vector<std::pair<int, OptionalError>> counts;
    for (const auto& body : {reply(json{{"count", 42}}), reply(nullptr, 7)}) {
        service_.push(body);
        query_->countObjectsInBackgroundWithBlock([&](int n, const OptionalError& e) { counts.emplace_back(n, e); });
        ASSERT_TRUE(test::runUntil([&, expected = counts.size() + 1] { return counts.size() == expected; }));
    }
    ASSERT_TRUE(test::runUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[0].first, 42);
    EXPECT_FALSE(counts[0].second);
    EXPECT_EQ(counts[1].first, -1);
    EXPECT_EQ(counts[1].second->code, 7);
    const auto countRequest = service_.server().requests().at(0);
    EXPECT_EQ(countRequest.header("X-Vorn-Session-Token"), "");
    EXPECT_EQ(envelope(countRequest)["data"], (json{{"where", {{"a", 1}, {"include", "owner"}}}, {"count", true}}));

    std::shared_ptr<VornObject> fetched;
    OptionalError fetchError;
    bool none = false;
    query_->getObjectInBackgroundWithId(
        std::nullopt,
        [&](const std::shared_ptr<VornObject>& o, const OptionalError& e) { none = !o && e && e->code == 20003; });
    EXPECT_TRUE(none);  // at once, nothing sent
    service_.push(reply(json{{"objectId", "x1"}, {"createdAt", "2020-01-01 00:00:00"}, {"n", 2}}));
    int done = 0;
    query_->getObjectInBackgroundWithId("x1", [&](const std::shared_ptr<VornObject>& o, const OptionalError& e) {
        fetched = o;
        fetchError = e;
        ++done;
    });
    ASSERT_TRUE(test::runUntil([&] { return done == 1; }));
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->objectId(), "x1");
    EXPECT_EQ(fetched->vornDataDic(), (json{{"n", 2}}));
    const auto fetchRequest = service_.server().requests().back();
    EXPECT_EQ(fetchRequest.header("X-Vorn-Session-Token"), "tok");
    EXPECT_EQ(envelope(fetchRequest)["objectId"], "x1");
    EXPECT_EQ(envelope(fetchRequest)["data"], (json{{"include", "owner"}}));

    std::vector<int> codes;
    for (const auto& body : {reply(json::object()), std::string(R"({"data": {"objectId": "x"}})")}) {
        service_.push(body);
        query_->getObjectInBackgroundWithId("x", [&](const std::shared_ptr<VornObject>& o, const OptionalError& e) {
            codes.push_back(o ? 0 : e->code);
        });
        ASSERT_TRUE(test::runUntil([&, expected = codes.size() + 1] { return codes.size() == expected; }));
    }
    EXPECT_EQ(codes, (std::vector<int>{20004, 20010}));
    EXPECT_TRUE(envelope(service_.server().requests().back())["data"].is_null());
}

TEST_F(FindTest, NetworkOnlyWritesTheCacheAndTheRegistry) {
    query_->setCachePolicy(kVornCachePolicyNetworkOnly);
    EXPECT_FALSE(query_->hasCachedResult());
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_TRUE(query_->hasCachedResult());
    EXPECT_FALSE(query_->isExpired());
    const auto path = query_->selfQueryFileName();
    EXPECT_EQ(path.parent_path(), DeviceContext::shared().documentsDirectory());
    EXPECT_EQ(VornQueryCache::registry(), std::vector<std::string>{path.string()});
    EXPECT_EQ(VornQueryCache::read(path).value()[0]["objectId"], "fromServer");

    query_->clearCachedResult();
    EXPECT_FALSE(query_->hasCachedResult());
    EXPECT_EQ(VornQueryCache::registry().size(), 1u);
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(2));
    VornQuery::clearAllCachedResults();
    EXPECT_FALSE(query_->hasCachedResult());
    EXPECT_TRUE(VornQueryCache::registry().empty());
}

TEST_F(FindTest, CacheOnlyAnswersInsideTheCall) {
    query_->setCachePolicy(kVornCachePolicyCacheOnly);
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_TRUE(calls.seen[0].first->empty());
    EXPECT_FALSE(calls.seen[0].second);

    seedCache(query_, {"cached"});
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_EQ(calls.seen.size(), 2u);
    EXPECT_EQ(calls.ids(1), std::vector<std::string>{"cached"});

    ageCache(query_, query_->maxCacheAge());  // exactly the age: still fresh
    query_->findObjectsInBackgroundWithBlock(calls.block());
    EXPECT_EQ(calls.ids(2), std::vector<std::string>{"cached"});
    ageCache(query_, query_->maxCacheAge() + 1);
    query_->findObjectsInBackgroundWithBlock(calls.block());
    EXPECT_FALSE(calls.seen[3].first);
    EXPECT_EQ(calls.seen[3].second->code, 20005);
    test::drainLoop();
    EXPECT_TRUE(service_.server().requests().empty());
}

TEST_F(FindTest, CacheElseNetwork) {
    query_->setCachePolicy(kVornCachePolicyCacheElseNetwork);
    seedCache(query_, {"cached"});
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    EXPECT_EQ(calls.ids(0), std::vector<std::string>{"cached"});
    // A cache of no objects sends the find after all.
    ASSERT_TRUE(VornQueryCache::write(query_->selfQueryFileName(), json::array()));
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(2));
    EXPECT_EQ(calls.ids(1), std::vector<std::string>{"fromServer"});
    EXPECT_EQ(service_.server().requests().size(), 1u);
}

/// A cache file exactly as the library has always written it: one JSON
/// string holding the base64 of the results' text (indented by two, keys
/// sorted), with every "+" of the code written "%2B".
constexpr const char* kArchivedResults =
    "\"WwogIHsKICAgICJjcmVhdGVkQXQiOiAiMjAyMS0wMy0wNCAwNTowNjowNyIsCiAgICAibGFiZWwiOiAiY2Fmw6kgfj4/MTAwIiwKICAgIC"
    "JvYmplY3RJZCI6ICJhMSIsCiAgICAic2NvcmUiOiA3LAogICAgInRhZ3MiOiBbCiAgICAgICJ4IiwKICAgICAgbnVsbCwKICAgICAgdHJ1ZSwK"
    "ICAgICAgMi41CiAgICBdLAogICAgInVwZGF0ZWRBdCI6ICIyMDIxLTAzLTA1IDA2OjA3OjA4IgogIH0sCiAgewogICAgImNyZWF0ZWRBdCI6IC"
    "IyMDIxLTAzLTA0IDA1OjA2OjA4IiwKICAgICJuZXN0ZWQiOiB7CiAgICAgICJrIjogInY%2BPyIKICAgIH0sCiAgICAib2JqZWN0SWQiOiAi"
    "YjIiLAogICAgInVwZGF0ZWRBdCI6ICIyMDIxLTAzLTA0IDA1OjA2OjA4IgogIH0KXQ==\"";

json archivedResults() {
    return json::parse(R"([
        {"objectId": "a1", "createdAt": "2021-03-04 05:06:07", "updatedAt": "2021-03-05 06:07:08",
         "score": 7, "label": "caf\u00e9 ~>?100", "tags": ["x", null, true, 2.5]},
        {"objectId": "b2", "createdAt": "2021-03-04 05:06:08", "updatedAt": "2021-03-04 05:06:08",
         "nested": {"k": "v>?"}}])");
}

TEST_F(FindTest, ACacheFileOfTheLongStandingFormIsWrittenAndRead) {
    const auto path = query_->selfQueryFileName();
    ASSERT_TRUE(VornQueryCache::write(path, archivedResults()));
    EXPECT_EQ(fileutils::readFile(path), std::string(kArchivedResults));

    ASSERT_TRUE(fileutils::writeFileAtomically(path, kArchivedResults));
    EXPECT_EQ(VornQueryCache::read(path), archivedResults());
    query_->setCachePolicy(kVornCachePolicyCacheOnly);
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_EQ(calls.ids(0), (std::vector<std::string>{"a1", "b2"}));
    const auto& objects = *calls.seen[0].first;
    EXPECT_EQ(objects[0]->createdAt(), v_VornUtils::dateOfString("2021-03-04 05:06:07"));
    EXPECT_EQ(objects[0]->updatedAt(), v_VornUtils::dateOfString("2021-03-05 06:07:08"));
    EXPECT_EQ(objects[0]->vornDataDic(),
              (json{{"score", 7}, {"label", "caf\u00e9 ~>?100"}, {"tags", json::array({"x", nullptr, true, 2.5})}}));
    EXPECT_EQ(objects[1]->vornDataDic(), (json{{"nested", {{"k", "v>?"}}}}));
    EXPECT_TRUE(service_.server().requests().empty());
}

TEST_F(FindTest, ACacheFileIsReadWhateverJsonSpellingItsStringHas) {
    const auto path = query_->selfQueryFileName();
    // The same string with its slashes escaped and blanks around it.
    std::string spelled = std::string(" \n") + kArchivedResults + "\n";
    for (std::size_t at = spelled.find('/'); at != std::string::npos; at = spelled.find('/', at + 2)) {
        spelled.insert(at, "\\");
    }
    ASSERT_TRUE(fileutils::writeFileAtomically(path, spelled));
    EXPECT_EQ(VornQueryCache::read(path), archivedResults());
    for (const char* bad : {"\"WwogIHsK", "\"\"", "[\"WwogIHsKfQ==\"]", "\"Ww\x01ogIHsK\"", "\"%2"}) {
        ASSERT_TRUE(fileutils::writeFileAtomically(path, bad));
        EXPECT_FALSE(VornQueryCache::read(path)) << bad;
    }
}

TEST_F(FindTest, CacheThenNetworkCallsBackTwice) {
    query_->setCachePolicy(kVornCachePolicyCacheThenNetwork);
    seedCache(query_, {"cached"});
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_EQ(calls.ids(0), std::vector<std::string>{"cached"});
    ASSERT_TRUE(calls.waitFor(2));
    EXPECT_EQ(calls.ids(1), std::vector<std::string>{"fromServer"});
    // The server's result replaced the cache.
    EXPECT_EQ(VornQueryCache::read(query_->selfQueryFileName()).value()[0]["objectId"], "fromServer");
}

TEST_F(FindTest, NetworkElseCacheOnAnEmptyResult) {
    query_->setCachePolicy(kVornCachePolicyNetworkElseCache);
    service_.push(reply(json{{"results", json::array()}}));
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_TRUE(calls.seen[0].first->empty());
    EXPECT_FALSE(calls.seen[0].second);

    seedCache(query_, {"cached"});
    service_.push(reply(json{{"results", json::array()}}));
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(2));
    EXPECT_EQ(calls.ids(1), std::vector<std::string>{"cached"});

    ageCache(query_, query_->maxCacheAge() + 1);
    service_.push(reply(json{{"results", json::array()}}));
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(3));
    EXPECT_EQ(calls.seen[2].second->code, 20005);
    EXPECT_TRUE(calls.seen[2].first->empty());
}

TEST_F(FindTest, DamagedCacheYieldsNoObjects) {
    for (const char* damage : {"", "\"not base64!\"", "{\"a\": 1}", "\"e30=\""}) {
        ASSERT_TRUE(fileutils::writeFileAtomically(query_->selfQueryFileName(), damage));
        EXPECT_FALSE(VornQueryCache::read(query_->selfQueryFileName())) << damage;
    }
    // Cache only, fresh: an empty list and no error, nothing sent.
    query_->setCachePolicy(kVornCachePolicyCacheOnly);
    Calls cacheOnly;
    query_->findObjectsInBackgroundWithBlock(cacheOnly.block());
    ASSERT_EQ(cacheOnly.seen.size(), 1u);
    EXPECT_TRUE(cacheOnly.seen[0].first && cacheOnly.seen[0].first->empty());
    EXPECT_FALSE(cacheOnly.seen[0].second);
    // Cache then network, fresh: the empty cache answer first, then the network.
    query_->setCachePolicy(kVornCachePolicyCacheThenNetwork);
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_TRUE(calls.seen[0].first->empty());
    EXPECT_FALSE(calls.seen[0].second);
    ASSERT_TRUE(calls.waitFor(2));
    EXPECT_EQ(calls.ids(1), std::vector<std::string>{"fromServer"});
}

TEST_F(FindTest, DamagedCacheExpiresByItsAgeAndSendsCacheElseNetworkToTheNetwork) {
    ASSERT_TRUE(fileutils::writeFileAtomically(query_->selfQueryFileName(), "damaged"));
    ageCache(query_, kDefaultMaxCacheAgeForTest + 1);
    query_->setCachePolicy(kVornCachePolicyCacheOnly);
    Calls expired;
    query_->findObjectsInBackgroundWithBlock(expired.block());
    ASSERT_EQ(expired.seen.size(), 1u);
    ASSERT_TRUE(expired.seen[0].second);
    EXPECT_EQ(expired.seen[0].second->code, 20005);
    EXPECT_TRUE(service_.server().requests().empty());

    VornQueryCache::setClock(nullptr);
    query_->setCachePolicy(kVornCachePolicyCacheElseNetwork);
    Calls network;
    query_->findObjectsInBackgroundWithBlock(network.block());
    EXPECT_TRUE(network.seen.empty());
    ASSERT_TRUE(network.waitFor(1));
    EXPECT_EQ(network.ids(0), std::vector<std::string>{"fromServer"});
}

TEST_F(FindTest, CachePathFollowsTheQueryState) {
    const auto bare = query_->selfQueryFileName();
    EXPECT_EQ(bare, VornQuery::queryWithClassName("GameScore")->selfQueryFileName());
    EXPECT_EQ(bare.extension(), ".archive");
    EXPECT_EQ(bare.stem().string().size(), 32u);
    query_->setLimit(3);
    EXPECT_NE(query_->selfQueryFileName(), bare);
    EXPECT_NE(VornQuery::queryWithClassName("Other")->selfQueryFileName(), bare);
}

TEST_F(FindTest, RegistryOutsideTheDocumentsIsNeverDeleted) {
    const auto outside = device_.directory() / "keep.archive";
    ASSERT_TRUE(fileutils::writeFileAtomically(outside, "x"));
    ASSERT_TRUE(
        fileutils::writeFileAtomically(DeviceContext::shared().documentsDirectory() / VornQueryCache::kRegistryName,
                                       json::array({outside.string()}).dump()));
    VornQuery::clearAllCachedResults();
    EXPECT_TRUE(std::filesystem::exists(outside));
}

TEST_F(FindTest, CancelStopsEveryRequest) {
    service_.push(ScriptedAction::hang());
    Calls calls;
    query_->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(test::runUntil([&] { return service_.server().requests().size() == 1; }));
    query_->cancle();
    ASSERT_TRUE(test::runUntil([&] { return service_.server().droppedByClient() == 1; }));
    test::drainLoop();
    EXPECT_TRUE(calls.seen.empty());
}

TEST_F(FindTest, ResultsBecomeTheRegisteredKind) {
    struct Score : VornObject {
        using VornObject::VornObject;
    };
    VornObjectRegistry::shared().registerKind("Score",
                                              [](const std::string& name) { return VornObject::make<Score>(name); });
    auto query = VornQuery::queryWithClassName("Score");
    Calls calls;
    query->findObjectsInBackgroundWithBlock(calls.block());
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_TRUE(std::dynamic_pointer_cast<Score>(calls.seen[0].first->at(0)));
}

TEST_F(FindTest, ACancelInTheSameTurnAsTheFindSendsNothing) {
    Calls calls;
    auto kept = std::make_shared<int>(0);
    query_->findObjectsInBackgroundWithBlock(
        [&calls, kept](const std::optional<VornObjectList>& objects, const OptionalError& error) {
        calls.seen.emplace_back(objects, error);
    });
    query_->cancle();
    // A later find of another query goes out and answers; the cancelled one never did.
    Calls later;
    VornQuery::queryWithClassName("Other")->findObjectsInBackgroundWithBlock(later.block());
    ASSERT_TRUE(later.waitFor(1));
    test::drainLoop();
    EXPECT_TRUE(calls.seen.empty());
    ASSERT_EQ(service_.server().requests().size(), 1u);
    EXPECT_EQ(envelope(service_.server().requests()[0])["c"], "Other");
    EXPECT_EQ(kept.use_count(), 1);  // the cancelled find let go of its callback
}

TEST_F(FindTest, AReplyNestedTooDeepIsUnreadableOnASmallStack) {
    const std::string deep = R"({"result":{"code":200,"message":"ok"},"data":{"results":[{"objectId":"a","x":)" +
                             test::deeplyNested(300000) + "}]}}";
    service_.push(deep);
    Calls calls;
    test::runOnSmallStack([&] {
        query_->findObjectsInBackgroundWithBlock(calls.block());
        ASSERT_TRUE(calls.waitFor(1));
    });
    ASSERT_EQ(calls.seen.size(), 1u);
    EXPECT_TRUE(!calls.seen[0].first || calls.seen[0].first->empty());
    ASSERT_TRUE(calls.seen[0].second);
    EXPECT_EQ(calls.seen[0].second->code, 3840);
}
