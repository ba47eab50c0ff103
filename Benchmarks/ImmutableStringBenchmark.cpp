// Interning an already interned text, on one thread and on two at once, beside a std::string copy of the same text
// (the cost every caller would pay without interning).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "zelcore/ImmutableString.h"

namespace {

using zelcore::utility::ImmutableString;

std::vector<std::string> const& Texts() {
  static std::vector<std::string> const texts = [] {
    std::vector<std::string> made;
    for (int i = 0; i < 1024; ++i) {
      made.push_back("0a1b2c3d-4e5f-4061-8273-8495a6b7c8d9__parameter-" + std::to_string(i) + "__key");
      ImmutableString::Create(made.back());
    }
    return made;
  }();
  return texts;
}

void BM_CreateInterned(benchmark::State& state) {
  auto const& texts = Texts();
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ImmutableString::Create(texts[i++ & 1023]));
  state.SetItemsProcessed(state.iterations());
}

void BM_StdStringCopyBaseline(benchmark::State& state) {
  auto const& texts = Texts();
  std::size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(std::string(texts[i++ & 1023]));
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_CreateInterned)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_StdStringCopyBaseline)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_MAIN();
