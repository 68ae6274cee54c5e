// corvane-check against our module, a small module that keeps the contract
// and the same module with one fault per check: every check passes the good
// ones and fails the module with its fault, for the right reason.
#include "Checks.h"
#include "Report.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <memory>

namespace {

std::string Module(const std::string& name) { return std::string(CORVANE_CHECK_MODULE_DIR) + "/lib" + name + ".so"; }

std::string Table(const std::vector<SCheckResult>& results) { return FormatTable("", results); }

const SCheckResult& Find(const std::vector<SCheckResult>& results, const std::string& name)
{
    for (const SCheckResult& r : results) {
        if (r.name == name) {
            return r;
        }
    }
    throw std::runtime_error("no check " + name);
}

SCheckOptions ThreadSafe()
{
    SCheckOptions options;
    options.threadSafe = true;
    return options;
}

TEST(Checker, PassesModulesThatKeepTheContract)
{
    for (const std::string& path : {std::string(CORVANE_LIBRARY_PATH), Module("check_sample")}) {
        const std::vector<SCheckResult> results = RunChecks(path, ThreadSafe());
        ASSERT_EQ(results.size(), CheckNames().size());
        for (const SCheckResult& r : results) {
            EXPECT_EQ(r.result, ECheckResult::Pass) << path << "\n" << Table(results);
        }
    }
}

TEST(Checker, SkipsTheThreadCheckUnlessTheModuleSerialisesItself)
{
    const std::vector<SCheckResult> results = RunChecks(Module("check_sample"), SCheckOptions{});
    EXPECT_EQ(Find(results, "threads").result, ECheckResult::Skip);
    EXPECT_EQ(Find(results, "interleave").result, ECheckResult::Pass);
}

struct SFault {
    const char* module;
    const char* check;
    const char* reason; // part of what the check says it saw
    bool threadSafe;
};

void PrintTo(const SFault& fault, std::ostream* os) { *os << fault.module; }

class CheckerFault : public testing::TestWithParam<SFault> {};

TEST_P(CheckerFault, FailsTheRightCheck)
{
    const SFault& fault = GetParam();
    SCheckOptions options;
    options.threadSafe = fault.threadSafe;
    options.timeout = std::chrono::seconds(20);
    const std::vector<SCheckResult> results = RunChecks(Module(fault.module), options);
    const SCheckResult& failed = Find(results, fault.check);
    EXPECT_EQ(failed.result, ECheckResult::Fail) << Table(results);
    EXPECT_NE(failed.detail.find(fault.reason), std::string::npos) << Table(results);
    if (std::string(fault.check) != "start") {
        EXPECT_EQ(Find(results, "start").result, ECheckResult::Pass) << Table(results);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CheckerFault,
    testing::Values(SFault{"check_fault_exports", "exports", "SampleVersion", false},
                    SFault{"check_fault_start", "start", "interval 0", false},
                    SFault{"check_fault_modules", "modules", "two modules registered with id 7", false},
                    SFault{"check_fault_sender", "sender", "SetSender", false},
                    SFault{"check_fault_messages", "messages", "OnRecv let an exception out", false},
                    SFault{"check_fault_bounds", "bounds", "ending right before an unreadable page", false},
                    SFault{"check_fault_targets", "targets", "without restoring the target list", false},
                    SFault{"check_fault_cached_sender", "targets", "a sender the module no longer holds", false},
                    SFault{"check_fault_interleave", "interleave", "OnTimer let an exception out", false},
                    SFault{"check_fault_threads", "threads", "crashed with SIGABRT", true}),
    [](const testing::TestParamInfo<SFault>& param) { return std::string(param.param.module).substr(12); });

struct SRun {
    int exitCode = -1;
    std::string out;
};

SRun RunChecker(const std::string& args)
{
    SRun run;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen((std::string(CORVANE_CHECK_EXE) + " " + args + " 2>&1").c_str(), "r"),
                                               pclose);
    std::array<char, 4096> buf{};
    while (pipe && std::fgets(buf.data(), buf.size(), pipe.get()) != nullptr) {
        run.out += buf.data();
    }
    const int status = pclose(pipe.release());
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(CheckerProgram, ReportsATableOrJsonAndExitsWithTheVerdict)
{
    SRun good = RunChecker(Module("check_sample") + " --thread-safe");
    EXPECT_EQ(good.exitCode, 0) << good.out;
    EXPECT_NE(good.out.find("threads     pass"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("9 passed, 0 failed, 0 skipped"), std::string::npos) << good.out;

    SRun bad = RunChecker("--json --only start,sender " + Module("check_fault_sender"));
    EXPECT_EQ(bad.exitCode, 1) << bad.out;
    EXPECT_NE(bad.out.find(R"({"name":"start","result":"pass")"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find(R"({"name":"sender","result":"fail")"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find(R"("passed":1,"failed":1,"skipped":0})"), std::string::npos) << bad.out;

    SRun missing = RunChecker("/nonexistent/libnothing.so");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.out, "corvane-check: /nonexistent/libnothing.so: no such file\n");

    SRun unknown = RunChecker("--only nosuchcheck " + Module("check_sample"));
    EXPECT_EQ(unknown.exitCode, 2) << unknown.out;
}

} // namespace
