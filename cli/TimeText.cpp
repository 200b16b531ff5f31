#include "TimeText.h"

#include <charconv>
#include <cstdio>
#include <limits>
#include <vector>

namespace cli {

namespace {

// Digits only, at least one, no sign, no overflow.
std::optional<uint64_t> ParseDigits(std::string_view text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "ss" or "ss.f", "ss.ff", "ss.fff": milliseconds.
std::optional<uint64_t> ParseSeconds(std::string_view text) {
    const size_t dot = text.find('.');
    const auto whole = ParseDigits(text.substr(0, dot));
    if (!whole) return std::nullopt;
    uint64_t ms = *whole * 1000;
    if (dot != std::string_view::npos) {
        std::string_view fraction = text.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 3) return std::nullopt;
        const auto digits = ParseDigits(fraction);
        if (!digits) return std::nullopt;
        uint64_t scaled = *digits;
        for (size_t i = fraction.size(); i < 3; ++i) scaled *= 10;
        ms += scaled;
    }
    return ms;
}

std::optional<uint64_t> ParseClock(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t colon; (colon = text.find(':', start)) != std::string_view::npos;
         start = colon + 1) {
        parts.push_back(text.substr(start, colon - start));
    }
    parts.push_back(text.substr(start));
    if (parts.size() > 3) return std::nullopt;

    const auto seconds = ParseSeconds(parts.back());
    const auto minutes = ParseDigits(parts[parts.size() - 2]);
    if (!seconds || !minutes || *seconds >= 60000) return std::nullopt;
    uint64_t hours = 0;
    if (parts.size() == 3) {
        const auto h = ParseDigits(parts[0]);
        if (!h || *minutes >= 60) return std::nullopt;
        hours = *h;
    }
    return (hours * 60 + *minutes) * 60000 + *seconds;
}

}  // namespace

std::optional<uint32_t> ParseTime(std::string_view text) {
    std::optional<uint64_t> ms;
    if (text.find(':') != std::string_view::npos) {
        ms = ParseClock(text);
    } else if (text.size() > 2 && text.substr(text.size() - 2) == "ms") {
        ms = ParseDigits(text.substr(0, text.size() - 2));
    } else if (text.size() > 1 && text.back() == 's') {
        ms = ParseSeconds(text.substr(0, text.size() - 1));
    } else {
        ms = ParseDigits(text);
    }
    if (!ms || *ms > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    return static_cast<uint32_t>(*ms);
}

std::string FormatTime(uint64_t ms) {
    char text[48];
    std::snprintf(text, sizeof text, "%llu:%02u:%02u.%03u",
                  static_cast<unsigned long long>(ms / 3600000),
                  static_cast<unsigned>(ms / 60000 % 60), static_cast<unsigned>(ms / 1000 % 60),
                  static_cast<unsigned>(ms % 1000));
    return text;
}

std::string FormatBytes(uint64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

}  // namespace cli
