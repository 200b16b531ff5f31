#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// A time on the command line, in milliseconds: "1500" (milliseconds, also
// "1500ms"), "1.5s" (seconds, up to three decimals) or "[hh:]mm:ss[.mmm]".
// Empty for anything else, for a negative time and for more than 2^32-1 ms.
std::optional<uint32_t> ParseTime(std::string_view text);

// "h:mm:ss.mmm", hours always present: 0:01:02.500.
std::string FormatTime(uint64_t ms);

// "12.3 MiB", "512 B": sizes for people.
std::string FormatBytes(uint64_t bytes);

}  // namespace cli
