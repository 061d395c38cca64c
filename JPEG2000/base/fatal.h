// The codec's one fatal check.
//
// FATAL_CHECK guards conditions that hold by construction (and exhausted
// memory).  When one fails, the program prints
//   Assertion failed: COND, file MODULE, line N
// on the standard error stream and ends.  Input data must never reach a
// fatal check: malformed code streams are refused with a result of -1.
#ifndef JPEG2000_FATAL_H
#define JPEG2000_FATAL_H

[[noreturn]] void fatal_check_failed(const char* cond, const char* file, int line);

// The module's source name without its folder.
constexpr const char* fatal_source_name(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

#define FATAL_CHECK(cond)                                                          \
    ((cond) ? static_cast<void>(0)                                                 \
            : fatal_check_failed(#cond, fatal_source_name(__FILE__), __LINE__))

#endif
