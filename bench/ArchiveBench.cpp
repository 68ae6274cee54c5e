// Encoding and decoding a full PoseList (255 entries, 2,300 bytes framed)
// against a plain memcpy of the same bytes, reported together as a ratio.
#include "archive/Archive.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

std::vector<ObjPos> FullList()
{
    std::vector<ObjPos> poses(kMaxSeqCount);
    for (std::size_t i = 0; i < poses.size(); ++i) {
        poses[i] = ObjPos{static_cast<uint32_t>(i + 1), static_cast<uint8_t>(i % 2), static_cast<int16_t>(i % 100),
                          static_cast<int16_t>(i / 100)};
    }
    return poses;
}

std::string Framed(const std::vector<ObjPos>& poses)
{
    std::string pkg;
    COutArchive ar(pkg);
    ar << uint16_t{99} << uint16_t{2} << poses;
    return pkg;
}

void BM_EncodePoseList(benchmark::State& state)
{
    const std::vector<ObjPos> poses = FullList();
    std::string pkg;
    for (auto _ : state) {
        COutArchive ar(pkg);
        ar << uint16_t{99} << uint16_t{2} << poses;
        benchmark::DoNotOptimize(pkg.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pkg.size()));
}
BENCHMARK(BM_EncodePoseList);

void BM_DecodePoseList(benchmark::State& state)
{
    const std::string pkg = Framed(FullList());
    std::vector<ObjPos> poses;
    for (auto _ : state) {
        CInArchive ar(pkg.data(), static_cast<int32_t>(pkg.size()));
        uint16_t cmd1 = 0;
        uint16_t cmd2 = 0;
        ar >> cmd1 >> cmd2 >> poses;
        benchmark::DoNotOptimize(poses.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pkg.size()));
}
BENCHMARK(BM_DecodePoseList);

void BM_MemcpyPoseList(benchmark::State& state)
{
    const std::string pkg = Framed(FullList());
    std::vector<char> copy(pkg.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), pkg.data(), pkg.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pkg.size()));
}
BENCHMARK(BM_MemcpyPoseList);

// Prints the console report, then each benchmark's time against memcpy's.
class CRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // One time per benchmark: its run, or its median over repetitions.
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") {
                continue;
            }
            m_times[run.run_name.function_name] = run.GetAdjustedCPUTime();
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        const auto memcpyTime = m_times.find("BM_MemcpyPoseList");
        if (memcpyTime == m_times.end()) {
            return;
        }
        for (const auto& [name, time] : m_times) {
            if (name != memcpyTime->first) {
                std::printf("%s takes %.1fx the CPU time of memcpy\n", name.c_str(), time / memcpyTime->second);
            }
        }
    }

private:
    std::map<std::string, double> m_times;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
