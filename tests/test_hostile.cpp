// Inputs and outputs that a careless or hostile world hands the library:
// files cut off anywhere, timelines that run backwards or jump, outputs that
// cannot be written, and file names that are not UTF-8.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <set>

#include "SaveTestUtil.h"

using namespace flvtest;
using ::testing::ElementsAre;

namespace {

std::vector<uint32_t> Durations(const std::vector<CFlvTag*>& tags) {
    std::vector<uint32_t> out;
    for (const CFlvTag* tag : tags) out.push_back(tag->m_duration);
    return out;
}

// ---- truncation -----------------------------------------------------------

// A file and, for each of its tags, how many payload bytes Open reads: the
// audio header byte; the video header byte and the packet's header bytes;
// nothing of script data.
struct Sample {
    FlvBuilder file;
    size_t headerSize = 9;
    std::vector<size_t> read;

    Sample& Add(uint8_t type, uint32_t time, const Bytes& payload, size_t readBytes) {
        file.Tag(type, time, payload);
        read.push_back(readBytes);
        return *this;
    }
};

// AAC audio, VP6 video and script data before and between them.
Sample AacVp6() {
    Sample s;
    s.file.Header(0x05);
    s.Add(18, 0, OnMetaDataBody({{"duration", 0.08}}), 0)
        .Add(8, 0, AudioPayload(0xAF, {0x00, 0x12, 0x10}), 1)
        .Add(9, 0, VideoPayload(1, 4, Vp6Packet(0x00, 15, 20, Pattern(12))), 6)
        .Add(8, 23, AudioPayload(0xAF, Concat({0x01}, Pattern(9))), 1)
        .Add(18, 30, Pattern(6), 0)
        .Add(9, 40, VideoPayload(2, 4, Vp6Packet(0x00, 15, 20, Pattern(7))), 6)
        .Add(8, 46, AudioPayload(0xAF, Concat({0x01}, Pattern(8))), 1);
    return s;
}

// MP3 audio and H.263 video with the 8-bit custom picture size (7 packet
// header bytes), extra header bytes, times past the 24-bit field.
Sample Mp3H263() {
    Sample s;
    s.file.Header(0x05, Pattern(3));
    s.headerSize = 12;
    const auto video = [](uint8_t frameType) {
        return VideoPayload(frameType, 2, H263Packet(0, 176, 144, Pattern(10)));
    };
    s.Add(9, 0xFFFFF0, video(1), 8)
        .Add(8, 0xFFFFF0, AudioPayload(0x2F, Pattern(5)), 1)
        .Add(9, 0x1000018, video(2), 8)
        .Add(8, 0x1000010, AudioPayload(0x2F, Pattern(6)), 1)
        .Add(8, 0x1000030, AudioPayload(0x2F, {}), 1);
    return s;
}

// What Open must answer when the file ends after its first `length` bytes.
int ExpectedOpen(const Sample& s, size_t length) {
    if (length < s.headerSize) return FlvResult::HeaderLoadFailed;
    if (length < s.headerSize + 4) return FlvResult::ReadFailed;
    size_t audio = 0, video = 0;
    const auto endOfTags = [&] {
        if (audio == 0 || video == 0) return FlvResult::ContentInvalid;
        if (audio == 1) return FlvResult::SingleAudioTag;
        if (video == 1) return FlvResult::SingleVideoTag;
        return FlvResult::Success;
    };
    for (size_t k = 0; k < s.read.size(); ++k) {
        const size_t at = s.file.tagOffsets[k];
        if (length == at) return endOfTags();
        if (length < at + 11 + s.read[k]) return FlvResult::TagLoadFailed;
        const size_t dataSize = BE24At(s.file.bytes, at + 1);
        if (length < at + 11 + dataSize + 4) return FlvResult::ReadFailed;
        const uint8_t type = s.file.bytes[at];
        audio += type == 8;
        video += type == 9;
    }
    return endOfTags();
}

TEST(Hostile, EveryTruncationGivesItsOpenResult) {
    TempDir dir;
    int files = 0;
    for (const Sample& sample : {AacVp6(), Mp3H263()}) {
        const Bytes& whole = sample.file.bytes;
        int successes = 0;
        for (size_t length = 0; length <= whole.size(); ++length) {
            SCOPED_TRACE("length " + std::to_string(length) + " of " +
                         std::to_string(whole.size()));
            // A new file each time: rewriting a truncated file costs ext4 a flush.
            const std::string cut = dir.File(std::to_string(files++) + ".flv");
            WriteFile(cut, Head(whole, length));
            TestDoc doc;
            const int result = doc.Open(Wide(cut));
            ASSERT_EQ(result, ExpectedOpen(sample, length)) << DumpErrors(doc);
            if (result != FlvResult::Success) {
                EXPECT_GE(doc.GetErrorCount(), 1);
                EXPECT_NE(doc.GetErrorMessageFormatted(), L"");
                continue;
            }
            ++successes;
            const std::string saved = dir.File(std::to_string(files++) + ".flv");
            ASSERT_EQ(doc.SaveAs(Wide(saved), nullptr), 0) << DumpErrors(doc);
            TestDoc again;
            ASSERT_EQ(again.Open(Wide(saved)), 0) << DumpErrors(again);
            EXPECT_EQ(again.Tags().size(), doc.Tags().size());
        }
        EXPECT_GE(successes, 2);
    }
}

// ---- timelines that go backwards or jump ------------------------------------

// Audio jumps past the 24-bit field, to just below 2^32, and wraps over it;
// video steps back from 40 to 20 ms. Both key frames come before 30 ms.
// Payload sizes differ, so that no two tags look alike.
FlvBuilder Backwards() {
    FlvBuilder b;
    b.Header(0x05)
        .Mp3(0, 20)
        .H263(0, true, 5, 30)
        .Mp3(26, 21)
        .H263(40, false, 5, 31)
        .Mp3(0x01000000, 22)
        .H263(20, true, 5, 32)
        .Mp3(0xFFFFFFF0, 23)
        .H263(60, false, 5, 33)
        .Mp3(0x10, 24);
    return b;
}

// A second file whose video starts by stepping back and whose audio crosses
// the 24-bit field in both directions.
FlvBuilder BackwardsToo() {
    FlvBuilder b;
    b.Header(0x05)
        .Mp3(0xFFFFF0, 40)
        .H263(100, true, 5, 50)
        .Mp3(0x1000010, 41)
        .H263(60, false, 5, 51)
        .Mp3(0xFFFFF8, 42)
        .H263(140, true, 5, 52)
        .Mp3(0x1000030, 43)
        .H263(180, false, 5, 53);
    return b;
}

class HostileTimes : public DocTest {
protected:
    // The tags as saved, without the metadata tag.
    std::vector<ParsedTag> SavedTags(CFlvFile& doc) {
        auto tags = ParseTags(Saved(doc));
        EXPECT_FALSE(tags.empty());
        if (!tags.empty()) tags.erase(tags.begin());
        return tags;
    }
};

TEST_F(HostileTimes, DurationsAreUnsignedDifferencesAndSaveKeepsEverything) {
    SaveDoc& doc = Open(Backwards());
    EXPECT_THAT(Durations(doc.AudioTags()), ElementsAre(26, 0x00FFFFE6, 0xFEFFFFF0, 0x20, 4));
    EXPECT_THAT(Durations(doc.VideoTags()), ElementsAre(40, 0xFFFFFFEC, 40, 20));

    // The same differences when the lists start elsewhere (the last tags'
    // durations are left out here: they are not differences).
    SaveDoc& other = Open(BackwardsToo());
    const auto audio = Durations(other.AudioTags());
    const auto video = Durations(other.VideoTags());
    ASSERT_EQ(audio.size(), 4u);
    ASSERT_EQ(video.size(), 4u);
    EXPECT_THAT(std::vector<uint32_t>(audio.begin(), audio.end() - 1),
                ElementsAre(32, 0xFFFFFFE8, 56));
    EXPECT_THAT(std::vector<uint32_t>(video.begin(), video.end() - 1),
                ElementsAre(0xFFFFFFD8, 80, 40));

    // Without an edit every tag is written as it came, times included.
    const auto source = ParseTags(ReadFile(PathOf(doc)));
    const auto saved = SavedTags(doc);
    ASSERT_EQ(saved.size(), source.size());
    for (size_t i = 0; i < saved.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(saved[i].type, source[i].type);
        EXPECT_EQ(saved[i].time, source[i].time);
        EXPECT_EQ(saved[i].payload, source[i].payload);
    }
}

TEST_F(HostileTimes, JoinKeepsEachFilesSpacingModulo32Bits) {
    SaveDoc& first = Open(Backwards());
    SaveDoc& second = Open(BackwardsToo());
    ASSERT_EQ(first.Add(&second, false), 0) << DumpErrors(first);

    // The first file's wrapped differences add up to its own times again;
    // the second file starts one last-tag duration after the first (audio at
    // 0x10 + 4, video at 60 + 20) and keeps its steps back.
    const std::vector<uint32_t> expected = {0,    0,  26, 40, 0x01000000, 20,  0xFFFFFFF0, 60, 0x10,
                                            0x14, 80, 52, 40, 28,         120, 84,         160};
    const auto saved = SavedTags(first);
    auto sources = ParseTags(ReadFile(PathOf(first)));
    for (ParsedTag& tag : ParseTags(ReadFile(PathOf(second)))) sources.push_back(tag);
    ASSERT_EQ(saved.size(), expected.size());
    ASSERT_EQ(sources.size(), expected.size());
    for (size_t i = 0; i < saved.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(saved[i].type, sources[i].type);
        EXPECT_EQ(saved[i].payload, sources[i].payload);
        EXPECT_EQ(saved[i].time, expected[i]);
    }
}

TEST_F(HostileTimes, CutsFollowTheListOrder) {
    // Both key frames (0 and 20 ms) lie before 30 ms in the list: no key
    // frame at or after 30.
    SaveDoc& late = Open(Backwards());
    EXPECT_EQ(late.Extract(30, 50), FlvResult::NoKeyFrame);
    EXPECT_EQ(late.Extract(0xFFFFFFF0, UINT_MAX), FlvResult::NoKeyFrame);
    EXPECT_EQ(late.Tags().size(), 9u);

    // End 100: no video tag is later, so the run ends with the last one; the
    // audio ends before the jump. Only the audio tag at 0x10 goes.
    SaveDoc& all = Open(Backwards());
    ASSERT_EQ(all.Extract(0, 100), 0) << DumpErrors(all);
    EXPECT_THAT(Times(all.AudioTags()), ElementsAre(0, 26, 0x01000000, 0xFFFFFFF0));
    EXPECT_THAT(Times(all.VideoTags()), ElementsAre(0, 40, 20, 60));

    // Start 10 goes back to the key frame at 0; end 50 is covered by the
    // video tag at 20 (the one before 60) and the audio tag at 26.
    SaveDoc& part = Open(Backwards());
    ASSERT_EQ(part.Extract(10, 50), 0) << DumpErrors(part);
    EXPECT_THAT(Times(part.AudioTags()), ElementsAre(0, 26, 0x01000000));
    EXPECT_THAT(Times(part.VideoTags()), ElementsAre(0, 40, 20));
    EXPECT_EQ(ParseTags(Saved(part)).size(), 7u);
}

TEST_F(HostileTimes, AnyCutGivesADocumentedResult) {
    const std::set<int> documented = {0, FlvResult::ContentInvalid, FlvResult::NoKeyFrame,
                                      FlvResult::NoAudio};
    const uint32_t times[] = {0, 10, 20, 30, 60, 100, 0x01000000, 0xFFFFFFF0, UINT_MAX};
    for (bool joined : {false, true}) {
        for (uint32_t start : times) {
            for (uint32_t end : times) {
                if (start > end) continue;
                SCOPED_TRACE(std::to_string(joined) + " " + std::to_string(start) + " - " +
                             std::to_string(end));
                SaveDoc& doc = Open(Backwards());
                if (joined) {
                    ASSERT_EQ(doc.Add(&Open(BackwardsToo()), false), 0);
                }
                const int result = doc.Extract(start, end);
                ASSERT_TRUE(documented.count(result)) << result;
                if (result != 0) {
                    EXPECT_GE(doc.GetErrorCount(), 1);
                    continue;
                }
                EXPECT_EQ(ParseTags(Saved(doc)).size(), doc.Tags().size() + 1);
            }
        }
    }
}

// ---- outputs that cannot be written ---------------------------------------

class HostileOutput : public DocTest {
protected:
    SaveDoc& Small() { return Open(Plan{.audio = {0, 26, 52}, .video = {0, 40}}); }
};

TEST_F(HostileOutput, ReadOnlyFileAndDirectory) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes whatever the permissions say";
    SaveDoc& doc = Small();
    const std::string readOnly = dir.File("read-only.flv");
    const Bytes old = Pattern(40);
    WriteFile(readOnly, old);
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    const std::string locked = dir.File("locked");
    ASSERT_EQ(mkdir(locked.c_str(), 0555), 0);
    const std::string inLocked = locked + "/out.flv";

    for (const std::string& path : {readOnly, inLocked}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(doc.SaveAs(Wide(path), nullptr), FlvResult::CreateFailed);
        EXPECT_EQ(doc.GetErrorDetail(-1), std::to_wstring(EACCES));
        EXPECT_EQ(doc.SaveAudio(Wide(path), nullptr), FlvResult::OpenFailed);
        EXPECT_EQ(doc.GetErrorDetail(-1), std::to_wstring(EACCES));
        EXPECT_EQ(doc.SaveAVI(Wide(path), nullptr), FlvResult::AviCreateFailed);
    }
    EXPECT_EQ(ReadFile(readOnly), old);
    EXPECT_FALSE(Exists(inLocked));
    chmod(locked.c_str(), 0755);
}

TEST_F(HostileOutput, PlacesNobodyMayWrite) {
    // The kernel's own file systems refuse new files and writes to read-only
    // attributes even to root.
    std::string refused;
    int expected = 0;
    for (const char* path : {"/sys/kernel/flvsplice-test.flv", "/proc/sys/kernel/osrelease",
                             "/sys/flvsplice-test.flv"}) {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd >= 0) {
            ::close(fd);
            continue;
        }
        if (errno == EACCES || errno == EROFS || errno == EPERM) {
            refused = path;
            expected = errno;
            break;
        }
    }
    if (refused.empty()) GTEST_SKIP() << "no place here refuses to be written";
    SaveDoc& doc = Small();
    EXPECT_EQ(doc.SaveAs(Wide(refused), nullptr), FlvResult::CreateFailed) << refused;
    EXPECT_EQ(doc.GetErrorDetail(-1), std::to_wstring(expected));
    EXPECT_EQ(doc.GetErrorMessageFormatted().rfind(doc.GetErrorMessage(-1), 0), 0u);
}

// ---- file names that are not UTF-8 -------------------------------------------

TEST(Paths, BytesThatAreNotUtf8AreEscapedAndComeBack) {
    struct Case {
        std::string bytes;
        std::wstring wide;
        bool utf8;
    };
    const std::vector<Case> cases = {
        {"dir/plain.flv", L"dir/plain.flv", true},
        {"caf\xC3\xA9 \xE5\x8B\x95\xE7\x94\xBB", L"caf\u00E9 \u52D5\u753B", true},
        {"\xF0\x9F\x8E\xAC", L"\U0001F3AC", true},
        // Latin-1 bytes, alone and between valid characters.
        {"caf\xE9", L"caf\xDCE9", false},
        {"\xFF\xC3\xA9\xFE", L"\xDCFF\u00E9\xDCFE", false},
        // A sequence cut short, an overlong form, an encoded surrogate and a
        // value above U+10FFFF: every byte of them is escaped on its own.
        {"\xE2\x82|", L"\xDCE2\xDC82|", false},
        {"\xC0\xAF", L"\xDCC0\xDCAF", false},
        {"\xED\xB2\x80", L"\xDCED\xDCB2\xDC80", false},
        {"\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.wide));
        EXPECT_EQ(flvsys::PathToWide(c.bytes), c.wide);
        EXPECT_EQ(flvsys::WideToUtf8(c.wide), c.bytes);
        EXPECT_EQ(flvsys::Utf8ToWide(c.bytes).has_value(), c.utf8);
    }

    // Other surrogates, NUL and values above U+10FFFF have no bytes.
    for (uint32_t bad : {0xD800u, 0xDBFFu, 0xDC7Fu, 0xDD00u, 0u, 0x110000u}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(flvsys::WideToUtf8(std::wstring(L"a") + wchar_t(bad)).has_value());
    }
}

TEST(Paths, NamesThatAreNotUtf8OpenSaveAndExport) {
    TempDir dir;
    const std::string folder = dir.Path() + "/\xE9t\xE9";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::string source = folder + "/\xFF source.flv";
    const Bytes bytes = Build(Plan{.audio = {0, 26, 52}, .video = {0, 40}}).bytes;
    const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    ::close(fd);

    TestDoc doc;
    ASSERT_EQ(doc.Open(flvsys::PathToWide(source)), 0) << DumpErrors(doc);
    const std::string flv = folder + "/copy \xE9.flv";
    const std::string audio = folder + "/\xE9.mp3";
    const std::string avi = folder + "/\xFF.avi";
    EXPECT_EQ(doc.SaveAs(flvsys::PathToWide(flv), nullptr), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.SaveAudio(flvsys::PathToWide(audio), nullptr), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.SaveAVI(flvsys::PathToWide(avi), nullptr), 0) << DumpErrors(doc);

    TestDoc copy;
    ASSERT_EQ(copy.Open(flvsys::PathToWide(flv)), 0) << DumpErrors(copy);
    EXPECT_EQ(copy.Tags().size(), 5u);
    EXPECT_EQ(ReadFile(audio).size(), 3u * (2 + 24));
    EXPECT_EQ(TextAt(ReadFile(avi), 0, 4), "RIFF");
}

TEST(Paths, WidePathsWithoutBytesAreRefused) {
    for (uint32_t bad : {0xD800u, 0x110000u}) {
        SCOPED_TRACE(bad);
        TestDoc doc;
        EXPECT_EQ(doc.Open(std::wstring(L"/tmp/x") + wchar_t(bad) + L".flv"),
                  FlvResult::OpenFailed);
        EXPECT_THAT(Details(doc), ElementsAre(std::to_wstring(EILSEQ)));
    }
}

}  // namespace
