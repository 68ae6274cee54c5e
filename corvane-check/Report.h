// The checker's output: a table for people, JSON for programs.
#ifndef CORVANE_CHECK_REPORT_H
#define CORVANE_CHECK_REPORT_H

#include "Checks.h"

#include <string>
#include <vector>

std::string FormatTable(const std::string& modulePath, const std::vector<SCheckResult>& results);
std::string FormatJson(const std::string& modulePath, uint32_t seed, const std::vector<SCheckResult>& results);

#endif
