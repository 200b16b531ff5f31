#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "TestUtil.h"
#include "flvsplice/flv/FlvAudioData.h"
#include "flvsplice/flv/FlvVideoData.h"

using namespace flvtest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

#if defined(__SANITIZE_ADDRESS__)
#define FLVSPLICE_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FLVSPLICE_TEST_ASAN 1
#endif
#endif

namespace {

const std::wstring kHeaderLoad = L"FLVヘッダ読み込み時にエラーが発生しました。";
const std::wstring kHeaderRead = L"FLVヘッダ読み込み時にファイル読み込みエラーが発生しました。";
const std::wstring kTagSizeRead = L"FLVタグサイズ読み込み時にエラーが発生しました。";
const std::wstring kTagLoad = L"FLVタグロード時にエラーが発生しました。";
const std::wstring kAudioLoad = L"音声データ読み込み時にエラーが発生しました。";
const std::wstring kVideoLoad = L"映像データ読み込み時にエラーが発生しました。";
const std::wstring kNoContent = L"FLVファイルに映像データ・音声データが含まれていません。";

class Open : public ::testing::Test {
protected:
    int OpenBytes(TestDoc& doc, const Bytes& bytes) {
        const std::string path = dir.File("in" + std::to_string(m_files++) + ".flv");
        WriteFile(path, bytes);
        return doc.Open(Wide(path));
    }
    int OpenBuilt(TestDoc& doc, const FlvBuilder& b) { return OpenBytes(doc, b.bytes); }

    // Opens bytes that must fail with code; returns the document's messages.
    std::vector<std::wstring> Failing(const Bytes& bytes, int code) {
        TestDoc doc;
        EXPECT_EQ(OpenBytes(doc, bytes), code) << DumpErrors(doc);
        return Messages(doc);
    }

    TempDir dir;

private:
    int m_files = 0;
};

// A small valid file: n video tags 40 ms apart, with audio when flags say so.
FlvBuilder Valid(uint8_t flags = 0x05, int n = 3) {
    FlvBuilder b;
    b.Header(flags);
    for (int i = 0; i < n; ++i) {
        if (flags & 0x04) b.Mp3(uint32_t(i * 40));
        if (flags & 0x01) b.H263(uint32_t(i * 40), i == 0);
    }
    return b;
}

std::vector<uint32_t> Durations(const std::vector<CFlvTag*>& tags) {
    std::vector<uint32_t> out;
    for (auto* tag : tags) out.push_back(tag->m_duration);
    return out;
}

std::vector<uint32_t> Times(const std::vector<CFlvTag*>& tags) {
    std::vector<uint32_t> out;
    for (auto* tag : tags) out.push_back(tag->GetTimestamp());
    return out;
}

}  // namespace

// ---- failures, in the order Open meets them ----------------------------

TEST_F(Open, UnopenableFiles) {
    TestDoc missing;
    EXPECT_EQ(missing.Open(dir.WFile("nothing.flv")), FlvResult::OpenFailed);
    EXPECT_THAT(Messages(missing), ElementsAre(L"FLVファイルOPEN時にエラーが発生しました。"));
    EXPECT_THAT(Details(missing), ElementsAre(std::to_wstring(ENOENT)));

    TestDoc directory;
    EXPECT_EQ(directory.Open(Wide(dir.Path())), FlvResult::OpenFailed);
    EXPECT_THAT(Messages(directory), ElementsAre(L"FLVファイルOPEN時にエラーが発生しました。"));
    EXPECT_NE(directory.GetErrorDetail(-1), L"");

    TestDoc noDirectory;
    EXPECT_EQ(noDirectory.Open(dir.WFile("no/such.flv")), FlvResult::OpenFailed);
}

TEST_F(Open, UnreadableFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
    const std::string locked = dir.File("locked.flv");
    Valid().WriteTo(locked);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    TestDoc unreadable;
    EXPECT_EQ(unreadable.Open(Wide(locked)), FlvResult::OpenFailed);
    EXPECT_THAT(Details(unreadable), ElementsAre(std::to_wstring(EACCES)));
}

TEST_F(Open, HeaderThatDoesNotLoad) {
    EXPECT_THAT(Failing({}, FlvResult::HeaderLoadFailed), ElementsAre(kHeaderRead, kHeaderLoad));
    EXPECT_THAT(Failing(Head(Valid().bytes, 8), FlvResult::HeaderLoadFailed),
                ElementsAre(kHeaderRead, kHeaderLoad));

    FlvBuilder beyond;
    beyond.RawHeader({'F', 'L', 'V'}, 1, 0x05, 100, Pattern(20));
    EXPECT_THAT(Failing(beyond.bytes, FlvResult::HeaderLoadFailed),
                ElementsAre(L"未知のFLVヘッダ読み込み時にファイル読み込みエラーが発生しました。",
                            kHeaderLoad));

    for (uint32_t offset : {0u, 1u, 8u}) {
        FlvBuilder below;
        below.RawHeader({'F', 'L', 'V'}, 1, 0x05, offset);
        below.Append(Valid().bytes);
        TestDoc doc;
        EXPECT_EQ(OpenBuilt(doc, below), FlvResult::HeaderLoadFailed) << offset;
    }

    // The formatted text puts the document's message first.
    TestDoc doc;
    ASSERT_EQ(OpenBytes(doc, Pattern(5)), FlvResult::HeaderLoadFailed);
    const std::wstring text = doc.GetErrorMessageFormatted();
    EXPECT_EQ(text.rfind(kHeaderLoad + L"\n詳細エラー:\n" + kHeaderRead + L"( ", 0), 0u)
        << Narrow(text);
}

TEST_F(Open, HugeDataOffsetIsRefusedWithoutAllocatingIt) {
    FlvBuilder b;
    b.RawHeader({'F', 'L', 'V'}, 1, 0x05, 0xFFFFFF00u, Pattern(64));
    const std::string path = dir.File("huge.flv");
    b.WriteTo(path);
#ifndef FLVSPLICE_TEST_ASAN
    // In a child whose address space cannot take 4 GiB more: an attempt to
    // allocate the announced size would end in an exception (9010 without a
    // record) instead of the header's refusal.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        if (FILE* statm = fopen("/proc/self/statm", "r")) {
            if (fscanf(statm, "%ld", &pages) != 1) pages = 0;
            fclose(statm);
        }
        const rlim_t limit = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t(512) << 20);
        rlimit rl{limit, limit};
        if (pages == 0 || setrlimit(RLIMIT_AS, &rl) != 0) _exit(2);
        TestDoc doc;
        const int code = doc.Open(Wide(path));
        _exit(code == FlvResult::HeaderLoadFailed && doc.GetErrorMessage(-1) == kHeaderLoad ? 0
                                                                                            : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 2) << "could not limit the address space";
    EXPECT_EQ(WEXITSTATUS(status), 0);
#else
    TestDoc doc;
    EXPECT_EQ(doc.Open(Wide(path)), FlvResult::HeaderLoadFailed);
    EXPECT_EQ(doc.GetErrorMessage(-1), kHeaderLoad);
#endif
}

TEST_F(Open, SignatureBeforeFlags) {
    FlvBuilder wrong;
    wrong.RawHeader({'F', 'L', 'X'}, 1, 0x00, 9).H263(0, true).H263(40, false);
    EXPECT_THAT(Failing(wrong.bytes, FlvResult::BadSignature),
                ElementsAre(L"FLVファイルではありません。ヘッダのシグニチャが異なります。"));

    for (uint8_t flags : {0x00, 0x02, 0xFA}) {
        Bytes bytes = Valid(0x05).bytes;
        bytes[4] = flags;
        EXPECT_THAT(Failing(bytes, FlvResult::BadFlags),
                    ElementsAre(L"FLVヘッダの映像・音声フラグが不正です。"))
            << int(flags);
    }
}

TEST_F(Open, MissingPreviousTagSize) {
    FlvBuilder nine;
    nine.autoPrevTagSize = false;
    nine.Header(0x05);
    EXPECT_THAT(Failing(nine.bytes, FlvResult::ReadFailed), ElementsAre(kTagSizeRead));

    const FlvBuilder valid = Valid();
    EXPECT_THAT(Failing(valid.Truncated(valid.Size() - 2), FlvResult::ReadFailed),
                ElementsAre(kTagSizeRead));
    // Cut inside the data bytes of the second tag: it loads, the size field is missing.
    EXPECT_THAT(Failing(valid.Truncated(valid.tagOffsets[1] + 20), FlvResult::ReadFailed),
                ElementsAre(kTagSizeRead));
    EXPECT_NE(Failing(valid.Truncated(11), FlvResult::ReadFailed).size(), 0u);
}

TEST_F(Open, TagThatDoesNotLoad) {
    const FlvBuilder valid = Valid();
    const std::vector<std::wstring> cut =
        Failing(valid.Truncated(valid.tagOffsets[2] + 6), FlvResult::TagLoadFailed);
    EXPECT_THAT(
        cut, ElementsAre(L"FLVタグ読み込み時にファイル読み込みエラーが発生しました。", kTagLoad));

    FlvBuilder unknown = Valid();
    unknown.Tag(0x28, 200, Pattern(10)).H263(240, false);
    EXPECT_THAT(Failing(unknown.bytes, FlvResult::TagLoadFailed),
                ElementsAre(L"未知のFLVTAGタイプが検出されました。", kTagLoad));

    FlvBuilder codec7 = Valid();
    codec7.Video(200, VideoPayload(1, 7, Pattern(30)));
    EXPECT_THAT(Failing(codec7.bytes, FlvResult::TagLoadFailed),
                ElementsAre(L"未知のビデオパケットが検出されました。", kVideoLoad, kTagLoad));

    // Empty payloads and a packet shorter than its header: the next tag's
    // bytes must not be taken for them.
    FlvBuilder emptyAudio;
    emptyAudio.Header(0x05).Audio(0, {}).Mp3(26).H263(0, true).H263(40, false);
    auto messages = Failing(emptyAudio.bytes, FlvResult::TagLoadFailed);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], kAudioLoad);
    EXPECT_EQ(messages.back(), kTagLoad);

    FlvBuilder emptyVideo;
    emptyVideo.Header(0x05).Mp3(0).Mp3(26).Video(0, {}).H263(40, false);
    messages = Failing(emptyVideo.bytes, FlvResult::TagLoadFailed);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], kVideoLoad);
    EXPECT_EQ(messages.back(), kTagLoad);

    FlvBuilder shortVp6;
    shortVp6.Header(0x01)
        .Video(0, VideoPayload(1, 4, {0x00, 0x00}))
        .Video(40, VideoPayload(2, 4, Vp6Packet(0, 15, 20)));
    EXPECT_THAT(
        Failing(shortVp6.bytes, FlvResult::TagLoadFailed),
        ElementsAre(L"ビデオパケットヘッダ読み込み中にファイルREADエラーが発生しました。",
                    L"VP6ビデオパケットロード時にエラーが発生しました。", kVideoLoad, kTagLoad));

    TestDoc doc;
    ASSERT_EQ(OpenBuilt(doc, codec7), FlvResult::TagLoadFailed);
    EXPECT_EQ(doc.GetErrorMessageFormatted(), kTagLoad + L"\n詳細エラー:\n" + kVideoLoad +
                                                  L"\n未知のビデオパケットが検出されました。");
}

TEST_F(Open, ContentThatDisagreesWithTheHeader) {
    EXPECT_THAT(Failing(FlvBuilder().Header(0x05).bytes, FlvResult::ContentInvalid),
                ElementsAre(kNoContent));
    FlvBuilder scriptOnly;
    scriptOnly.Header(0x01).Script(0, OnMetaDataBody({{"duration", 1}})).Script(5, {});
    EXPECT_THAT(Failing(scriptOnly.bytes, FlvResult::ContentInvalid), ElementsAre(kNoContent));

    FlvBuilder noVideo;
    noVideo.Header(0x05).Mp3(0).Mp3(26).Mp3(52);
    EXPECT_THAT(Failing(noVideo.bytes, FlvResult::ContentInvalid),
                ElementsAre(L"FLVヘッダと映像データの関係に不整合があります。"));

    FlvBuilder noAudio;
    noAudio.Header(0x05).H263(0, true).H263(40, false);
    EXPECT_THAT(Failing(noAudio.bytes, FlvResult::ContentInvalid),
                ElementsAre(L"FLVヘッダと音声データの関係に不整合があります。"));
}

TEST_F(Open, SingleTagStreams) {
    const std::wstring oneAudio = L"音声FLVタグが1つしか存在しないため処理を続行できません。";
    const std::wstring oneVideo = L"映像FLVタグが1つしか存在しないため処理を続行できません。";
    EXPECT_THAT(Failing(Valid(0x05, 1).bytes, FlvResult::SingleAudioTag), ElementsAre(oneAudio));
    EXPECT_THAT(Failing(Valid(0x01, 1).bytes, FlvResult::SingleVideoTag), ElementsAre(oneVideo));
    EXPECT_THAT(Failing(Valid(0x04, 1).bytes, FlvResult::SingleAudioTag), ElementsAre(oneAudio));

    FlvBuilder oneOfVideo;
    oneOfVideo.Header(0x05).Mp3(0).H263(0, true).Mp3(26);
    EXPECT_THAT(Failing(oneOfVideo.bytes, FlvResult::SingleVideoTag), ElementsAre(oneVideo));
}

// ---- what a successful Open builds -------------------------------------

TEST_F(Open, DropsScriptTagsAnywhere) {
    FlvBuilder b;
    b.Header(0x05, Pattern(11))
        .Script(0, OnMetaDataBody({{"duration", 0.08}}))
        .Mp3(0)
        .Script(0, Pattern(5000))
        .H263(0, true)
        .Mp3(26)
        .Script(30, {})
        .H263(40, false)
        .Script(90, OnMetaDataBody({}));
    TestDoc doc;
    ASSERT_EQ(OpenBuilt(doc, b), 0) << DumpErrors(doc);
    ASSERT_EQ(doc.Tags().size(), 4u);
    std::vector<uint8_t> types;
    for (auto* tag : doc.Tags()) types.push_back(tag->m_tagType);
    EXPECT_THAT(types, ElementsAre(8, 9, 8, 9));
    EXPECT_THAT(Times(doc.Tags()), ElementsAre(0, 0, 26, 40));
    EXPECT_THAT(doc.AudioTags(), ElementsAre(doc.Tags()[0], doc.Tags()[2]));
    EXPECT_THAT(doc.VideoTags(), ElementsAre(doc.Tags()[1], doc.Tags()[3]));
    EXPECT_EQ(doc.GetFlvHeader()->m_extraSize, 11u);
    EXPECT_NE(doc.GetFlvMetaData(), nullptr);
    EXPECT_EQ(doc.GetErrorCount(), 0);

    // Payload ranges point into the file: audio after its header byte.
    auto* audio = dynamic_cast<CFlvAudioData*>(doc.Tags()[2]->m_payload.get());
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->m_rawData->m_offset, b.tagOffsets[4] + 12);
}

// Tags are stored in chunks of a few thousand; a file with script tags on
// both sides of a chunk boundary keeps every tag in place and in order.
TEST_F(Open, ManyTagsAcrossStorageChunks) {
    FlvBuilder b;
    b.Header(0x05);
    const uint32_t kPairs = 4500;
    for (uint32_t i = 0; i < kPairs; ++i) {
        b.Mp3(i * 26, 4).H263(i * 40, i % 25 == 0, 5, 4);
        if (i == 2047 || i == 2048) b.Script(i * 40, Pattern(3));
    }
    TestDoc doc;
    ASSERT_EQ(OpenBuilt(doc, b), 0) << DumpErrors(doc);
    ASSERT_EQ(doc.Tags().size(), 2 * kPairs);
    for (uint32_t i = 0; i < kPairs; ++i) {
        ASSERT_EQ(doc.AudioTags()[i], doc.Tags()[2 * i]);
        ASSERT_EQ(doc.Tags()[2 * i]->GetTimestamp(), i * 26);
        ASSERT_EQ(doc.Tags()[2 * i + 1]->GetTimestamp(), i * 40);
        ASSERT_EQ(doc.Tags()[2 * i]->m_duration, 26u);
    }
}

TEST_F(Open, WrongPreviousTagSizesAreNotChecked) {
    FlvBuilder b;
    b.autoPrevTagSize = false;
    b.Header(0x01)
        .PrevTagSize(0xFFFFFFFF)
        .H263(0, true)
        .PrevTagSize(3)
        .H263(40, false)
        .PrevTagSize(0);
    TestDoc doc;
    EXPECT_EQ(OpenBuilt(doc, b), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.Tags().size(), 2u);
}

TEST_F(Open, DurationsAreDistancesToTheNextTagOfTheSameType) {
    struct Case {
        std::vector<uint32_t> times, durations;
    };
    const std::vector<Case> cases = {
        {{0, 40, 80, 120}, {40, 40, 40, 40}},
        {{0, 33, 67, 100}, {33, 34, 33, 33}},
        // The last tag gets the mean distance, wherever the timeline starts.
        {{1000000, 1000040, 1000080, 1000120}, {40, 40, 40, 40}},
        {{1000000, 1000033, 1000067, 1000100}, {33, 34, 33, 33}},
        // The extension byte is the top of the time.
        {{0xFFFFF0, 0x1000010, 0x1000030}, {32, 32, 32}},
    };
    for (const auto& c : cases) {
        FlvBuilder b;
        b.Header(0x05);
        for (size_t i = 0; i < c.times.size(); ++i) {
            b.H263(c.times[i], i == 0).Mp3(c.times[i] * 2);
        }
        TestDoc doc;
        ASSERT_EQ(OpenBuilt(doc, b), 0) << DumpErrors(doc);
        EXPECT_THAT(Times(doc.VideoTags()), ElementsAreArray(c.times));
        EXPECT_THAT(Durations(doc.VideoTags()), ElementsAreArray(c.durations));
        std::vector<uint32_t> doubled;
        for (uint32_t d : c.durations) doubled.push_back(d * 2);
        EXPECT_THAT(Durations(doc.AudioTags()), ElementsAreArray(doubled));
    }
}

TEST_F(Open, UndeclaredAudioStaysWithoutDurations) {
    FlvBuilder b;
    b.Header(0x01).Mp3(0).H263(0, true).Mp3(26).H263(40, false).Mp3(52).H263(80, false);
    TestDoc doc;
    ASSERT_EQ(OpenBuilt(doc, b), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.Tags().size(), 6u);
    EXPECT_THAT(Durations(doc.AudioTags()), ElementsAre(0, 0, 0));
    EXPECT_THAT(Durations(doc.VideoTags()), ElementsAre(40, 40, 40));
}

TEST_F(Open, CloseKeepsTheModelReadable) {
    TestDoc doc;
    ASSERT_EQ(OpenBuilt(doc, Valid(0x05, 4)), 0);
    EXPECT_TRUE(doc.IsReady());
    doc.Close();
    doc.Close();
    EXPECT_FALSE(doc.IsReady());
    ASSERT_NE(doc.GetFlvHeader(), nullptr);
    EXPECT_EQ(doc.GetFlvHeader()->m_flags, 0x05);
    EXPECT_EQ(doc.Tags().size(), 8u);
    EXPECT_THAT(Durations(doc.VideoTags()), ElementsAre(40, 40, 40, 40));
    auto* video = dynamic_cast<CFlvVideoData*>(doc.VideoTags()[0]->m_payload.get());
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->m_packet->GetWidth(), 320u);
    EXPECT_NE(doc.GetFlvMetaData(), nullptr);
}

TEST_F(Open, WidePathsReachTheFile) {
    const std::string path = dir.File("動画 ファイル.flv");
    Valid().WriteTo(path);
    TestDoc doc;
    EXPECT_EQ(doc.Open(Wide(path)), 0) << DumpErrors(doc);
}

// ---- a file of more than 4 GiB -----------------------------------------

namespace {

// True when a hole of 64 MiB costs no disk blocks in dir.
bool SupportsSparseFiles(const std::string& dir) {
    const std::string probe = dir + "/sparse-probe";
    const int fd = ::open(probe.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    if (fd < 0) return false;
    const char byte = 1;
    struct stat st {};
    const bool ok = pwrite(fd, &byte, 1, off_t(64) << 20) == 1 && fstat(fd, &st) == 0 &&
                    st.st_blocks * 512 < (off_t(1) << 20);
    ::close(fd);
    ::unlink(probe.c_str());
    return ok;
}

bool WriteAt(int fd, const Bytes& bytes, uint64_t offset) {
    return pwrite(fd, bytes.data(), bytes.size(), off_t(offset)) == ssize_t(bytes.size());
}

}  // namespace

TEST_F(Open, TagsBeyondFourGiB) {
    if (!SupportsSparseFiles(dir.Path())) GTEST_SKIP() << "no sparse files here";
    constexpr uint32_t kDataSize = 0xFFFFFF;  // the largest payload a tag can have
    constexpr uint64_t kTagSpan = 11 + uint64_t(kDataSize) + 4;
    constexpr int kTags = 260;  // 260 * 16 MiB passes 4 GiB

    const std::string path = dir.File("large.flv");
    const int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    FlvBuilder head;
    head.Header(0x04);
    bool written = WriteAt(fd, head.bytes, 0);
    uint64_t at = head.Size();
    for (int i = 0; written && i < kTags; ++i) {
        // Only the tag header and the audio header byte; the data are a hole.
        Bytes tag = TagHeaderBytes(8, kDataSize, uint32_t(i) * 26);
        tag.push_back(0x2F);
        Bytes size;
        PutBE(size, 11 + kDataSize, 4);
        written = WriteAt(fd, tag, at) && WriteAt(fd, size, at + kTagSpan - 4);
        at += kTagSpan;
    }
    const int writeError = errno;
    ::close(fd);
    if (!written && (writeError == EFBIG || writeError == ENOSPC)) {
        GTEST_SKIP() << "cannot make a file of this size here";
    }
    ASSERT_TRUE(written);
    ASSERT_GT(at, uint64_t(1) << 32);

    TestDoc doc;
    ASSERT_EQ(doc.Open(Wide(path)), 0) << DumpErrors(doc);
    ASSERT_EQ(doc.Tags().size(), size_t(kTags));
    for (int i : {0, 255, 256, kTags - 1}) {
        SCOPED_TRACE(i);
        auto* audio = dynamic_cast<CFlvAudioData*>(doc.Tags()[size_t(i)]->m_payload.get());
        ASSERT_NE(audio, nullptr);
        const uint64_t expected = head.Size() + uint64_t(i) * kTagSpan + 12;
        EXPECT_EQ(audio->m_rawData->m_offset, expected);
        EXPECT_EQ(audio->m_rawData->m_size, kDataSize - 1u);
        EXPECT_EQ(doc.Tags()[size_t(i)]->m_duration, 26u);
    }
    EXPECT_GE(dynamic_cast<CFlvAudioData*>(doc.Tags().back()->m_payload.get())->m_rawData->m_offset,
              uint64_t(1) << 32);
}
