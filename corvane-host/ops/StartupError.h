// A failure before the host serves anyone: reported as one line, exit code 2.
#ifndef CORVANE_HOST_STARTUPERROR_H
#define CORVANE_HOST_STARTUPERROR_H

#include <stdexcept>

class CStartupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

#endif
