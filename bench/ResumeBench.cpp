// What keeping a frame for a resume costs each recipient of a send: one
// push into its ring (a reference to the shared buffer), which in steady
// state also drops the oldest frame. For comparison, the host's whole cost
// per delivered frame is what corvane-bot reports as "us per delivered frame".
#include "game/FrameRing.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A full ring of --send-queue bytes taking one frame of `range(0)` bytes
// after another, as a broadcast hands it to each recipient.
void BM_RingPush(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(state.range(0));
    CFrameRing ring(std::size_t{1} << 20);
    std::vector<std::shared_ptr<const std::string>> frames;
    for (int i = 0; i < 64; ++i) {
        frames.push_back(std::make_shared<const std::string>(size, static_cast<char>(i)));
    }
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ring.Push(frames[i++ & 63]));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RingPush)->Arg(32)->Arg(1400)->Arg(4000);

} // namespace

BENCHMARK_MAIN();
