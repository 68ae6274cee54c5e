// CPU time and resident memory of a process, from /proc, and this
// process's own CPU time.
#ifndef CORVANE_BOT_PROCSTATS_H
#define CORVANE_BOT_PROCSTATS_H

#include <cstdint>
#include <optional>

// User plus system CPU seconds of a process; nothing once it is gone.
std::optional<double> ProcessCpuSeconds(int pid);
// Resident set size in KiB.
std::optional<uint64_t> ProcessRssKiB(int pid);
// This process, all threads.
double OwnCpuSeconds();

#endif
