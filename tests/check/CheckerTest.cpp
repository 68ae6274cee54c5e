// corvane-check against our module, a small module that keeps the contract
// and the same module with one fault per check: every check passes the good
// ones and fails the module with its fault, for the right reason.
#include "Checks.h"
#include "Report.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <elf.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <unistd.h>

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

// The checker is killed after a minute, so that a hang fails the test.
SRun RunChecker(const std::string& args)
{
    SRun run;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(
        popen(("timeout -s KILL 60 " + std::string(CORVANE_CHECK_EXE) + " " + args + " 2>&1").c_str(), "r"), pclose);
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

TEST(CheckerProgram, StopsAModuleThatNeverReturnsFromStart)
{
    const auto started = std::chrono::steady_clock::now();
    SRun run = RunChecker("--timeout 2 --only start,modules " + Module("check_fault_hang"));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("did not finish within 2 s"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("start-up failed"), std::string::npos) << run.out;
    EXPECT_LT(took, std::chrono::seconds(10)) << run.out;
}

// True while the process exists and is not a zombie.
bool Alive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

TEST(CheckerProgram, AProcessTheModuleForksNeitherHoldsUpNorOutlivesTheCheck)
{
    const std::string pidFile = testing::TempDir() + "corvane-check-forked-" + std::to_string(getpid());
    std::remove(pidFile.c_str());
    setenv("CORVANE_TEST_PIDFILE", pidFile.c_str(), 1);
    const auto started = std::chrono::steady_clock::now();
    SRun run = RunChecker("--timeout 3 --only exports,start,modules,sender " + Module("check_fault_forked_child"));
    const auto took = std::chrono::steady_clock::now() - started;
    unsetenv("CORVANE_TEST_PIDFILE");
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_NE(run.out.find("4 passed, 0 failed"), std::string::npos) << run.out;
    EXPECT_LT(took, std::chrono::seconds(10)) << run.out;

    // One child per loading check, each gone once its check ended.
    std::ifstream pids(pidFile);
    std::vector<pid_t> forked;
    for (pid_t pid = 0; pids >> pid;) {
        forked.push_back(pid);
    }
    EXPECT_EQ(forked.size(), 3u);
    for (const pid_t pid : forked) {
        for (int i = 0; i < 100 && Alive(pid); ++i) {
            usleep(20000);
        }
        EXPECT_FALSE(Alive(pid)) << "forked child " << pid << " still runs";
        if (Alive(pid)) {
            kill(pid, SIGKILL);
        }
    }
    std::remove(pidFile.c_str());
}

// A shared object whose one dynamic symbol table has `symbols` exported
// functions, every one named by the same string of `nameLength` letters.
std::string ElfNamingOneStringManyTimes(std::size_t symbols, std::size_t nameLength)
{
    std::string file(sizeof(Elf64_Ehdr), '\0');
    const auto put = [&file](std::size_t at, const auto& value) { std::memcpy(file.data() + at, &value, sizeof value); };
    Elf64_Ehdr header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = ELFCLASS64;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_DYN;
    header.e_machine = EM_X86_64;
    header.e_version = EV_CURRENT;
    header.e_ehsize = sizeof(Elf64_Ehdr);
    header.e_shentsize = sizeof(Elf64_Shdr);
    header.e_shnum = 3;

    const std::size_t stringsAt = file.size();
    file += '\0' + std::string(nameLength, 'A') + '\0';
    const std::size_t symbolsAt = file.size();
    file.resize(symbolsAt + symbols * sizeof(Elf64_Sym));
    for (std::size_t i = 1; i < symbols; ++i) {
        Elf64_Sym sym{};
        sym.st_name = 1;
        sym.st_info = ELF64_ST_INFO(STB_GLOBAL, STT_FUNC);
        sym.st_shndx = 1;
        sym.st_value = 0x1000;
        put(symbolsAt + i * sizeof sym, sym);
    }
    header.e_shoff = file.size();
    file.resize(file.size() + 3 * sizeof(Elf64_Shdr));
    Elf64_Shdr dynsym{};
    dynsym.sh_type = SHT_DYNSYM;
    dynsym.sh_offset = symbolsAt;
    dynsym.sh_size = symbols * sizeof(Elf64_Sym);
    dynsym.sh_entsize = sizeof(Elf64_Sym);
    dynsym.sh_link = 2;
    Elf64_Shdr dynstr{};
    dynstr.sh_type = SHT_STRTAB;
    dynstr.sh_offset = stringsAt;
    dynstr.sh_size = nameLength + 2;
    put(header.e_shoff + sizeof(Elf64_Shdr), dynsym);
    put(header.e_shoff + 2 * sizeof(Elf64_Shdr), dynstr);
    put(0, header);
    return file;
}

TEST(Checker, RefusesSymbolTablesThatNameMoreThanTheFileHolds)
{
    // About 900 KB that would read as 8 GB of names.
    const std::string path = testing::TempDir() + "corvane-check-long-names-" + std::to_string(getpid()) + ".so";
    std::ofstream(path, std::ios::binary) << ElfNamingOneStringManyTimes(16384, 512 * 1024);
    SCheckOptions options;
    options.only = {"exports"};
    const std::vector<SCheckResult> results = RunChecks(path, options);
    std::remove(path.c_str());
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].result, ECheckResult::Fail) << Table(results);
    EXPECT_NE(results[0].detail.find("names add up to more bytes than the file has"), std::string::npos)
        << Table(results);
}

} // namespace
