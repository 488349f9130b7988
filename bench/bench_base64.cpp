// Encode and decode throughput of vBase64 on 1 MiB inputs, side by side
// with OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock.
#include "vorn/core/vBase64.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <random>

namespace {

constexpr std::size_t kInputSize = 1 << 20;

const vorn::Bytes& input() {
    static const vorn::Bytes data = [] {
        vorn::Bytes bytes(kInputSize);
        std::mt19937 random(42);
        for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
        return bytes;
    }();
    return data;
}

const vorn::Bytes& encoded() {
    static const vorn::Bytes text = *vorn::vBase64::encodeData(input());
    return text;
}

void BM_vBase64_Encode(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vorn::vBase64::encodeData(input()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
}

void BM_OpenSSL_EncodeBlock(benchmark::State& state) {
    std::vector<unsigned char> out(kInputSize / 3 * 4 + 8);
    for (auto _ : state) {
        // Same work as the codec: a fresh output buffer per call.
        std::vector<unsigned char> buffer(out.size());
        benchmark::DoNotOptimize(EVP_EncodeBlock(buffer.data(), input().data(), static_cast<int>(kInputSize)));
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
}

void BM_vBase64_Decode(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(vorn::vBase64::decodeData(encoded()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
}

void BM_OpenSSL_DecodeBlock(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<unsigned char> buffer(encoded().size() / 4 * 3);
        benchmark::DoNotOptimize(EVP_DecodeBlock(buffer.data(), encoded().data(), static_cast<int>(encoded().size())));
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
}

}  // namespace

BENCHMARK(BM_vBase64_Encode);
BENCHMARK(BM_OpenSSL_EncodeBlock);
BENCHMARK(BM_vBase64_Decode);
BENCHMARK(BM_OpenSSL_DecodeBlock);
BENCHMARK_MAIN();
