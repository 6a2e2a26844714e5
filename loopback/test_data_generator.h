#pragma once
// The source of the loopback test's data: the C run-time's rand() sequence (a linear
// congruential generator, state 1 at start, never seeded), so every process start sends the
// same bytes as the tool always has. The test owns it rather than calling rand() so that no
// other code in the process can draw from it and shift the data.
#include <cstdint>

class CTestDataGenerator
{
public:
    // The next value, 0 to 32767.
    unsigned int Next()
    {
        m_state = m_state * 214013u + 2531011u;
        return (m_state >> 16) & 0x7FFFu;
    }

private:
    std::uint32_t m_state = 1; // the arithmetic wraps modulo 2^32
};
