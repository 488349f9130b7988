#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn {

/// Fills `out` with cryptographically secure random bytes: OpenSSL's
/// generator, or the kernel's (getrandom) when OpenSSL cannot deliver.
/// Throws `std::runtime_error` when neither can, so no caller ever uses
/// bytes that were not filled.
void secureRandomBytes(std::uint8_t* out, std::size_t count);

}  // namespace vorn
