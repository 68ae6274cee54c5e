// One load run: connects the players, drives them at the asked rate on
// several I/O threads, and gathers what they measured.
#ifndef CORVANE_BOT_BOTRUN_H
#define CORVANE_BOT_BOTRUN_H

#include "BotOptions.h"
#include "BotResult.h"

#include <ostream>
#include <stdexcept>

class CBotSetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Status goes to `status` once a second (rewriting one line when `tty`).
// Throws CBotSetupError when the run cannot start at all.
CBotResult RunBot(const CBotOptions& options, std::ostream& status, bool tty);

#endif
