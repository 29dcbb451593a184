// The column weave alone (into an image allocated beforehand), in bytes per
// second, beside memcpy of the same number of bytes between two buffers: the
// weave reads and writes each byte once, so memcpy is the bound to hold it to.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "pipeline/interlacer.h"

namespace {

using interlace::Bitmap;

// Strips as a print-size set would have: `views` of them for a w x h image.
void make_strips(interlace::StripTable& strips, int views, int width, int height) {
  for (int v = 0; v < views; ++v) {
    Bitmap strip(FreeImage_Allocate(width / views, height, 24));
    std::memset(FreeImage_GetBits(strip.get()), v * 17,
                static_cast<std::size_t>(FreeImage_GetPitch(strip.get())) * static_cast<std::size_t>(height));
    strips.add(std::move(strip));
  }
}

void BM_Interlace(benchmark::State& state) {
  const int views = static_cast<int>(state.range(0));
  const int width = static_cast<int>(state.range(1));
  const int height = static_cast<int>(state.range(2));
  interlace::StripTable strips;
  make_strips(strips, views, width, height);
  const Bitmap image(FreeImage_Allocate(width, height, 24));
  for (auto _ : state) {
    interlace::weave_strips(strips, image.get());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{width} * height * 3);
}

void BM_Memcpy(benchmark::State& state) {
  const std::size_t bytes = static_cast<std::size_t>(state.range(1)) * static_cast<std::size_t>(state.range(2)) * 3;
  std::vector<char> source(bytes, 7), target(bytes);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), bytes);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

#define PRINT_SIZES Args({8, 4960, 3508})->Args({24, 1920, 1080})->Args({100, 400, 300})->Unit(benchmark::kMillisecond)
BENCHMARK(BM_Interlace)->PRINT_SIZES;
BENCHMARK(BM_Memcpy)->PRINT_SIZES;

}  // namespace

BENCHMARK_MAIN();
