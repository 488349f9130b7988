// Password hashes and random secrets of the accounts.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "accounts/Passwords.h"

namespace vorn::emulator::accounts {
namespace {

TEST(EmulatorPasswordsTest, HashesVerifyOnlyTheirPassword) {
    const std::string hash = hashPassword("s3cret");
    EXPECT_TRUE(hash.starts_with("pbkdf2_sha256$" + std::to_string(kPasswordIterations) + "$")) << hash;
    EXPECT_EQ(hash.size(), std::string("pbkdf2_sha256$20000$").size() + 2 * kSaltBytes + 1 + 2 * kDerivedKeyBytes);
    EXPECT_EQ(hash.find("s3cret"), std::string::npos);
    EXPECT_TRUE(verifyPassword("s3cret", hash));
    EXPECT_FALSE(verifyPassword("s3cret ", hash));
    EXPECT_FALSE(verifyPassword("S3cret", hash));
    EXPECT_FALSE(verifyPassword("", hash));
    // Salted: the same password hashes differently each time.
    const std::string again = hashPassword("s3cret");
    EXPECT_NE(again, hash);
    EXPECT_TRUE(verifyPassword("s3cret", again));
    // Any bytes are a password.
    const std::string odd("a\0b\xff", 4);
    EXPECT_TRUE(verifyPassword(odd, hashPassword(odd)));
    EXPECT_FALSE(verifyPassword(std::string("a"), hashPassword(odd)));
}

TEST(EmulatorPasswordsTest, StoredIterationCountIsUsed) {
    // PBKDF2-HMAC-SHA256("password", "salt", 1 iteration, 32 bytes), a published test vector.
    const std::string oneRound =
        "pbkdf2_sha256$1$73616c74$120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b";
    EXPECT_TRUE(verifyPassword("password", oneRound));
    EXPECT_FALSE(verifyPassword("passwore", oneRound));
}

TEST(EmulatorPasswordsTest, MalformedStoredTextsMatchNothing) {
    const std::string good = hashPassword("pw");
    const std::string salt = good.substr(20, 2 * kSaltBytes);
    const std::string key = good.substr(21 + 2 * kSaltBytes);
    for (const std::string& stored :
         {std::string(), std::string("pw"), std::string("$$$"), "md5$20000$" + salt + "$" + key,
          "pbkdf2_sha256$$" + salt + "$" + key, "pbkdf2_sha256$0$" + salt + "$" + key,
          "pbkdf2_sha256$-5$" + salt + "$" + key, "pbkdf2_sha256$99999999999$" + salt + "$" + key,
          "pbkdf2_sha256$20000x$" + salt + "$" + key, "pbkdf2_sha256$20000$" + salt.substr(1) + "$" + key,
          "pbkdf2_sha256$20000$zz" + salt.substr(2) + "$" + key, "pbkdf2_sha256$20000$" + salt + "$",
          "pbkdf2_sha256$20000$" + salt + "$" + key + "$", "pbkdf2_sha256$20000$" + salt}) {
        EXPECT_FALSE(verifyPassword("pw", stored)) << stored;
    }
    EXPECT_TRUE(verifyPassword("pw", "pbkdf2_sha256$20000$" + salt + "$" + key));
}

TEST(EmulatorPasswordsTest, RandomSecrets) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string hex = randomHex(16);
        EXPECT_EQ(hex.size(), 32u);
        EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
        seen.insert(hex);
        const std::string digits = randomDigits(6);
        EXPECT_EQ(digits.size(), 6u);
        EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << digits;
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(randomDigits(0), "");
    EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace vorn::emulator::accounts
