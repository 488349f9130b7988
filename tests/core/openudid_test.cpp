#include "support/TestDevice.h"

#include "vorn/core/FileUtils.h"
#include "vorn/core/StoreKeys.h"
#include "vorn/core/vkOpenUDID.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace vorn;

namespace {

const std::regex kIdentifierForm("[0-9a-f]{40}");

std::string identifier(char digit) {
    return std::string(40, digit);
}

void putSlot(int n, const nlohmann::json& record) {
    vkOpenUDID::_setDict(record, vkOpenUDID::slotName(n));
}

/// A new process of the same application: the cache is empty again.
std::string computeAgain(std::optional<VornError>* status = nullptr) {
    vkOpenUDID::resetCacheForTesting();
    return vkOpenUDID::valueWithError(status);
}

}  // namespace

TEST(OpenUDID, FreshDeviceCreatesRecordAndSlotZero) {
    test::TestDevice device;
    std::optional<VornError> status;
    const auto first = vkOpenUDID::valueWithError(&status);
    EXPECT_TRUE(std::regex_match(first, kIdentifierForm)) << first;
    ASSERT_TRUE(status);
    EXPECT_EQ(status->domain, vkOpenUDID::kOpenUDIDDomain);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(status->userInfo.at("description"), "OpenUDID succesfully retrieved");

    const auto record = device.store().objectForKey(storekeys::kOpenUDID).value();
    EXPECT_EQ(record["OpenUDID"], first);
    EXPECT_EQ(record["OpenUDID_slot"], vkOpenUDID::slotName(0));
    EXPECT_TRUE(record.contains("OpenUDID_appUID"));
    EXPECT_TRUE(record.contains("OpenUDID_createdTS"));
    EXPECT_EQ(vkOpenUDID::_getDictFromPasteboard(vkOpenUDID::slotName(0))["OpenUDID"], first);
    EXPECT_EQ(vkOpenUDID::slotName(7), std::string(vkOpenUDID::kOpenUDIDDomain) + ".slot.7");

    EXPECT_EQ(vkOpenUDID::valueWithError(&status), first);
    EXPECT_EQ(status->userInfo.at("description"), "OpenUDID in cache from first call");
    // A restart keeps it, and keeps using slot 0.
    EXPECT_EQ(computeAgain(), first);
    EXPECT_FALSE(DeviceContext::shared().slotStore()->exists(vkOpenUDID::slotName(1)));
}

TEST(OpenUDID, MostFrequentSlotIdentifierWins) {
    test::TestDevice device;
    putSlot(0, {{"OpenUDID", identifier('b')}, {"OpenUDID_appUID", "other-1"}});
    putSlot(1, {{"OpenUDID", identifier('a')}, {"OpenUDID_appUID", "other-2"}});
    putSlot(2, {{"OpenUDID", identifier('a')}, {"OpenUDID_appUID", "other-3"}});
    EXPECT_EQ(vkOpenUDID::value(), identifier('a'));
    // This application's copy went to the first free slot.
    EXPECT_EQ(vkOpenUDID::_getDictFromPasteboard(vkOpenUDID::slotName(3))["OpenUDID"], identifier('a'));
}

TEST(OpenUDID, DamagedSlotReadsEmptyAndIsReused) {
    test::TestDevice device;
    putSlot(0, {{"OpenUDID", identifier('c')}});
    DeviceContext::shared().slotStore()->write(vkOpenUDID::slotName(1), "{not json");
    DeviceContext::shared().slotStore()->write(vkOpenUDID::slotName(2), "[1, 2]");
    EXPECT_TRUE(vkOpenUDID::_getDictFromPasteboard(vkOpenUDID::slotName(1)).empty());
    EXPECT_TRUE(vkOpenUDID::_getDictFromPasteboard(vkOpenUDID::slotName(2)).empty());
    EXPECT_EQ(vkOpenUDID::value(), identifier('c'));
    EXPECT_EQ(vkOpenUDID::_getDictFromPasteboard(vkOpenUDID::slotName(1))["OpenUDID"], identifier('c'));
}

TEST(OpenUDID, LocalRecordWinsButReportsDiscrepancy) {
    test::TestDevice device;
    device.store().setObject(nlohmann::json{{"OpenUDID", identifier('d')}, {"OpenUDID_slot", vkOpenUDID::slotName(0)}},
                             storekeys::kOpenUDID);
    putSlot(0, {{"OpenUDID", identifier('e')}});
    putSlot(1, {{"OpenUDID", identifier('e')}});
    std::optional<VornError> status;
    EXPECT_EQ(vkOpenUDID::valueWithError(&status), identifier('d'));
    EXPECT_EQ(status->code, 2);
    EXPECT_NE(status->userInfo.at("description").find("discrepancy"), std::string::npos);
}

TEST(OpenUDID, OptOutGivesZerosUntilOptIn) {
    test::TestDevice device;
    const auto id = vkOpenUDID::value();
    vkOpenUDID::setOptOut(true);
    std::optional<VornError> status;
    EXPECT_EQ(vkOpenUDID::valueWithError(&status), identifier('0'));
    EXPECT_EQ(status->code, 1);
    EXPECT_NE(status->userInfo.at("description").find("is opted-out from OpenUDID as of "), std::string::npos);
    EXPECT_EQ(computeAgain(), identifier('0'));
    vkOpenUDID::setOptOut(false);
    EXPECT_EQ(vkOpenUDID::valueWithError(&status), id);
    EXPECT_EQ(status->code, 0);
}

TEST(OpenUDID, ConcurrentFirstCallsAgree) {
    test::TestDevice device;
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[i] = vkOpenUDID::value(); });
    for (auto& thread : threads) thread.join();
    for (const auto& value : seen) EXPECT_EQ(value, seen[0]);
    // Only one copy was written.
    EXPECT_FALSE(DeviceContext::shared().slotStore()->exists(vkOpenUDID::slotName(1)));
}

TEST(OpenUDID, FreshIdentifiersAreFortyHexDigits) {
    const auto a = vkOpenUDID::_generateFreshOpenUDID();
    EXPECT_TRUE(std::regex_match(a, kIdentifierForm)) << a;
    EXPECT_NE(a, vkOpenUDID::_generateFreshOpenUDID());
}

TEST(OpenUDID, IdentifiersOfAnotherFormAndOversizedSlotsAreIgnored) {
    test::TestDevice device;
    // Slots are other applications' input: only the library's own form counts.
    for (int n = 0; n < 3; ++n)
        putSlot(n, {{"OpenUDID", "x\r\nInjected: 1"}, {"OpenUDID_appUID", "o" + std::to_string(n)}});
    putSlot(3, {{"OpenUDID", std::string(40, 'A')}});
    putSlot(4, {{"OpenUDID", identifier('7')}});
    DeviceContext::shared().slotStore()->write(
        vkOpenUDID::slotName(5),
        nlohmann::json{{"OpenUDID", identifier('8')}, {"padding", std::string(64 * 1024, ' ')}}.dump());
    DeviceContext::shared().slotStore()->write(vkOpenUDID::slotName(6),
                                               nlohmann::json{{"OpenUDID", identifier('8')}}.dump());
    DeviceContext::shared().slotStore()->write(vkOpenUDID::slotName(7),
                                               nlohmann::json{{"OpenUDID", identifier('8')}}.dump());
    EXPECT_TRUE(vkOpenUDID::_getDictFromPasteboard(vkOpenUDID::slotName(5)).empty());
    // '8' is in three slots but one is oversized: two against the single '7'.
    EXPECT_EQ(computeAgain(), identifier('8'));

    // A local record of another form is replaced by a well-formed identifier.
    test::TestDevice other;
    other.store().setObject(nlohmann::json{{"OpenUDID", "short"}}, storekeys::kOpenUDID);
    const auto fresh = computeAgain();
    EXPECT_TRUE(std::regex_match(fresh, kIdentifierForm)) << fresh;
    EXPECT_EQ(other.store().objectForKey(storekeys::kOpenUDID)->at("OpenUDID"), fresh);
}
