// corvane-check: tells a module author whether a library honours the binary
// contract of KVServerApi.h before any player connects. Exit codes: 0 when
// every check that ran passed, 1 when one failed, 2 for a usage error.
#include "Checks.h"
#include "Report.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    std::string module;
    SCheckOptions options;
    bool json = false;
    unsigned timeoutSeconds = 30;

    CLI::App app{"corvane-check: loads a module library that exports KVServerStart, drives it through the\n"
                 "host interfaces with a recording host and reports which parts of the contract it keeps.\n"
                 "Each check runs in a process of its own: a module that crashes or hangs fails that check.",
                 "corvane-check"};
    app.add_option("MODULE", module, "The module library to check")->required();
    app.add_flag("--json", json, "Print the results as JSON");
    app.add_flag("--thread-safe", options.threadSafe,
                 "The module serialises its own entry points: also call it from several threads at once");
    app.add_option("--seed", options.seed, "Seed of the random messages")->capture_default_str();
    app.add_option("--timeout", timeoutSeconds, "Seconds each check may take")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600u));
    app.add_option("--only", options.only, "Run only these checks")
        ->check(CLI::IsMember(CheckNames()))
        ->delimiter(',');

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "corvane-check: %s (see --help)\n", e.what());
        return 2;
    }
    options.timeout = std::chrono::seconds(timeoutSeconds);

    std::error_code ec;
    if (!std::filesystem::is_regular_file(module, ec)) {
        std::fprintf(stderr, "corvane-check: %s: no such file\n", module.c_str());
        return 2;
    }

    const std::vector<SCheckResult> results = RunChecks(module, options);
    const std::string text = json ? FormatJson(module, options.seed, results) : FormatTable(module, results);
    std::fputs(text.c_str(), stdout);
    for (const SCheckResult& r : results) {
        if (r.result == ECheckResult::Fail) {
            return 1;
        }
    }
    return 0;
}
