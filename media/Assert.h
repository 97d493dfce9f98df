// Programming errors: assertions that raise EAssertionFailed naming the source file and line.
#pragma once

#include <stdexcept>
#include <string>

class EAssertionFailed : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void AssertionFailed(const char* AMessage, const char* AFile, int ALine);

#define QAC_ASSERT(cond, msg) \
    do { \
        if (!(cond)) AssertionFailed((msg), __FILE__, __LINE__); \
    } while (0)
