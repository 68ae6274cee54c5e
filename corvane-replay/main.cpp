// corvane-replay: drives a fresh module through a journal that corvane-host
// wrote with --record, and with --verify checks every send against it.
// Exit codes: 0 replayed (no difference), 1 a difference, 2 an unusable
// journal, module or command line (one line on standard error).
#include "Replayer.h"
#include "game/ModuleLoader.h"
#include "journal/Journal.h"
#include "ops/StartupError.h"

#include <CLI/CLI.hpp>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

int Fail(const std::string& message)
{
    std::fprintf(stderr, "corvane-replay: %s\n", message.c_str());
    return kReplayUnusable;
}

} // namespace

int main(int argc, char** argv)
{
    CReplayOptions options;
    std::string journal;
    std::string module = CModuleLoader::DefaultPath().string();
    uint64_t until = 0;

    CLI::App app{"corvane-replay: replays a session journal written by corvane-host --record through a freshly\n"
                 "loaded module, with the same calls, user ids and timer fires in the same order.",
                 "corvane-replay"};
    app.add_option("FILE", journal, "The journal")->required();
    app.add_option("--module", module, "Module library to load")->capture_default_str();
    app.add_flag("--verify", options.verify,
                 "Compare every send with the journal; stop at the first difference and exit 1");
    app.add_option("--until", until, "Replay records 1 to N only")->check(CLI::PositiveNumber);
    bool moduleOutput = false;
    app.add_flag("--module-output", moduleOutput, "Show the module's own standard output lines on standard error");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return Fail(std::string(e.what()) + " (see --help)");
    }
    options.journal = journal;
    options.module = module;
    if (until != 0) {
        options.until = until;
    }

    // The host's own warnings (a module that misbehaves) still show.
    auto logger = spdlog::stderr_logger_st("corvane-replay");
    logger->set_pattern("corvane-replay: %l: %v");
    logger->set_level(spdlog::level::warn);
    spdlog::set_default_logger(logger);

    // Standard output carries the report alone; the module's own lines go
    // to standard error when asked for, else nowhere.
    std::fflush(stdout);
    const int reportFd = ::dup(STDOUT_FILENO);
    const int moduleFd = moduleOutput ? STDERR_FILENO : ::open("/dev/null", O_WRONLY);
    if (reportFd < 0 || moduleFd < 0 || ::dup2(moduleFd, STDOUT_FILENO) < 0) {
        return Fail("cannot set up standard output");
    }
    std::ostringstream report;
    const auto deliver = [&] {
        std::fflush(stdout);
        const std::string text = report.str();
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(reportFd, text.data() + done, text.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
    };
    try {
        CReplayer replayer(options, report);
        const int code = replayer.Run();
        deliver();
        return code;
    } catch (const Journal::CJournalError& e) {
        deliver();
        return Fail(e.what());
    } catch (const CStartupError& e) {
        deliver();
        return Fail(e.what());
    }
}
