#include "vorn/core/SecureRandom.h"

#include <openssl/rand.h>
#include <sys/random.h>

#include <cerrno>
#include <climits>
#include <stdexcept>

namespace vorn {

void secureRandomBytes(std::uint8_t* out, std::size_t count) {
    if (count == 0) return;
    if (count <= static_cast<std::size_t>(INT_MAX) && RAND_bytes(out, static_cast<int>(count)) == 1) return;
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t got = ::getrandom(out + filled, count - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("no secure random bytes");
        }
        filled += static_cast<std::size_t>(got);
    }
}

}  // namespace vorn
