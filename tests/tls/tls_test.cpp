// Every road of the library over TLS against the emulator serving TLS: with
// its certificate trusted each works; with it untrusted, or made for another
// name, each fails as a transport failure before the server sees a request.
#include "asio/AsyncTestSupport.h"
#include "support/SmallPng.h"
#include "support/TestDevice.h"
#include "vorn/async/VornAsync.h"
#include "vorn/core/DeviceContext.h"
#include "vorn/core/ServiceHost.h"
#include "vorn/core/vBase64.h"
#include "vorn/core/v_VornUtils.h"
#include "vorn/files/VornFile.h"
#include "vorn/net/VornUrlRequest.h"
#include "vorn/push/VornInstallation.h"
#include "vorn/push/VornPush.h"
#include "vorn/query/VornQuery.h"
#include "vorn/realtime/SocketIOTransport.h"
#include "vorn/realtime/VornEvent.h"
#include "vorn/service/Vorn.h"
#include "vorn/users/VornUser.h"

#include <vorn_emulator/Pushes.h>
#include <vorn_emulator/Router.h>
#include <vorn_emulator/Server.h>
#include <vorn_emulator/Tls.h>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_future.hpp>

#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace vorn::tls_test {

using boost::asio::use_future;

using test::smallPng;

template <typename T>
T resultOf(std::future<T>& future) {
    EXPECT_TRUE(test::waitForFuture(future));
    return future.get();
}

/// The error a finished future holds; code 0 when it succeeded.
template <typename T>
VornError failureOf(std::future<T>& future) {
    EXPECT_TRUE(test::waitForFuture(future));
    try {
        future.get();
    } catch (const async::VornErrorException& exception) {
        return exception.error();
    }
    VornError none;
    none.domain = kVornErrorDomain;
    return none;
}

/// The emulator serving TLS on both of its ports, with the realtime host
/// offering `transports`, and a device pointed at it with "https://" hosts.
class TlsEmulator {
public:
    static constexpr const char* kAppKey = "tls-app-key";

    explicit TlsEmulator(const emulator::TlsIdentity& identity,
                         std::vector<std::string> transports = {"websocket", "xhr-polling"},
                         std::chrono::milliseconds readTimeout = std::chrono::seconds(30)) {
        emulator::Options options;
        options.port = 0;
        options.readTimeout = readTimeout;
        options.memory = true;
        options.appKey = kAppKey;
        options.tls = identity;
        emulator::RealtimeOptions realtime;
        realtime.port = 0;
        realtime.transports = std::move(transports);
        options.realtime = realtime;
        server = std::make_unique<emulator::Server>(options);
        port = server->start();
        const std::string host = "https://127.0.0.1:" + std::to_string(port);
        device = std::make_unique<test::TestDevice>(host);
        ServiceHosts hosts = DeviceContext::shared().hosts();
        hosts.realtime = "https://127.0.0.1:" + std::to_string(server->realtimePort());
        DeviceContext::shared().setHosts(hosts);
    }
    ~TlsEmulator() {
        test::drainLoop();
        server->stop();
    }
    TlsEmulator(const TlsEmulator&) = delete;
    TlsEmulator& operator=(const TlsEmulator&) = delete;

    /// Trusts `certificatePem` through the CA file, as VORN_CA_FILE would.
    void trust(const std::string& certificatePem) const {
        const auto file = device->directory() / "ca.pem";
        std::ofstream(file) << certificatePem;
        VornConfiguration configuration;
        configuration.caFile = file;
        DeviceContext::shared().configure(configuration);
    }
    void registerApp() const { Vorn::registerWithAppKey(kAppKey); }

    /// The requests the HTTP port answered (its request log).
    std::size_t requestsSeen() const {
        return server->call([this] {
            emulator::Request request;
            request.method = "GET";
            request.target = "/admin/requests";
            const auto reply = server->router().dispatch(request);
            return nlohmann::json::parse(reply.body).at("entries").size();
        });
    }
    std::size_t handshakesSeen() const { return server->realtime()->handshakeCount(); }

    std::unique_ptr<emulator::Server> server;
    std::unique_ptr<test::TestDevice> device;
    unsigned short port = 0;
};

const emulator::TlsIdentity& loopbackIdentity() {
    static const emulator::TlsIdentity identity = emulator::makeSelfSignedIdentity(emulator::loopbackNames());
    return identity;
}

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        emulator = std::make_unique<TlsEmulator>(loopbackIdentity());
        emulator->trust(loopbackIdentity().certificatePem);
        emulator->registerApp();
    }
    void TearDown() override { emulator.reset(); }
    std::unique_ptr<TlsEmulator> emulator;
};

TEST_F(Tls, TheServiceBasesTakeTheHostsScheme) {
    EXPECT_EQ(v_VornUtils::serverHostAddress().rfind("https://127.0.0.1:", 0), 0u);
    EXPECT_EQ(v_VornUtils::cloudServerHostAddress().rfind("https://", 0), 0u);
    EXPECT_EQ(v_VornUtils::fileHostAddress().rfind("https://", 0), 0u);
    EXPECT_EQ(v_VornUtils::storedFileDownloadAddress().rfind("https://", 0), 0u);
    EXPECT_TRUE(VornEvent::realtimeIsSecure());
    EXPECT_EQ(VornEvent::realtimeAddress().first, "127.0.0.1");
    EXPECT_EQ(VornEvent::realtimeAddress().second, emulator->server->realtimePort());

    for (const auto& [text, secure, authority] :
         std::vector<std::tuple<std::string, bool, std::string>>{{"api.example:8443", false, "api.example:8443"},
                                                                 {"HTTPS://api.example/", true, "api.example"},
                                                                 {"wss://rt.example:3010", true, "rt.example:3010"},
                                                                 {"http://[::1]:80", false, "[::1]:80"},
                                                                 {"ws://rt.example", false, "rt.example"}}) {
        const ServiceHost host = ServiceHost::parse(text);
        EXPECT_EQ(host.secure, secure) << text;
        EXPECT_EQ(host.authority, authority) << text;
    }
}

TEST_F(Tls, ObjectsSaveAndAreFound) {
    auto object = VornObject::objectWithClassName("Score");
    object->setObject(VornValue(7), "score");
    auto saved = async::save(object, use_future);
    resultOf(saved);
    ASSERT_TRUE(object->objectId());
    auto found = async::findObjects(VornQuery::queryWithClassName("Score"), use_future);
    const auto objects = resultOf(found);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0]->objectForKey("score")->json(), 7);
    EXPECT_GE(emulator->requestsSeen(), 2u);
}

TEST_F(Tls, UsersSignUpAndLogIn) {
    auto user = VornUser::init();
    user->setUserName("ada");
    user->setPassword("analytical");
    auto signedUp = async::signUp(user, use_future);
    resultOf(signedUp);
    ASSERT_TRUE(user->objectId());
    VornUser::logout();
    auto loggedIn = async::logIn("ada", "analytical", use_future);
    EXPECT_EQ(resultOf(loggedIn)->objectId(), user->objectId());
}

TEST_F(Tls, FilesUploadInPiecesAndDownloadAndImagesAreMadeOfThem) {
    Bytes big(VornFile::kPieceSize * 2 + 10);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    auto pieces = VornFile::initWithFileName("big.bin", big);
    auto uploaded = async::uploadInPieces(pieces, use_future);
    resultOf(uploaded);
    ASSERT_TRUE(pieces->url());
    const std::string url = VornFile::absoluteUrl(*pieces->url());
    EXPECT_EQ(url.rfind("https://", 0), 0u) << url;
    auto download = VornUrlRequest::initWithUrl(url);
    download->setHttpMethod("GET");
    auto downloaded = async::run(download, use_future);
    const std::string bytes = resultOf(downloaded);
    EXPECT_EQ(bytes, std::string(big.begin(), big.end()));

    auto image = VornFile::initWithFileName("small.png", smallPng());
    auto imageUploaded = async::upload(image, use_future);
    resultOf(imageUploaded);
    auto thumbnail = async::thumbnailByWidth(8, 0, image->url(), 0, use_future);
    const auto made = resultOf(thumbnail);
    EXPECT_TRUE(std::get<std::shared_ptr<VornFile>>(made)->url());
}

TEST_F(Tls, CloudFunctionsAndPushesAnswer) {
    const nlohmann::json name{{"name", "Ada"}};
    auto hello = async::callFunction("hello", name, use_future);
    EXPECT_EQ(std::get<nlohmann::json>(resultOf(hello)), (nlohmann::json{{"message", "Hello, Ada"}}));

    auto installation = VornInstallation::currentInstallation();
    installation->setDeviceTokenFromData(Bytes{1, 0xAB});
    installation->subsccribeToChannels({"news"});
    auto saved = async::save(installation, use_future);
    resultOf(saved);
    auto pushed = async::pushMessageToChannel("news", "hello", use_future);
    resultOf(pushed);
    auto& server = *emulator->server;
    EXPECT_EQ(server.call([&] { return emulator::pushDeliveries(server.storage()); }).size(), 1u);
}

/// A change notice over the realtime host's one offered transport.
class TlsRealtime : public ::testing::TestWithParam<std::string> {};

TEST_P(TlsRealtime, ASubscriptionGetsItsNotice) {
    TlsEmulator emulator(loopbackIdentity(), {GetParam()});
    emulator.trust(loopbackIdentity().certificatePem);
    emulator.registerApp();
    auto event = VornEvent::init();
    auto channel = async::EventChannel::attach(event);
    auto connected = async::connect(channel, use_future);
    resultOf(connected);

    auto object = VornObject::objectWithClassName("Score");
    object->setObject(VornValue(1), "score");
    auto saved = async::save(object, use_future);
    resultOf(saved);
    event->listenRowChange(VornActionTypeUpdateRow, "Score", *object->objectId());
    ASSERT_TRUE(test::runUntil([&] { return emulator.server->realtimeSubscriptionCount() == 1; }));
    auto notice = async::nextNotice(channel, use_future);
    object->setObject(VornValue(2), "score");
    auto updated = async::update(object, use_future);
    resultOf(updated);
    EXPECT_EQ(resultOf(notice).value["object"]["score"], 2);
    event->stop();
}

INSTANTIATE_TEST_SUITE_P(Transports, TlsRealtime, ::testing::Values("websocket", "xhr-polling"));

/// Every road, each expected to fail before a request reaches the server.
void expectEveryRoadFailsUnheard(const TlsEmulator& emulator) {
    auto object = VornObject::objectWithClassName("Score");
    object->setObject(VornValue(1), "score");
    auto saved = async::save(object, use_future);
    EXPECT_EQ(failureOf(saved).code, kVornErrorConnectFailed);

    auto loggedIn = async::logIn("ada", "analytical", use_future);
    EXPECT_EQ(failureOf(loggedIn).code, kVornErrorConnectFailed);

    auto file = VornFile::initWithFileName("small.png", smallPng());
    auto uploaded = async::upload(file, use_future);
    EXPECT_EQ(failureOf(uploaded).code, kVornErrorConnectFailed);

    auto thumbnail = async::thumbnailByWidth(8, 0, std::string("files/x.png"), 0, use_future);
    EXPECT_EQ(failureOf(thumbnail).code, kVornErrorConnectFailed);

    const nlohmann::json name{{"name", "Ada"}};
    auto called = async::callFunction("hello", name, use_future);
    EXPECT_EQ(failureOf(called).code, kVornErrorConnectFailed);

    auto pushed = async::pushMessageToChannel("news", "hello", use_future);
    EXPECT_EQ(failureOf(pushed).code, kVornErrorConnectFailed);

    auto event = VornEvent::init();
    auto channel = async::EventChannel::attach(event);
    auto connected = async::connect(channel, use_future);
    const VornError realtime = failureOf(connected);
    EXPECT_EQ(realtime.domain, kSocketIOErrorDomain);
    EXPECT_EQ(realtime.code, kSocketIOErrorHandshakeFailed);
    event->stop();

    EXPECT_EQ(emulator.requestsSeen(), 0u);
    EXPECT_EQ(emulator.handshakesSeen(), 0u);
}

TEST(TlsTrust, AnUntrustedCertificateFailsEveryRoadUnheard) {
    TlsEmulator emulator(loopbackIdentity());
    emulator.registerApp();  // no CA file: the system's store knows nothing of it
    expectEveryRoadFailsUnheard(emulator);
}

TEST(TlsTrust, ACertificateForAnotherNameFailsEveryRoadUnheard) {
    const auto elsewhere = emulator::makeSelfSignedIdentity({"elsewhere.example"});
    TlsEmulator emulator(elsewhere);
    emulator.trust(elsewhere.certificatePem);  // trusted, but not for 127.0.0.1
    emulator.registerApp();
    expectEveryRoadFailsUnheard(emulator);
}

TEST(TlsTrust, PinsAdmitTheServersKeyAndRefuseOthers) {
    TlsEmulator emulator(loopbackIdentity());
    emulator.trust(loopbackIdentity().certificatePem);
    emulator.registerApp();
    auto pinned = [](std::vector<std::string> pins) {
        VornConfiguration configuration;
        configuration.publicKeyPins = std::move(pins);
        DeviceContext::shared().configure(configuration);
        auto object = VornObject::objectWithClassName("Score");
        object->setObject(VornValue(1), "score");
        auto saved = async::save(object, use_future);
        return failureOf(saved).code;
    };
    const std::string pin = emulator::publicKeyPin(loopbackIdentity().certificatePem);
    const std::string other = emulator::publicKeyPin(emulator::makeSelfSignedIdentity({"x.example"}).certificatePem);
    const std::size_t before = emulator.requestsSeen();
    EXPECT_EQ(pinned({other, "sha256//" + pin}), 0);
    EXPECT_EQ(emulator.requestsSeen(), before + 1);
    EXPECT_EQ(pinned({other}), kVornErrorConnectFailed);
    EXPECT_EQ(emulator.requestsSeen(), before + 1);
}

TEST_F(Tls, TheConsoleIsServedOverHttpsAndKnowsItsOrigin) {
    auto page = VornUrlRequest::initWithUrl("https://127.0.0.1:" + std::to_string(emulator->port) + "/console");
    page->setHttpMethod("GET");
    auto loaded = async::run(page, use_future);
    EXPECT_NE(resultOf(loaded).find("<html"), std::string::npos);
    EXPECT_EQ(page->statusCode(), 200);

    // Its own origin is the https one now.
    auto statusWithOrigin = [&](const std::string& origin) {
        return emulator->server->call([&] {
            emulator::Request request;
            request.method = "GET";
            request.target = "/admin/classes";
            request.remoteAddress = "127.0.0.1";
            request.secure = true;
            request.headers.add("Host", "127.0.0.1:" + std::to_string(emulator->port));
            request.headers.add("Origin", origin);
            return emulator->server->router().dispatch(request).status;
        });
    };
    EXPECT_EQ(statusWithOrigin("https://127.0.0.1:" + std::to_string(emulator->port)), 200u);
    EXPECT_EQ(statusWithOrigin("http://127.0.0.1:" + std::to_string(emulator->port)), 403u);
}

TEST(TlsEmulatorFront, AHandshakeThatNeverComesEndsAtTheReadLimit) {
    TlsEmulator emulator(loopbackIdentity(), {"websocket"}, std::chrono::milliseconds(300));
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket silent(ioc);
    silent.connect({boost::asio::ip::make_address("127.0.0.1"), emulator.port});
    // A deadline for the read below: it ends with an error if nothing closes the socket.
    const timeval deadline{10, 0};
    ::setsockopt(silent.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
    const auto started = std::chrono::steady_clock::now();
    char byte = 0;
    boost::system::error_code ended;
    silent.read_some(boost::asio::buffer(&byte, 1), ended);  // blocks until the emulator closes it
    EXPECT_EQ(ended, boost::asio::error::eof);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(TlsEmulatorIdentity, ReadsWritesAndDescribesItsCertificate) {
    const auto identity = emulator::makeSelfSignedIdentity(emulator::loopbackNames());
    test::TestDevice device;
    const auto written = emulator::writeIdentity(identity, device.directory() / "tls", "localhost");
    EXPECT_EQ(written, device.directory() / "tls" / "localhost.pem");
    const auto key = device.directory() / "tls" / "localhost-key.pem";
    EXPECT_EQ(std::filesystem::status(key).permissions() & std::filesystem::perms::group_read,
              std::filesystem::perms::none);
    const auto read = emulator::loadIdentity(written, key);
    EXPECT_EQ(read.certificatePem, identity.certificatePem);
    const std::string fingerprint = emulator::certificateFingerprint(identity.certificatePem);
    EXPECT_EQ(fingerprint.size(), 32u * 3 - 1);
    EXPECT_EQ(emulator::publicKeyPin(identity.certificatePem).size(), 44u);

    const auto other = emulator::makeSelfSignedIdentity({"localhost"});
    std::ofstream(device.directory() / "other-key.pem") << other.privateKeyPem;
    EXPECT_THROW(emulator::loadIdentity(written, device.directory() / "other-key.pem"), std::runtime_error);
    EXPECT_THROW(emulator::loadIdentity(key, key), std::runtime_error);
    EXPECT_THROW(emulator::makeSelfSignedIdentity({}), std::invalid_argument);
}

}  // namespace vorn::tls_test
