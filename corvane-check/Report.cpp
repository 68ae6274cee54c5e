#include "Report.h"

#include "ops/JsonText.h"

#include <algorithm>
#include <cstdio>

namespace {

const char* ResultName(ECheckResult result)
{
    switch (result) {
    case ECheckResult::Pass:
        return "pass";
    case ECheckResult::Fail:
        return "FAIL";
    case ECheckResult::Skip:
        return "skip";
    }
    return "?";
}

std::size_t Count(const std::vector<SCheckResult>& results, ECheckResult which)
{
    return static_cast<std::size_t>(std::count_if(results.begin(), results.end(),
                                                  [which](const SCheckResult& r) { return r.result == which; }));
}

} // namespace

std::string FormatTable(const std::string& modulePath, const std::vector<SCheckResult>& results)
{
    std::size_t width = 5;
    for (const SCheckResult& r : results) {
        width = std::max(width, r.name.size());
    }
    std::string out = "corvane-check " + modulePath + "\n";
    out += "CHECK" + std::string(width - 5 + 2, ' ') + "RESULT  WHAT IT SAW\n";
    for (const SCheckResult& r : results) {
        out += r.name + std::string(width - r.name.size() + 2, ' ') + ResultName(r.result) + "    " + r.detail + "\n";
    }
    out += std::to_string(Count(results, ECheckResult::Pass)) + " passed, " +
           std::to_string(Count(results, ECheckResult::Fail)) + " failed, " +
           std::to_string(Count(results, ECheckResult::Skip)) + " skipped\n";
    return out;
}

std::string FormatJson(const std::string& modulePath, uint32_t seed, const std::vector<SCheckResult>& results)
{
    std::string out = "{\"module\":" + JsonQuote(modulePath) + ",\"seed\":" + std::to_string(seed) + ",\"checks\":[";
    for (std::size_t i = 0; i < results.size(); ++i) {
        const SCheckResult& r = results[i];
        out += (i == 0 ? "" : ",");
        out += "{\"name\":" + JsonQuote(r.name) + ",\"result\":\"" +
               (r.result == ECheckResult::Pass ? "pass" : r.result == ECheckResult::Fail ? "fail" : "skip") +
               "\",\"detail\":" + JsonQuote(r.detail) + "}";
    }
    out += "],\"passed\":" + std::to_string(Count(results, ECheckResult::Pass)) +
           ",\"failed\":" + std::to_string(Count(results, ECheckResult::Fail)) +
           ",\"skipped\":" + std::to_string(Count(results, ECheckResult::Skip)) + "}\n";
    return out;
}
