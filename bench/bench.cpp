// Micro-benchmarks of the two decoding passes and of a whole icon extraction
// (read, decode, encode, write) at the two sides in use.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "decode_bmp.h"
#include "main.h"

namespace {

std::vector<uint16_t> noise(size_t count)
{
    std::vector<uint16_t> pixels(count);
    uint32_t state = 12345;
    for (uint16_t& pixel : pixels) {
        state = state * 1664525u + 1013904223u;
        pixel = static_cast<uint16_t>(state >> 16);
    }
    return pixels;
}

void BM_CTPKtoBMP(benchmark::State& state)
{
    const int32_t side = static_cast<int32_t>(state.range(0));
    std::vector<uint16_t> raw = noise(size_t(side) * side);
    std::vector<uint8_t> bmp(3 * raw.size());
    for (auto _ : state) {
        CTPKtoBMP(raw.data(), bmp.data(), side);
        benchmark::DoNotOptimize(bmp.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(raw.size()));
}

void BM_DecodeBMPData(benchmark::State& state)
{
    const uint16_t side = static_cast<uint16_t>(state.range(0));
    std::vector<uint8_t> bmp(3u * side * side, 0x5A);
    std::vector<uint8_t> image(4u * side * side);
    for (auto _ : state) {
        DecodeBMPData(bmp.data(), image.data(), side);
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * side * side);
}

// The sample drawing's statistics matter for the encoder, so the bundled
// sample is what gets converted.
void BM_ConvertIcon(benchmark::State& state)
{
    const int32_t side = static_cast<int32_t>(state.range(0));
    const int32_t offset = side == 24 ? SMALL_ICON_OFFSET : LARGE_ICON_OFFSET;
    FILE* input = fopen(SAMPLE_ICN, "rb");
    if (input == nullptr) {
        state.SkipWithError("cannot open the sample");
        return;
    }
    std::string output = std::string(BENCH_SCRATCH) + "/bench-" + std::to_string(side) + ".png";
    for (auto _ : state) {
        if (ConvertIcon(input, output.c_str(), offset, side) != ICON_OK) {
            state.SkipWithError("ConvertIcon failed");
            break;
        }
    }
    fclose(input);
    remove(output.c_str());
}

}  // namespace

BENCHMARK(BM_CTPKtoBMP)->Arg(24)->Arg(48);
BENCHMARK(BM_DecodeBMPData)->Arg(24)->Arg(48);
BENCHMARK(BM_ConvertIcon)->Arg(24)->Arg(48);
BENCHMARK_MAIN();
