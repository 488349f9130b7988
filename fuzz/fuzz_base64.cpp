// Round-trips the input bytes through every encoder and feeds the same
// bytes, as text, to both decoders: nothing may crash, every round trip
// must give the input back, and a successful decode must re-encode to a
// text that decodes to the same bytes.
#include "vorn/core/vBase64.h"

#include <cstdlib>

using vorn::Bytes;
using vorn::vBase64;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes input(data, data + size);

    if (size > 0) {
        auto standard = vBase64::encodeData(input);
        if (!standard || vBase64::decodeData(*standard) != input) std::abort();
        for (bool padded : {true, false}) {
            auto webSafe = vBase64::webSafeEncodeData(input, padded);
            if (!webSafe || vBase64::webSafeDecodeData(*webSafe) != input) std::abort();
        }
    } else if (vBase64::encodeData(input)) {
        std::abort();
    }

    if (auto decoded = vBase64::decodeData(input)) {
        if (decoded->empty() || vBase64::decodeData(*vBase64::encodeData(*decoded)) != *decoded) std::abort();
    }
    if (auto decoded = vBase64::webSafeDecodeData(input)) {
        if (decoded->empty() || vBase64::webSafeDecodeData(*vBase64::webSafeEncodeData(*decoded, false)) != *decoded) {
            std::abort();
        }
    }
    return 0;
}
