#pragma once

// Password hashes and random secrets (OpenSSL).
//
// A password is kept only as "pbkdf2_sha256$ITERATIONS$SALT$HASH": PBKDF2
// with HMAC-SHA-256 over a random 16-byte salt, a 32-byte derived key, salt
// and key in lower-case hex. The iteration count is kept modest so that the
// emulator (and every test that signs users up) stays fast; the count is part
// of the stored text, so hashes made with another count still verify.

#include <cstddef>
#include <string>
#include <string_view>

namespace vorn::emulator::accounts {

inline constexpr int kPasswordIterations = 20000;
inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kDerivedKeyBytes = 32;

// A new salted hash of `password`.
std::string hashPassword(std::string_view password);

// Whether `password` matches a text made by hashPassword. A malformed stored
// text matches nothing.
bool verifyPassword(std::string_view password, std::string_view stored);

// `bytes` bytes from OpenSSL's random generator as lower-case hex.
std::string randomHex(std::size_t bytes);

// A random number of `digits` decimal digits (leading zeros kept).
std::string randomDigits(std::size_t digits);

// SHA-256 of `text` as lower-case hex.
std::string sha256Hex(std::string_view text);

}  // namespace vorn::emulator::accounts
