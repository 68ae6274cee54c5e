// The conformance checks: each drives a freshly loaded module through the
// binary interfaces in a child process of its own, so that a module that
// crashes or hangs fails its check and the checker goes on.
#ifndef CORVANE_CHECK_CHECKS_H
#define CORVANE_CHECK_CHECKS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct SCheckOptions {
    // The module serialises its own entry points: also call it from several
    // threads at once.
    bool threadSafe = false;
    uint32_t seed = 1;
    std::chrono::milliseconds timeout{30000};
    // Run only these checks (all when empty).
    std::vector<std::string> only;
};

enum class ECheckResult { Pass, Fail, Skip };

struct SCheckResult {
    std::string name;
    ECheckResult result = ECheckResult::Skip;
    std::string detail;
};

// The names of the checks, in the order they run.
const std::vector<std::string>& CheckNames();

std::vector<SCheckResult> RunChecks(const std::string& modulePath, const SCheckOptions& options);

#endif
