#pragma once

// Small helpers shared by the benchmark programs: paths given on the command
// line as wide strings, the formatted error of a document as UTF-8, a clock,
// and the process's peak resident set size.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvSystem.h"

namespace bench {

inline std::wstring Wide(const char* text) {
    return flvsys::Utf8ToWide(text).value_or(std::wstring());
}

inline std::string Narrow(const std::wstring& text) {
    return flvsys::WideToUtf8(text).value_or(std::string("(unprintable text)"));
}

// Prints what went wrong with a document and gives the exit status to use.
inline int Fail(CFlvFile& document, const char* operation, int code) {
    std::fprintf(stderr, "%s failed with %d\n%s\n", operation, code,
                 Narrow(document.GetErrorMessageFormatted()).c_str());
    return 1;
}

inline double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Processor time of this process so far (user and system), in seconds.
inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The high-water mark of the resident set, in bytes (Linux reports KiB).
inline long long PeakRssBytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<long long>(usage.ru_maxrss) * 1024;
}

}  // namespace bench
