// JSON from outside nested deeper than the library reads: refused before it
// is copied, on a stack far too small for recursion over the levels.
#include "support/SmallStack.h"
#include "support/TestDevice.h"

#include "vorn/core/JsonAccess.h"
#include "vorn/core/KeyValueStore.h"
#include "vorn/service/VornService.h"

#include <gtest/gtest.h>

#include <fstream>

namespace vorn::json_depth_test {

using test::deeplyNested;
using test::runOnSmallStack;

constexpr std::size_t kHostileDepth = 300000;

TEST(JsonDepth, NestingIsCountedOutsideStringsOnly) {
    EXPECT_TRUE(jsonutil::nestingWithin(deeplyNested(jsonutil::kMaxJsonDepth)));
    EXPECT_FALSE(jsonutil::nestingWithin(deeplyNested(jsonutil::kMaxJsonDepth + 1)));
    // Brackets in strings, escaped quotes included, do not count.
    const std::string inString = "[\"" + std::string(1000, '[') + "\\\"" + std::string(1000, '{') + "\"]";
    EXPECT_TRUE(jsonutil::nestingWithin(inString));
    EXPECT_FALSE(jsonutil::parse(inString).is_discarded());
    EXPECT_TRUE(jsonutil::parse(deeplyNested(jsonutil::kMaxJsonDepth + 1)).is_discarded());
    EXPECT_EQ(jsonutil::parse(deeplyNested(jsonutil::kMaxJsonDepth)).dump(), deeplyNested(jsonutil::kMaxJsonDepth));
    EXPECT_TRUE(jsonutil::parse("{").is_discarded());
}

TEST(JsonDepth, DeepRepliesAreUnreadable) {
    runOnSmallStack([] {
        const std::string deep = R"({"result":{"code":200},"data":{"results":[)" + deeplyNested(kHostileDepth) + "]}}";
        const VornServiceReply reply = VornServiceReply::parse(deep);
        EXPECT_FALSE(reply.parsed());
        const VornError error = reply.parserError();
        EXPECT_EQ(error.code, 3840);
        EXPECT_NE(error.userInfo.at("NSDebugDescription").find("256"), std::string::npos);
    });
}

TEST(JsonDepth, DeepStoredFilesReadAsAbsent) {
    test::TestDevice device;
    runOnSmallStack([&] {
        const auto storeFile = device.directory() / "store.json";
        std::ofstream(storeFile) << R"({"a":)" << deeplyNested(kHostileDepth) << R"(,"b":1})";
        FileKeyValueStore store(storeFile);
        EXPECT_FALSE(store.objectForKey("a"));
        EXPECT_FALSE(store.objectForKey("b"));
    });
}

}  // namespace vorn::json_depth_test
