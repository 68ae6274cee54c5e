// The code-page conversions on text that converts and on text where every
// byte must be replaced, in the UTF-8 and the ASCII locale. Replacing must
// cost about what converting does: compare BM_Utf8ToAnsi/<size>/<locale>/1
// with .../0 in one run.
#include "host/Utility.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

const char* const kLocales[] = {"C.UTF-8", "C"};

// range(0): bytes; range(1): index into kLocales; range(2): 1 for input that
// is all invalid UTF-8 (0xFF), 0 for plain ASCII.
void BM_Utf8ToAnsi(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    setenv("LC_ALL", kLocales[state.range(1)], 1);
    const std::string in(size, state.range(2) != 0 ? '\xFF' : 'a');
    for (auto _ : state) {
        std::string out = Utf8ToAnsi(in);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
    state.SetLabel(std::string(kLocales[state.range(1)]) + (state.range(2) != 0 ? ", all 0xFF" : ", ASCII"));
}
BENCHMARK(BM_Utf8ToAnsi)
    ->ArgsProduct({{80 << 10, 160 << 10, 320 << 10}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
