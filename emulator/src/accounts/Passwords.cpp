#include "accounts/Passwords.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <charconv>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

namespace vorn::emulator::accounts {

namespace {

constexpr std::string_view kScheme = "pbkdf2_sha256";
// Stored counts above this are refused rather than run (a damaged row must
// not stall the server).
constexpr int kMaxIterations = 10'000'000;

std::vector<unsigned char> randomBytes(std::size_t count) {
    std::vector<unsigned char> bytes(count);
    if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
        throw std::runtime_error("the random generator failed");
    }
    return bytes;
}

std::string toHex(const unsigned char* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        hex += kDigits[data[i] >> 4];
        hex += kDigits[data[i] & 0x0f];
    }
    return hex;
}

std::optional<std::vector<unsigned char>> fromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::vector<unsigned char> bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, value, 16);
        if (error != std::errc() || end != hex.data() + i + 2) return std::nullopt;
        bytes.push_back(static_cast<unsigned char>(value));
    }
    return bytes;
}

std::vector<unsigned char> derive(std::string_view password, const std::vector<unsigned char>& salt, int iterations,
                                  std::size_t length) {
    std::vector<unsigned char> key(length);
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                          static_cast<int>(salt.size()), iterations, EVP_sha256(), static_cast<int>(key.size()),
                          key.data()) != 1) {
        throw std::runtime_error("password hashing failed");
    }
    return key;
}

// Splits "a$b$c$d" into its four parts.
std::optional<std::vector<std::string_view>> splitStored(std::string_view stored) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto dollar = stored.find('$');
        parts.push_back(stored.substr(0, dollar));
        if (dollar == std::string_view::npos || parts.size() > 4) break;
        stored.remove_prefix(dollar + 1);
    }
    if (parts.size() != 4) return std::nullopt;
    return parts;
}

}  // namespace

std::string hashPassword(std::string_view password) {
    const auto salt = randomBytes(kSaltBytes);
    const auto key = derive(password, salt, kPasswordIterations, kDerivedKeyBytes);
    return std::string(kScheme) + "$" + std::to_string(kPasswordIterations) + "$" + toHex(salt.data(), salt.size()) +
           "$" + toHex(key.data(), key.size());
}

bool verifyPassword(std::string_view password, std::string_view stored) {
    const auto parts = splitStored(stored);
    if (!parts || (*parts)[0] != kScheme) return false;
    int iterations = 0;
    const std::string_view count = (*parts)[1];
    const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), iterations);
    if (error != std::errc() || end != count.data() + count.size() || iterations < 1 || iterations > kMaxIterations) {
        return false;
    }
    const auto salt = fromHex((*parts)[2]);
    const auto expected = fromHex((*parts)[3]);
    if (!salt || !expected || expected->empty()) return false;
    const auto key = derive(password, *salt, iterations, expected->size());
    return CRYPTO_memcmp(key.data(), expected->data(), key.size()) == 0;
}

std::string randomHex(std::size_t bytes) {
    const auto data = randomBytes(bytes);
    return toHex(data.data(), data.size());
}

std::string randomDigits(std::size_t digits) {
    std::string text;
    text.reserve(digits);
    while (text.size() < digits) {
        // Bytes of 250 and above are dropped, so each digit is equally likely.
        for (unsigned char byte : randomBytes(digits)) {
            if (byte < 250 && text.size() < digits) text += static_cast<char>('0' + byte % 10);
        }
    }
    return text;
}

std::string sha256Hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return toHex(digest, size);
}

}  // namespace vorn::emulator::accounts
