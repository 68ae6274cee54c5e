// One iconv conversion over a whole input, with a stand-in for each sequence
// that does not convert. POSIX only.
#ifndef CORVANE_HOST_ICONVRUN_H
#define CORVANE_HOST_ICONVRUN_H

#include <iconv.h>

#include <cerrno>
#include <algorithm>
#include <cstddef>

// Converts all of in into out (a string-like buffer of the target's code
// units), resizing out to what was written. onError(inPtr, inLeft, standIn)
// decides what an invalid or unconvertible sequence at inPtr becomes: it sets
// standIn and steps past the sequence, or returns false to give up.
//
// The cost stays linear however many sequences are replaced: out only ever
// grows by doubling, a stand-in is written in place, and after a replacement
// iconv is given a small window of the input, doubled while it converts.
// Without the window, a conversion of more than one step (glibc's UTF-32 to
// ASCII goes through its internal code) converts a whole chunk ahead and
// then converts it again to find where the next bad sequence was, for every
// replacement.
template <class In, class Out, class OnError>
bool RunIconv(iconv_t cd, const In& in, Out& out, OnError onError)
{
    using Unit = typename Out::value_type;
    constexpr std::size_t kInUnit = sizeof(typename In::value_type);
    constexpr std::size_t kFirstWindow = kInUnit;
    char* inPtr = const_cast<char*>(reinterpret_cast<const char*>(in.data()));
    std::size_t inLeft = in.size() * kInUnit;
    std::size_t window = inLeft;
    std::size_t done = 0;
    out.resize(in.size() + 16);
    // A last call without input writes any closing shift sequence.
    for (bool flushing = false;;) {
        char* outPtr = reinterpret_cast<char*>(out.data()) + done * sizeof(Unit);
        std::size_t outLeft = (out.size() - done) * sizeof(Unit);
        const std::size_t take = flushing ? 0 : std::min(inLeft, window);
        std::size_t takeLeft = take;
        const std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                        : iconv(cd, &inPtr, &takeLeft, &outPtr, &outLeft);
        const bool cutByWindow = take < inLeft;
        inLeft -= take - takeLeft;
        done = static_cast<std::size_t>(outPtr - reinterpret_cast<char*>(out.data())) / sizeof(Unit);
        if (rc != static_cast<std::size_t>(-1)) {
            if (flushing) {
                break;
            }
            if (inLeft == 0) {
                flushing = true;
            } else {
                window *= 2;
            }
        } else if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else if (errno == EINVAL && cutByWindow) {
            // A sequence cut by the window, not by the end of the input.
            window *= 2;
        } else {
            Unit standIn{};
            if (!onError(inPtr, inLeft, standIn)) {
                return false;
            }
            if (done == out.size()) {
                out.resize(out.size() * 2);
            }
            out[done++] = standIn;
            window = kFirstWindow;
        }
    }
    out.resize(done);
    return true;
}

#endif
