// A chat room's first steps written as one coroutine: sign up (or log in
// when the name is taken), post a message, read the room back, upload an
// attachment, then watch the room on the realtime channel and print the
// notice that the next message causes.
//
// Every call is an Asio asynchronous operation awaited with
// `boost::asio::use_awaitable` (vorn/async/VornAsync.h); a failure is a
// `vorn::async::VornErrorException` thrown at the `co_await`.
//
//     coroutines [API-HOST]
//
// The hosts default to the local emulator on 127.0.0.1:8470; the API host
// given names the API, file and cloud hosts at once; VORN_API_HOST (and the
// other VORN_*_HOST variables) point elsewhere, VORN_APP_KEY sets the key.

// Needs Asio's C++20 coroutine support: g++ 11 or later with -std=c++20
// (Boost 1.74 leaves it out under clang with libstdc++); built without it,
// the program says so and exits with 77.

#include <vorn/async/VornAsync.h>
#include <vorn/vorn.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <utility>
#include <variant>

#if defined(BOOST_ASIO_HAS_CO_AWAIT)

namespace {

using boost::asio::awaitable;
using boost::asio::use_awaitable;

/// Signs "sean" up, or logs in when the name is taken already.
awaitable<std::shared_ptr<vorn::VornUser>> enter(const std::string& name, const std::string& password) {
    auto user = vorn::VornUser::init();
    user->setUserName(name);
    user->setPassword(password);
    try {
        co_await vorn::async::signUp(user, use_awaitable);
        std::printf("signed up as %s\n", name.c_str());
        co_return vorn::VornUser::getCurrentUser();
    } catch (const vorn::async::VornErrorException& exception) {
        if (exception.error().code >= 20000) throw;  // the library's own: not a taken name
        std::printf("sign-up refused (%d %s): logging in\n", exception.error().code, exception.what());
    }
    auto current = co_await vorn::async::logIn(name, password, use_awaitable);
    std::printf("logged in as %s\n", name.c_str());
    co_return current;
}

awaitable<std::shared_ptr<vorn::VornObject>> post(const std::shared_ptr<vorn::VornUser>& author,
                                                  const std::string& text) {
    auto message = vorn::VornObject::objectWithClassName("ChatMessage");
    message->setObject(text, "text");
    message->setObject(vorn::VornValue(author), "author");
    co_await vorn::async::save(message, use_awaitable);
    co_return message;
}

awaitable<void> chat() {
    auto me = co_await enter("sean", "correct horse");

    auto hello = co_await post(me, "hello, room");
    std::printf("posted message %s\n", hello->objectId()->c_str());

    auto room = vorn::VornQuery::queryWithClassName("ChatMessage");
    room->orderByDescending("createdAt");
    room->setLimit(10);
    auto messages = co_await vorn::async::findObjects(room, use_awaitable);
    const int count = co_await vorn::async::countObjects(room, use_awaitable);
    std::printf("the room holds %d messages; the newest: %s\n", count,
                messages.empty() ? "-" : messages.front()->objectForKey("text")->json().dump().c_str());

    // g++ 12 cannot compile a braced initializer list inside a co_await
    // expression ("array used as initializer"): name the value first.
    const nlohmann::json greeting{{"name", "sean"}};
    const auto answer = co_await vorn::async::callFunction("hello", greeting, use_awaitable);
    const auto* answered = std::get_if<nlohmann::json>(&answer);  // a JSON value, or text
    std::printf("cloud function hello: %s\n", answered ? answered->dump().c_str() : std::get<1>(answer).c_str());

    const std::string note = "minutes of the first meeting\n";
    auto attachment = vorn::VornFile::initWithFileName("minutes.txt", vorn::Bytes(note.begin(), note.end()));
    co_await vorn::async::upload(
        attachment, [](float fraction) { std::printf("upload %3.0f%%\n", fraction * 100.0f); }, use_awaitable);
    std::printf("attachment at %s\n", attachment->url()->c_str());

    // Watch the room: a notice for every message created or changed.
    auto channel = vorn::async::EventChannel::attach(vorn::VornEvent::defaultVornEvent());
    co_await vorn::async::connect(channel, use_awaitable);
    channel->event()->listenTableChange(vorn::VornActionTypeUpdateTable, "ChatMessage");
    std::printf("watching the room\n");
    // Our own next message shows up as a notice. The subscription and the
    // message travel on different connections, so the first change may beat
    // the subscription: each wait is bounded by a timer that cancels it, and
    // the message is touched again until its notice comes.
    auto reply = co_await post(me, "anyone here?");
    boost::asio::steady_timer patience(co_await boost::asio::this_coro::executor);
    for (int attempt = 1;; ++attempt) {
        patience.expires_after(std::chrono::seconds(2));
        patience.async_wait([channel](const boost::system::error_code& error) {
            if (!error) channel->cancel();
        });
        bool cancelled = false;
        try {
            const auto notice = co_await vorn::async::nextNotice(channel, use_awaitable);
            const nlohmann::json& fields = notice.value;  // parsed; notice.text is the text as it came
            if (fields.is_object() && fields.value("objectId", "") == *reply->objectId()) {
                patience.cancel();
                std::printf("notice: %s %s of %s\n", fields.value("change", "?").c_str(),
                            fields.value("action", "?").c_str(), fields.value("objectId", "?").c_str());
                break;
            }
        } catch (const vorn::async::VornErrorException& exception) {
            if (exception.code() != vorn::async::kVornAsyncErrorCancelled || attempt == 5) throw;
            cancelled = true;
        }
        patience.cancel();
        if (cancelled) {
            reply->setObject(attempt, "edits");
            co_await vorn::async::update(reply, use_awaitable);
        }
    }
    reply->setObject(attachment, "attachment");
    co_await vorn::async::update(reply, use_awaitable);
    channel->event()->stop();
    vorn::VornUser::logout();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        const std::string host = argv[1];
        for (const char* name : {"VORN_API_HOST", "VORN_FALLBACK_HOST", "VORN_FILE_HOST", "VORN_CLOUD_HOST"}) {
            setenv(name, host.c_str(), 1);
        }
    }
    const char* key = std::getenv("VORN_APP_KEY");
    vorn::Vorn::registerWithAppKey(
        key != nullptr ? key : "demo-app-key",
        vorn::VornConfiguration{.bundleIdentifier = "com.vorn.coroutines", .displayName = "Coroutines"});

    auto& loop = vorn::MainLoop::shared();
    int status = 1;
    boost::asio::co_spawn(loop.context(), chat(), [&](const std::exception_ptr& failure) {
        status = 0;
        if (failure) {
            status = 1;
            try {
                std::rethrow_exception(failure);
            } catch (const vorn::async::VornErrorException& exception) {
                std::fprintf(stderr, "failed: %s %d %s\n", exception.error().domain.c_str(), exception.error().code,
                             exception.what());
            } catch (const std::exception& exception) {
                std::fprintf(stderr, "failed: %s\n", exception.what());
            }
        }
        loop.stop();
    });
    loop.run();
    if (status == 0) std::printf("coroutines: ok\n");
    return status;
}

#else

int main() {
    std::fprintf(stderr, "built without C++20 coroutine support in Asio\n");
    return 77;
}

#endif
