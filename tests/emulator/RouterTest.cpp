// Router dispatch without sockets: the pipeline order and reply bodies.

#include <gtest/gtest.h>

#include "EmulatorTestUtil.h"
#include "vorn_emulator/Router.h"
#include "vorn_emulator/Storage.h"

namespace vorn::emulator::emutest {
namespace {

class EmulatorRouterTest : public ::testing::Test {
protected:
    Json dispatch(const std::string& method, const std::string& target, std::string body,
                  const HeaderList& headers = {}, unsigned* status = nullptr) {
        Request request;
        request.method = method;
        request.target = target;
        for (const auto& [name, value] : headers) request.headers.add(name, value);
        request.body = std::move(body);
        const HttpResponse response = router_.dispatch(request);
        if (status) *status = response.status;
        Json json = Json::parse(response.body, nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << response.body;
        return json;
    }

    Storage storage_{Storage::Options{"", true}};
    Router router_{storage_, Router::Options{"key"}};
};

TEST_F(EmulatorRouterTest, AppKeyIsCheckedBeforeThePathAndTheBody) {
    EXPECT_EQ(dispatch("POST", "/7/unknown", "garbage")["result"]["code"], 103);
    EXPECT_EQ(dispatch("POST", "/7/unknown", "garbage", {{"X-Vorn-App-Key", "key"}})["result"]["code"], 100);
    router_.addEnvelope("/7/known", [](RequestContext&) { return Json(1); });
    EXPECT_EQ(dispatch("POST", "/7/known", "garbage", {{"X-Vorn-App-Key", "key"}})["result"]["code"], 102);
    EXPECT_EQ(dispatch("POST", "/7/known", "{}", {{"X-Vorn-App-Key", "key"}})["result"]["code"], 200);
}

TEST_F(EmulatorRouterTest, LaterRegistrationReplacesEarlier) {
    router_.addEnvelope("/7/v", [](RequestContext&) { return Json(1); });
    router_.addEnvelope("/7/v", [](RequestContext&) { return Json(2); });
    EXPECT_EQ(dispatch("POST", "/7/v", "{}", {{"X-Vorn-App-Key", "key"}})["data"], 2);
    EXPECT_TRUE(router_.hasRoute("POST", "/7/v"));
    EXPECT_FALSE(router_.hasRoute("GET", "/7/v"));
}

TEST_F(EmulatorRouterTest, RepliesStayValidJsonWithInvalidUtf8) {
    router_.addEnvelope("/7/bytes", [](RequestContext&) { return Json(std::string("ok \xff\xfe end")); });
    router_.addEnvelope("/7/bad-message",
                        [](RequestContext&) -> Json { throw ServiceError(105, std::string("field \xc3 broken")); });
    const Json data = dispatch("POST", "/7/bytes", "{}", {{"X-Vorn-App-Key", "key"}});
    EXPECT_EQ(data["result"]["code"], 200);
    EXPECT_TRUE(data["data"].get<std::string>().starts_with("ok "));
    EXPECT_EQ(dispatch("POST", "/7/bad-message", "{}", {{"X-Vorn-App-Key", "key"}})["result"]["code"], 105);
}

TEST_F(EmulatorRouterTest, ErrorCodeTableIsConsistent) {
    int previous = 0;
    for (const auto& info : kErrorCodes) {
        EXPECT_GT(toInt(info.code), previous) << info.name;  // ascending, no duplicates
        EXPECT_LT(toInt(info.code), 20000) << info.name;
        EXPECT_FALSE(info.message.empty());
        EXPECT_EQ(findErrorCode(toInt(info.code)), &info);
        previous = toInt(info.code);
    }
    EXPECT_EQ(findErrorCode(200), nullptr);
    EXPECT_EQ(ServiceError(ErrorCode::ObjectNotFound).message(), "object not found");
    EXPECT_EQ(ServiceError(ErrorCode::ObjectNotFound).code(), 101);
}

TEST(EmulatorHeadersTest, LookupIgnoresCase) {
    Headers headers;
    headers.add("Content-Type", "application/json");
    headers.add("X-Vorn-Session-Token", "t");
    EXPECT_EQ(headers.get("content-type"), "application/json");
    EXPECT_EQ(headers.get("X-VORN-SESSION-TOKEN"), "t");
    EXPECT_FALSE(headers.get("X-Vorn-Session"));
    EXPECT_FALSE(headers.has("Accept"));
}

}  // namespace
}  // namespace vorn::emulator::emutest
