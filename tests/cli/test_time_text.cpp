// The command line's time forms and the texts the command prints.

#include <gtest/gtest.h>

#include "TimeText.h"

using cli::FormatBytes;
using cli::FormatTime;
using cli::ParseTime;

TEST(ParseTime, AcceptsMillisecondsSecondsAndClockForms) {
    EXPECT_EQ(ParseTime("0"), 0u);
    EXPECT_EQ(ParseTime("1500"), 1500u);
    EXPECT_EQ(ParseTime("1500ms"), 1500u);
    EXPECT_EQ(ParseTime("1.5s"), 1500u);
    EXPECT_EQ(ParseTime("2s"), 2000u);
    EXPECT_EQ(ParseTime("0.05s"), 50u);
    EXPECT_EQ(ParseTime("0.125s"), 125u);
    EXPECT_EQ(ParseTime("01:05"), 65000u);
    EXPECT_EQ(ParseTime("1:05.25"), 65250u);
    EXPECT_EQ(ParseTime("90:00"), 5400000u);  // minutes may pass 59 without hours
    EXPECT_EQ(ParseTime("1:02:03.004"), 3723004u);
    EXPECT_EQ(ParseTime("00:00:00.000"), 0u);
}

TEST(ParseTime, RefusesMalformedAndOutOfRangeTimes) {
    for (const char* text :
         {"",     "-1",      "+5",      "1.5", "abc", "1,5s", "s",   "ms", ".5s", "1.s", "1.2345s",
          "1:60", "1:60:00", "1:2:3:4", ":30", "1:",  "1::2", "1 s", " 1", "1e3", "0x10"}) {
        EXPECT_FALSE(ParseTime(text).has_value()) << "'" << text << "'";
    }
}

TEST(ParseTime, StopsAtTheLargestUnsigned32BitTime) {
    EXPECT_EQ(ParseTime("4294967295"), 4294967295u);
    EXPECT_FALSE(ParseTime("4294967296").has_value());
    EXPECT_EQ(ParseTime("1193:02:47.295"), 4294967295u);
    EXPECT_FALSE(ParseTime("1193:02:47.296").has_value());
    EXPECT_FALSE(ParseTime("99999999999999999999").has_value());
}

TEST(FormatTime, WritesHoursMinutesSecondsAndMilliseconds) {
    EXPECT_EQ(FormatTime(0), "0:00:00.000");
    EXPECT_EQ(FormatTime(1440), "0:00:01.440");
    EXPECT_EQ(FormatTime(3723004), "1:02:03.004");
    EXPECT_EQ(FormatTime(4294967295u), "1193:02:47.295");
    EXPECT_EQ(ParseTime(FormatTime(3723004)), 3723004u);
}

TEST(FormatBytes, ChoosesTheUnit) {
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(1024), "1.0 KiB");
    EXPECT_EQ(FormatBytes(1536 * 1024), "1.5 MiB");
    EXPECT_EQ(FormatBytes(uint64_t{3} << 40), "3.0 TiB");
}
