#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "SaveTestUtil.h"

using namespace flvtest;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

const std::wstring kCreateFailed = L"FLVファイル作成時にエラーが発生しました。";

class SaveAs : public DocTest {
protected:
    // Both streams, two tags each, payloads of about 30 bytes.
    static Plan Small(uint8_t seed = 1) {
        return {.audio = {0, 26}, .video = {0, 40}, .seed = seed};
    }
};

TEST_F(SaveAs, BothStreamsByteForByte) {
    const Bytes a0 = AudioPayload(0x2F, Pattern(99, 1));  // data size 100
    const Bytes v0 = VideoPayload(1, 2, H263Packet(3, 0, 0, Pattern(20, 2)));
    const Bytes a1 = AudioPayload(0x2F, Pattern(49, 3));
    const Bytes v1 = VideoPayload(2, 2, H263Packet(3, 0, 0, Pattern(30, 4)));
    FlvBuilder b;
    b.Header(0x05, {0xAA, 0xBB, 0xCC}).Audio(0, a0).Video(0, v0).Audio(40, a1).Video(40, v1);
    SaveDoc& doc = Open(b);

    // Each stream lasts 80 ms: 40 ms to its second tag, which lasts 40 / 1 ms.
    const Bytes expected =
        Concat(Concat(Bytes{'F', 'L', 'V', 1, 0x05, 0, 0, 0, 12, 0xAA, 0xBB, 0xCC, 0, 0, 0, 0},
                      MetaTag({{"audiocodecid", 2},
                               {"audiodatarate", Kbps(a0.size() + a1.size(), 80)},
                               {"videocodecid", 2},
                               {"framerate", 2 / (80 / 1000.0)},
                               {"videodatarate", Kbps(v0.size() + v1.size(), 80)},
                               {"height", 144},
                               {"width", 176},
                               {"duration", 80 / 1000.0}})),
               Concat(Concat(SavedTag(8, 0, a0), SavedTag(9, 0, v0)),
                      Concat(SavedTag(8, 40, a1), SavedTag(9, 40, v1))));

    const Bytes saved = Saved(doc);
    EXPECT_TRUE(SameBytes(saved, expected));
    // The landmarks, independently of the expectation's own assembly.
    EXPECT_EQ(saved[16], 0x12);
    EXPECT_EQ(BE24At(saved, 17), 187u);
    EXPECT_EQ(TextAt(saved, 27, 14), std::string("\x02\x00\x0AonMetaData\x08", 14));
    EXPECT_EQ(BE32At(saved, 41), 8u);
    EXPECT_EQ(TextAt(saved, 45, 14), std::string("\x00\x0C"
                                                 "audiocodecid",
                                                 14));
    EXPECT_EQ(TextAt(saved, 27 + 187 - 3, 3), std::string("\x00\x00\x09", 3));
    EXPECT_EQ(BE32At(saved, 16 + 11 + 187), 198u);
    EXPECT_EQ(BE24At(saved, 218 + 1), 100u);
    EXPECT_EQ(BE32At(saved, 218 + 11 + 100), 0x6Fu);

    // A second save writes the same bytes; the document is not changed.
    EXPECT_TRUE(SameBytes(Saved(doc), expected));

    // Saved over a longer file, nothing of that file is left.
    const std::string over = dir.File("over.flv");
    WriteFile(over, Pattern(expected.size() * 3 + 5, 7));
    ASSERT_EQ(doc.SaveAs(Wide(over), nullptr), 0) << DumpErrors(doc);
    EXPECT_TRUE(SameBytes(ReadFile(over), expected));
}

TEST_F(SaveAs, AudioOnlyByteForByte) {
    const Bytes a0 = AudioPayload(0x2F, Pattern(99, 5));
    const Bytes a1 = AudioPayload(0x2F, Pattern(19, 6));
    FlvBuilder b;
    b.Header(0x04).Audio(0, a0).Audio(26, a1);
    SaveDoc& doc = Open(b);

    const Bytes meta = MetaTag({{"audiocodecid", 2},
                                {"audiodatarate", Kbps(120, 52)},
                                {"height", 240},
                                {"width", 320},
                                {"duration", 52 / 1000.0}});
    const Bytes expected =
        Concat(Concat(Bytes{'F', 'L', 'V', 1, 0x04, 0, 0, 0, 9, 0, 0, 0, 0}, meta),
               Concat(SavedTag(8, 0, a0), SavedTag(8, 26, a1)));
    const Bytes saved = Saved(doc);
    EXPECT_TRUE(SameBytes(saved, expected));
    EXPECT_EQ(BE24At(saved, 14), 120u);
    EXPECT_EQ(BE32At(saved, 13 + 11 + 120), 131u);
    EXPECT_EQ(BE32At(saved, 13 + 11 + 14), 8u);  // the entry count
}

TEST_F(SaveAs, VideoOnlyByteForByte) {
    const Bytes v0 = VideoPayload(1, 4, Vp6Packet(0x00, 10, 20, Pattern(40, 7)));
    const Bytes v1 = VideoPayload(2, 4, Vp6Packet(0x00, 10, 20, Pattern(41, 8)));
    FlvBuilder b;
    b.Header(0x01).Video(0, v0).Video(33, v1);
    SaveDoc& doc = Open(b);

    const Bytes meta = MetaTag({{"videocodecid", 4},
                                {"framerate", 2 / (66 / 1000.0)},
                                {"videodatarate", Kbps(v0.size() + v1.size(), 66)},
                                {"height", 160},
                                {"width", 320},
                                {"duration", 66 / 1000.0}});
    const Bytes expected =
        Concat(Concat(Bytes{'F', 'L', 'V', 1, 0x01, 0, 0, 0, 9, 0, 0, 0, 0}, meta),
               Concat(SavedTag(9, 0, v0), SavedTag(9, 33, v1)));
    const Bytes saved = Saved(doc);
    EXPECT_TRUE(SameBytes(saved, expected));
    EXPECT_EQ(BE24At(saved, 14), 140u);
    EXPECT_EQ(BE32At(saved, 13 + 11 + 140), 151u);
}

TEST_F(SaveAs, ReportsProgressAfterEveryTag) {
    SaveDoc& doc = Open(Plan{.flags = 0x01, .video = {0, 40, 80}});
    RecordingProcess process;
    const Bytes whole = Saved(doc, &process);
    EXPECT_THAT(process.calls, ElementsAre(Pair(0, 3), Pair(1, 3), Pair(2, 3)));
    EXPECT_TRUE(SameBytes(Saved(doc, nullptr), whole));
    EXPECT_EQ(ParseTags(whole).size(), 4u);
}

TEST_F(SaveAs, StopEndsTheFileAfterThatTag) {
    SaveDoc& doc = Open(Plan{.flags = 0x01, .video = {0, 40, 80}});
    const Bytes whole = Saved(doc);
    const auto tags = ParseTags(whole);
    ASSERT_EQ(tags.size(), 4u);

    for (int stopAt : {0, 1}) {
        RecordingProcess process(stopAt);
        const Bytes partial = Saved(doc, &process);
        EXPECT_EQ(process.calls.size(), size_t(stopAt + 1));
        EXPECT_EQ(partial.size(), tags[size_t(stopAt) + 2].offset);
        EXPECT_TRUE(StartsWith(whole, partial));
    }
    EXPECT_EQ(doc.GetErrorCount(), 0) << DumpErrors(doc);
}

TEST_F(SaveAs, RefusesItsOwnSourceWhateverTheName) {
    SaveDoc& doc = Open(Small());
    const std::string source = PathOf(doc);
    const Bytes before = ReadFile(source);
    std::filesystem::create_symlink(source, dir.File("link.flv"));

    const std::string names[] = {source, dir.Path() + "/./" + "source0.flv", dir.File("link.flv")};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(doc.SaveAs(Wide(name), nullptr), 9002);
        EXPECT_EQ(doc.GetErrorMessage(-1), kCreateFailed);
        EXPECT_NE(doc.GetErrorDetail(-1), L"");
        EXPECT_EQ(ReadFile(source), before);
    }
    // The document still saves.
    EXPECT_EQ(ParseTags(Saved(doc)).size(), 5u);
}

TEST_F(SaveAs, RefusesTheSourceOfAJoinedDocument) {
    SaveDoc& first = Open(Small(1));
    SaveDoc& second = Open(Small(2));
    ASSERT_EQ(first.Add(&second, false), 0) << DumpErrors(first);
    const Bytes firstBefore = ReadFile(PathOf(first));
    const Bytes secondBefore = ReadFile(PathOf(second));

    EXPECT_EQ(first.SaveAs(Wide(PathOf(second)), nullptr), 9002);
    EXPECT_EQ(first.GetErrorMessage(-1), kCreateFailed);
    EXPECT_EQ(ReadFile(PathOf(second)), secondBefore);
    EXPECT_EQ(ReadFile(PathOf(first)), firstBefore);
    EXPECT_EQ(ParseTags(Saved(first)).size(), 9u);
}

TEST_F(SaveAs, MissingDirectoryGivesItsSystemCode) {
    SaveDoc& doc = Open(Small());
    EXPECT_EQ(doc.SaveAs(dir.WFile("no/such/dir/out.flv"), nullptr), 9002);
    EXPECT_THAT(Messages(doc), ElementsAre(kCreateFailed));
    EXPECT_THAT(Details(doc), ElementsAre(std::to_wstring(ENOENT)));
    EXPECT_EQ(doc.GetErrorMessageFormatted().rfind(kCreateFailed, 0), 0u);
}

TEST_F(SaveAs, FullDeviceIsAFailure) {
    // Small enough to stay in the stream's buffer until the file is closed.
    SaveDoc& small = Open(Small());
    const int smallResult =
        RetryWhileLocked(small, 9002, [&] { return small.SaveAs(L"/dev/full", nullptr); });
    EXPECT_EQ(smallResult, FlvResult::OutputIncomplete) << DumpErrors(small);
    EXPECT_EQ(small.GetErrorDetail(-1), std::to_wstring(ENOSPC));
    EXPECT_NE(small.GetErrorMessage(-1), L"");

    // Large enough to fail while the tags are written.
    Plan plan = Small(2);
    plan.audioBytes = 40000;
    SaveDoc& large = Open(plan);
    const int largeResult =
        RetryWhileLocked(large, 9002, [&] { return large.SaveAs(L"/dev/full", nullptr); });
    EXPECT_TRUE(largeResult == 9020 || largeResult == 9018) << largeResult;
    EXPECT_THAT(Details(large), Contains(std::to_wstring(ENOSPC))) << DumpErrors(large);
    if (largeResult == 9020) {
        EXPECT_EQ(large.GetErrorMessage(-1), L"FLVタグ出力時にエラーが発生しました。");
    }
}

// Tags are copied from their file in runs where the bytes there are what the
// tag writes; wrong PreviousTagSizes, a script tag in between, a renumbered
// tag and a joined file must all end such a run at the right byte.
TEST_F(SaveAs, CopiedRunsGiveTheBytesOfTagsWrittenOneByOne) {
    const Bytes a0 = AudioPayload(0x2F, Pattern(70, 1));
    const Bytes v0 = VideoPayload(1, 2, H263Packet(3, 0, 0, Pattern(20, 2)));
    const Bytes a1 = AudioPayload(0x2F, Pattern(50, 3));
    const Bytes v1 = VideoPayload(2, 2, H263Packet(3, 0, 0, Pattern(30, 4)));
    const Bytes a2 = AudioPayload(0x2F, Pattern(40, 5));
    FlvBuilder b;
    b.autoPrevTagSize = false;
    b.Header(0x05).PrevTagSize(0);
    b.Audio(0, a0).PrevTagSize(11 + uint32_t(a0.size()));
    b.Video(0, v0).PrevTagSize(3);  // wrong
    b.Script(10, Pattern(9)).PrevTagSize(20);
    b.Audio(26, a1).PrevTagSize(11 + uint32_t(a1.size()));
    b.Video(40, v1).PrevTagSize(11 + uint32_t(v1.size()));
    b.Audio(52, a2).PrevTagSize(0);  // wrong, at the end of the file
    SaveDoc& doc = Open(b);
    const Bytes expected = Concat(Concat(Concat(SavedTag(8, 0, a0), SavedTag(9, 0, v0)),
                                         Concat(SavedTag(8, 26, a1), SavedTag(9, 40, v1))),
                                  SavedTag(8, 52, a2));
    const auto TagBytesOf = [](const Bytes& file) {
        const auto tags = ParseTags(file);
        return tags.size() < 2 ? Bytes{} : Bytes(file.begin() + long(tags[1].offset), file.end());
    };
    EXPECT_TRUE(SameBytes(TagBytesOf(Saved(doc)), expected));

    // Joined to a copy of itself: the second file's tags are renumbered.
    SaveDoc& again = Open(b);
    ASSERT_EQ(doc.Add(&again, false), 0) << DumpErrors(doc);
    const Bytes joinedFile = Saved(doc);
    const Bytes joined = TagBytesOf(joinedFile);
    ASSERT_GE(joined.size(), expected.size());
    EXPECT_TRUE(SameBytes(Bytes(joined.begin(), joined.begin() + long(expected.size())), expected));
    const auto tags = ParseTags(joinedFile);  // the onMetaData tag first
    ASSERT_EQ(tags.size(), 11u);
    EXPECT_EQ(tags[6].time, 52u + 26u);  // a2 lasts the mean distance, 26 ms
    EXPECT_EQ(tags[6].payload, a0);
    EXPECT_EQ(tags[7].time, 80u);
    EXPECT_EQ(tags[10].payload, a2);
}

TEST_F(SaveAs, SourceThatShrankAfterOpenIsAFailure) {
    Plan plan = Small(3);
    plan.audioBytes = 200000;
    SaveDoc& doc = Open(plan);
    ASSERT_EQ(truncate(PathOf(doc).c_str(), 1000), 0);
    const std::string out = dir.File("short.flv");
    const int result = doc.SaveAs(Wide(out), nullptr);
    EXPECT_TRUE(result == FlvResult::TagSaveFailed || result == FlvResult::OutputIncomplete)
        << result;
    EXPECT_GT(doc.GetErrorCount(), 0);
    EXPECT_NE(doc.GetErrorMessageFormatted(), L"");
}

TEST_F(SaveAs, ClosedOrNeverOpenedDocumentIsRefused) {
    SaveDoc& doc = Open(Small());
    doc.Close();
    doc.Close();
    const std::string out = dir.File("out.flv");
    EXPECT_EQ(doc.SaveAs(Wide(out), nullptr), FlvResult::NotOpen);
    EXPECT_EQ(doc.GetErrorCount(), 1);
    EXPECT_NE(doc.GetErrorMessage(-1), L"");
    EXPECT_FALSE(Exists(out));

    SaveDoc fresh;
    EXPECT_EQ(fresh.SaveAs(Wide(out), nullptr), FlvResult::NotOpen);
    EXPECT_EQ(fresh.GetErrorCount(), 1);
    EXPECT_FALSE(Exists(out));
}

TEST_F(SaveAs, ClosedPartnerFailsAtItsFirstTag) {
    SaveDoc& first = Open(Small(1));
    SaveDoc& second = Open(Small(2));
    ASSERT_EQ(first.Add(&second, false), 0);
    const Bytes whole = Saved(first);
    const auto tags = ParseTags(whole);
    ASSERT_EQ(tags.size(), 9u);

    second.Close();
    const std::string out = dir.File("partial.flv");
    EXPECT_EQ(first.SaveAs(Wide(out), nullptr), 9020);
    EXPECT_EQ(first.GetErrorMessageFormatted().rfind(L"FLVタグ出力時にエラーが発生しました。", 0),
              0u);
    // The header, the metadata and the first document's tags are all there.
    const Bytes partial = ReadFile(out);
    EXPECT_GE(partial.size(), tags[5].offset);
    EXPECT_TRUE(StartsWith(whole, partial));
}

}  // namespace
