// One login's token check: the keyed-hash lookup of CTokenList against a
// constant-time comparison with every line, at 1,000 and 200,000 tokens.
// The scan is what a token list costs without the hash.
#include "game/TokenList.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Tokens(int64_t count)
{
    std::vector<std::string> tokens;
    tokens.reserve(static_cast<std::size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        tokens.push_back("player-" + std::to_string(i) + "-5f0c2a9e41d7b3c8");
    }
    return tokens;
}

bool ScanEqual(const std::vector<std::string>& tokens, const std::string& token)
{
    bool found = false;
    for (const std::string& line : tokens) {
        unsigned diff = line.size() == token.size() ? 0u : 1u;
        for (std::size_t i = 0; i < line.size() && i < token.size(); ++i) {
            diff |= static_cast<unsigned>(static_cast<unsigned char>(line[i]) ^ static_cast<unsigned char>(token[i]));
        }
        found |= diff == 0;
    }
    return found;
}

void BM_HashLookup(benchmark::State& state)
{
    const std::vector<std::string> tokens = Tokens(state.range(0));
    const CTokenList list(tokens);
    const std::string probe = tokens[tokens.size() / 2];
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.Accepts(probe));
    }
}

void BM_ScanLookup(benchmark::State& state)
{
    const std::vector<std::string> tokens = Tokens(state.range(0));
    const std::string probe = tokens[tokens.size() / 2];
    for (auto _ : state) {
        benchmark::DoNotOptimize(ScanEqual(tokens, probe));
    }
}

} // namespace

BENCHMARK(BM_HashLookup)->Arg(1000)->Arg(200000);
BENCHMARK(BM_ScanLookup)->Arg(1000)->Arg(200000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
