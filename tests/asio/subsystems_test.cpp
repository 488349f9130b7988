// The operations of every part of the library against the emulator:
// queries and batches, users, files and images, cloud functions, push and
// plain HTTP requests.
#include "AsyncTestSupport.h"
#include "support/ScriptedHttpServer.h"
#include "support/SmallPng.h"
#include "support/TestDevice.h"
#include "vorn/async/VornAsync.h"
#include "vorn/core/vBase64.h"
#include "vorn/data/VornObjectsBatch.h"
#include "vorn/files/VornFile.h"
#include "vorn/push/VornInstallation.h"
#include "vorn/push/VornPush.h"
#include "vorn/query/VornQuery.h"
#include "vorn/users/VornRole.h"
#include "vorn/users/VornUser.h"

#include <vorn_emulator/Pushes.h>
#include <vorn_emulator/Server.h>

#include <gtest/gtest.h>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <functional>
#include <vector>

namespace vorn::async_subsystems_test {

using boost::asio::use_future;
using test::failureOf;

using test::smallPng;

class Subsystems : public test::EmulatorTest {
protected:
    void saveScores(std::initializer_list<int> values) {
        for (int value : values) {
            auto object = VornObject::objectWithClassName("Score");
            object->setObject(VornValue(value), "score");
            auto saved = async::save(object, use_future);
            ASSERT_TRUE(test::waitForFuture(saved));
            saved.get();
        }
    }
    template <typename T>
    T resultOf(std::future<T>& future) {
        EXPECT_TRUE(test::waitForFuture(future));
        return future.get();
    }
};

TEST_F(Subsystems, QueriesFindCountAndGet) {
    saveScores({3, 1, 2});
    auto query = VornQuery::queryWithClassName("Score");
    query->orderByDescending("score");
    auto found = async::findObjects(query, use_future);
    const auto objects = resultOf(found);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0]->objectForKey("score")->json(), 3);
    EXPECT_EQ(objects[2]->objectForKey("score")->json(), 1);

    auto filtered = VornQuery::queryWithClassName("Score");
    filtered->whereKeyGreaterThan("score", 1);
    auto counted = async::countObjects(filtered, use_future);
    EXPECT_EQ(resultOf(counted), 2);

    auto fetched = async::getObject(VornQuery::queryWithClassName("Score"), *objects[1]->objectId(), use_future);
    EXPECT_EQ(resultOf(fetched)->objectForKey("score")->json(), 2);

    auto none = async::findObjects(VornQuery::queryWithClassName("Nothing"), use_future);
    EXPECT_TRUE(resultOf(none).empty());
}

TEST_F(Subsystems, CacheThenNetworkCompletesWithTheNetworkAnswer) {
    saveScores({1});
    auto query = VornQuery::queryWithClassName("Score");
    query->setCachePolicy(kVornCachePolicyCacheThenNetwork);
    auto first = async::findObjects(query, use_future);  // fills the cache
    ASSERT_EQ(resultOf(first).size(), 1u);
    saveScores({2});

    std::vector<std::size_t> cachedAnswers;
    auto second = async::findObjects(
        query,
        [&](const std::optional<VornObjectList>& objects, const OptionalError&) {
        cachedAnswers.push_back(objects ? objects->size() : 0);
        },
        use_future);
    EXPECT_EQ(cachedAnswers, std::vector<std::size_t>{1});  // inside the call
    EXPECT_EQ(resultOf(second).size(), 2u);
    EXPECT_EQ(cachedAnswers.size(), 1u);
}

TEST_F(Subsystems, ABatchWritesEverything) {
    auto batch = VornObjectsBatch::init();
    batch->saveVornObjectWithClassName("Score", {{"score", 1}});
    batch->saveVornObjectWithClassName("Score", {{"score", 2}});
    auto sent = async::sendBatch(batch, use_future);
    EXPECT_NO_THROW(resultOf(sent));
    auto counted = async::countObjects(VornQuery::queryWithClassName("Score"), use_future);
    EXPECT_EQ(resultOf(counted), 2);
}

TEST_F(Subsystems, ObjectsUpdateAndDelete) {
    saveScores({});
    auto object = VornObject::objectWithClassName("Score");
    object->setObject(VornValue(1), "score");
    auto saved = async::save(object, use_future);
    resultOf(saved);
    object->incrementKey("score", 4);
    auto updated = async::update(object, use_future);
    resultOf(updated);
    EXPECT_EQ(storedObject("Score", *object->objectId()).value()["score"], 5);
    auto deleted = async::deleteObject(object, use_future);
    resultOf(deleted);
    EXPECT_FALSE(storedObject("Score", *object->objectId()));

    auto role = VornRole::roleWithName("moderators");
    auto roleSaved = async::save(role, use_future);
    EXPECT_NO_THROW(resultOf(roleSaved));
    EXPECT_TRUE(role->objectId());
}

#if defined(BOOST_ASIO_HAS_CO_AWAIT)
TEST_F(Subsystems, UsersSignUpLogInAndChangeTheirAccount) {
    std::pair<std::string, int> wrongPassword;
    std::pair<std::string, int> taken;
    bool verified = true;
    // Braced lists stay out of the coroutine's body (GCC 12 rejects some there).
    const nlohmann::json nickname{{"nickname", "countess"}};
    const VornValueMap author{{"access_token", "tk"},
                              {"uid", "w-1"},
                              {"expirationDate", std::chrono::system_clock::now() + std::chrono::hours(1)}};
    auto coroutine = [&]() -> boost::asio::awaitable<void> {
        using boost::asio::use_awaitable;
        auto user = VornUser::init();
        user->setUserName("ada");
        user->setPassword("analytical");
        user->setEmail("ada@example");
        co_await async::signUp(user, use_awaitable);
        EXPECT_TRUE(user->objectId());
        EXPECT_EQ(VornUser::getCurrentUser()->objectId(), user->objectId());

        auto twin = VornUser::init();
        twin->setUserName("ada");
        twin->setPassword("other");
        try {
            co_await async::signUp(twin, use_awaitable);
        } catch (const async::VornErrorException& exception) {
            taken = {exception.error().domain, exception.error().code};
        }

        VornUser::logout();
        auto current = co_await async::logIn("ada", "analytical", use_awaitable);
        EXPECT_EQ(current->objectId(), user->objectId());
        try {
            co_await async::logIn("ada", "wrong", use_awaitable);
        } catch (const async::VornErrorException& exception) {
            wrongPassword = {exception.error().domain, exception.error().code};
        }
        current = co_await async::logIn("ada", "analytical", use_awaitable);

        verified = co_await async::emailVerified(current, use_awaitable);
        co_await async::updateWithDictionary(current, nickname, use_awaitable);
        current->setObject(VornValue("engine"), "project");
        co_await async::update(current, use_awaitable);

        co_await async::link(current, author, kVornAuthPlatformWeibo, use_awaitable);
        co_await async::unlink(current, kVornAuthPlatformWeibo, use_awaitable);
        auto linkedUser = co_await async::logInWithAuthorDictionary(author, kVornAuthPlatformQQ, use_awaitable);
        EXPECT_TRUE(linkedUser->objectId());
        EXPECT_NE(linkedUser->objectId(), user->objectId());
    };
    ASSERT_TRUE(test::runCoroutine(coroutine()));
    EXPECT_EQ(taken.first, kVornErrorDomain);
    EXPECT_LT(taken.second, 20000);  // the service's code
    EXPECT_EQ(wrongPassword.first, kVornErrorDomain);
    EXPECT_LT(wrongPassword.second, 20000);
    EXPECT_NE(wrongPassword.second, 0);
    EXPECT_FALSE(verified);
    auto users = VornQuery::queryWithClassName("_User");
    users->whereKeyEqualTo("username", "ada");
    auto found = async::findObjects(users, use_future);
    const auto stored = resultOf(found);
    ASSERT_EQ(stored.size(), 1u);
    const auto fields = storedObject("_User", *stored[0]->objectId()).value();
    EXPECT_EQ(fields["nickname"], "countess");
    EXPECT_EQ(fields["project"], "engine");
}

TEST_F(Subsystems, ChecksFailBeforeAnythingIsSent) {
    using boost::asio::use_awaitable;
    std::vector<std::pair<std::string, int>> failures;
    auto noPassword = VornUser::init();
    noPassword->setUserName("x");
    const std::vector<std::function<boost::asio::awaitable<void>()>> attempts{
        [&]() -> boost::asio::awaitable<void> { co_await async::signUp(noPassword, use_awaitable); },
        []() -> boost::asio::awaitable<void> { co_await async::logIn("", "x", use_awaitable); },
        []() -> boost::asio::awaitable<void> {
            co_await async::requestPasswordResetWithPhoneNumber("", use_awaitable);
        },
        []() -> boost::asio::awaitable<void> { co_await async::callFunction("", std::nullopt, use_awaitable); },
        []() -> boost::asio::awaitable<void> {
            co_await async::pushMessageToChannel("news", std::string(), use_awaitable);
        },
        []() -> boost::asio::awaitable<void> {
            co_await async::deleteFile(VornFile::initWithFileName("a.txt", Bytes(1, 1)), use_awaitable);
        },
    };
    auto coroutine = [&]() -> boost::asio::awaitable<void> {
        for (const auto& attempt : attempts) {
            try {
                co_await attempt();
                failures.emplace_back("", 0);
            } catch (const async::VornErrorException& exception) {
                failures.emplace_back(exception.error().domain, exception.error().code);
            }
        }
    };
    ASSERT_TRUE(test::runCoroutine(coroutine()));
    const std::vector<std::pair<std::string, int>> expected{
        {kVornErrorDomain, kVornErrorNilPassword},    {kVornErrorDomain, kVornErrorNilUsername},
        {kVornErrorDomain, kVornErrorNilPhoneNumber}, {kVornErrorDomain, kVornErrorFunctionNameNil},
        {kVornErrorDomain, kVornErrorNilPushContent}, {kVornErrorDomain, kVornErrorNoneFile},
    };
    EXPECT_EQ(failures, expected);
}

TEST_F(Subsystems, FilesUploadWithProgressAndImagesAreMadeOfThem) {
    std::vector<float> progress;
    std::string thumbnailUrl;
    std::string piecesUrl;
    auto coroutine = [&]() -> boost::asio::awaitable<void> {
        using boost::asio::use_awaitable;
        auto image = VornFile::initWithFileName("small.png", smallPng());
        co_await async::upload(
            image, [&](float fraction) { progress.push_back(fraction); }, use_awaitable);
        EXPECT_TRUE(image->url());

        auto thumbnail = co_await async::thumbnailByWidth(8, 0, image->url(), 0, use_awaitable);
        thumbnailUrl = std::get<std::shared_ptr<VornFile>>(thumbnail)->url().value_or("");

        Bytes big(VornFile::kPieceSize * 2 + 10);
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
        auto pieces = VornFile::initWithFileName("big.bin", big);
        co_await async::uploadInPieces(pieces, use_awaitable);
        piecesUrl = pieces->url().value_or("");

        try {
            co_await async::deleteFile(image, use_awaitable);
        } catch (const async::VornErrorException& exception) {
            EXPECT_EQ(exception.code(), kVornErrorCannotDeleteNow);
        }
    };
    ASSERT_TRUE(test::runCoroutine(coroutine()));
    ASSERT_FALSE(progress.empty());
    EXPECT_FLOAT_EQ(progress.back(), 1.0f);
    EXPECT_FALSE(thumbnailUrl.empty());
    EXPECT_FALSE(piecesUrl.empty());
}

TEST_F(Subsystems, ImagesOfAMissingSourceFailWithTheServiceCode) {
    std::pair<std::string, int> failure;
    auto coroutine = [&]() -> boost::asio::awaitable<void> {
        try {
            co_await async::cutImage(4, 4, 0, std::string("http://" + host() + "/files/nothing.png"), 0,
                                     boost::asio::use_awaitable);
        } catch (const async::VornErrorException& exception) {
            failure = {exception.error().domain, exception.error().code};
        }
    };
    ASSERT_TRUE(test::runCoroutine(coroutine()));
    EXPECT_EQ(failure.first, kVornErrorDomain);
    EXPECT_GT(failure.second, 0);
    EXPECT_LT(failure.second, 20000);
}
#endif

TEST_F(Subsystems, CloudFunctionsAnswerOrFail) {
    auto hello = async::callFunction("hello", nlohmann::json{{"name", "Ada"}}, use_future);
    EXPECT_EQ(std::get<nlohmann::json>(resultOf(hello)), (nlohmann::json{{"message", "Hello, Ada"}}));

    bool called = false;
    std::exception_ptr failure;
    async::callFunction("fail", nlohmann::json{{"message", "on purpose"}},
                        [&](std::exception_ptr e, const VornCloudResult&) {
        failure = std::move(e);
        called = true;
    });
    ASSERT_TRUE(test::waitFor(called));
    const auto error = async::errorOf(failure);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kVornErrorCloudFunctionFailed);
    EXPECT_EQ(error->message(), "on purpose");
}

TEST_F(Subsystems, InstallationsSaveAndPushesReachThem) {
    auto installation = VornInstallation::currentInstallation();
    installation->setDeviceTokenFromData(Bytes{1, 0xAB});
    installation->subsccribeToChannels({"news"});
    auto saved = async::save(installation, use_future);
    resultOf(saved);
    ASSERT_TRUE(installation->objectId());

    auto push = VornPush::push();
    push->setChannel("news");
    push->setMessage("hello");
    auto sent = async::sendPush(push, use_future);
    resultOf(sent);
    auto toChannel = async::pushMessageToChannel("news", "again", use_future);
    resultOf(toChannel);
    auto toQuery = async::pushDataToQuery(VornInstallation::query(), nlohmann::json{{"alert", "all"}}, use_future);
    resultOf(toQuery);
    const auto deliveries =
        emulatorServer().call([this] { return emulator::pushDeliveries(emulatorServer().storage()); });
    ASSERT_EQ(deliveries.size(), 3u);
    for (const auto& delivery : deliveries) EXPECT_EQ(delivery["installationId"], *installation->objectId());
}

TEST_F(Subsystems, HttpRequestsGiveTheirBytesOrTheFailure) {
    test::ScriptedHttpServer peer(
        [](const test::RecordedRequest& request) { return test::ScriptedAction::reply("got " + request.method); });
    auto request = VornUrlRequest::initWithUrl(peer.url("/anything"));
    request->setHttpMethod("GET");
    auto answered = async::run(request, use_future);
    EXPECT_EQ(resultOf(answered), "got GET");
    EXPECT_EQ(request->statusCode(), 200);

    test::ScriptedHttpServer closing([](const test::RecordedRequest&) { return test::ScriptedAction::close(); });
    auto failed = async::run(VornUrlRequest::initWithUrl(closing.url("/")), use_future);
    ASSERT_TRUE(test::waitForFuture(failed));
    try {
        failed.get();
        FAIL() << "a closed connection answered";
    } catch (const async::VornErrorException& exception) {
        EXPECT_EQ(exception.code(), kVornErrorConnectFailed);
        EXPECT_FALSE(exception.error().message().empty());
    }
}

}  // namespace vorn::async_subsystems_test
