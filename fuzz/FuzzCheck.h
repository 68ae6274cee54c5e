// What the fuzz targets share: invariant checks (a broken invariant is a
// finding, reported on stderr and turned into a crash so that libFuzzer keeps
// the input) and a reader that takes an input apart front to back, so that
// seeds and regression inputs can be written by hand.
#ifndef CORVANE_FUZZ_FUZZCHECK_H
#define CORVANE_FUZZ_FUZZCHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(cond, what)                                                        \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

class CInputReader {
public:
    CInputReader(const uint8_t* data, std::size_t size) : m_cur(data), m_end(data + size) {}

    bool Empty() const { return m_cur == m_end; }
    // 0 once the input is used up.
    uint8_t Byte() { return m_cur == m_end ? 0 : *m_cur++; }
    // Up to n bytes: fewer when the input ends first.
    std::vector<uint8_t> Bytes(std::size_t n)
    {
        const std::size_t take = n < static_cast<std::size_t>(m_end - m_cur) ? n : static_cast<std::size_t>(m_end - m_cur);
        std::vector<uint8_t> out(m_cur, m_cur + take);
        m_cur += take;
        return out;
    }

private:
    const uint8_t* m_cur;
    const uint8_t* m_end;
};

#endif
