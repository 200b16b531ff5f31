#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>
#include <type_traits>

#include "SaveTestUtil.h"
#include "flvsplice/platform/FlvOutputFile.h"

using namespace flvtest;
using ::testing::ElementsAre;
using ::testing::Pair;

namespace {

static_assert(std::is_base_of_v<std::system_error, CFlvFileException>);

// Runs a save that must throw CFlvFileException on /dev/full; the exception's
// error code, or -1 when nothing was thrown.
template <class Save>
int FileErrorOnFullDevice(CFlvFile& doc, int refused, Save save) {
    int code = -1;
    const int result = RetryWhileLocked(doc, refused, [&] {
        try {
            return save(L"/dev/full");
        } catch (const CFlvFileException& e) {
            code = e.code().value();
            EXPECT_EQ(e.GetPath(), L"/dev/full");
            return 0;
        }
    });
    EXPECT_EQ(result, 0) << DumpErrors(doc);
    return code;
}

const std::wstring kCreateFailed = L"FLVファイル作成時にエラーが発生しました。";

// The audio data of the audio tags of an FLV file: each payload without its
// header byte.
Bytes AudioData(const Bytes& flv) {
    Bytes out;
    for (const ParsedTag& tag : ParseTags(flv)) {
        if (tag.type == 8) out.insert(out.end(), tag.payload.begin() + 1, tag.payload.end());
    }
    return out;
}

// ---- audio --------------------------------------------------------------

class AudioExport : public DocTest {
protected:
    const std::string out = dir.File("audio.bin");
};

TEST_F(AudioExport, WritesTheDataBehindEveryAudioHeaderByte) {
    FlvBuilder b;
    b.Header(0x05)
        .Audio(0, AudioPayload(0x2F, Pattern(30, 1)))
        .Video(0, VideoPayload(1, 2, H263Packet(5)))
        .Audio(26, AudioPayload(0x2F))  // the header byte alone
        .Video(40, VideoPayload(1, 2, H263Packet(5)))
        .Audio(52, AudioPayload(0xA2, Pattern(17, 2)));
    SaveDoc& doc = Open(b);
    WriteFile(out, Pattern(500, 3));  // replaced, not overwritten in part
    ASSERT_EQ(doc.SaveAudio(Wide(out), nullptr), 0) << DumpErrors(doc);
    EXPECT_EQ(ReadFile(out), Concat(Pattern(30, 1), Pattern(17, 2)));
}

TEST_F(AudioExport, FollowsTheTagListNotTheHeaderFlags) {
    SaveDoc& videoOnly = Open(Plan{.flags = 0x01, .video = {0, 40}});
    ASSERT_EQ(videoOnly.SaveAudio(Wide(out), nullptr), 0);
    ASSERT_TRUE(Exists(out));
    EXPECT_TRUE(ReadFile(out).empty());

    SaveDoc& unannounced = Open(Plan{.flags = 0x01, .audio = {10, 20}, .video = {0, 40}});
    ASSERT_EQ(unannounced.SaveAudio(Wide(out), nullptr), 0);
    EXPECT_EQ(ReadFile(out), AudioData(ReadFile(PathOf(unannounced))));
}

TEST_F(AudioExport, JoinedDocumentHasTheAudioOfBothFiles) {
    SaveDoc& first = Open(Plan{.audio = Every(20, 10), .video = Every(40, 5), .seed = 1});
    SaveDoc& second = Open(Plan{.audio = Every(20, 10), .video = Every(40, 5), .seed = 2});
    ASSERT_EQ(first.Add(&second, true), 0);
    ASSERT_EQ(first.SaveAudio(Wide(out), nullptr), 0);
    EXPECT_EQ(ReadFile(out),
              Concat(AudioData(ReadFile(PathOf(first))), AudioData(ReadFile(PathOf(second)))));
}

TEST_F(AudioExport, ProgressCountsEveryTagAndCanStop) {
    // Tags: audio 0, video 0, audio 20, audio 40, video 40, audio 60
    SaveDoc& doc = Open(Plan{.audio = {0, 20, 40, 60}, .video = {0, 40}});
    const auto tags = ParseTags(ReadFile(PathOf(doc)));
    RecordingProcess all;
    ASSERT_EQ(doc.SaveAudio(Wide(out), &all), 0);
    EXPECT_EQ(all.calls.size(), 6u);
    EXPECT_THAT(all.calls.back(), Pair(5, 6));

    RecordingProcess stop(2);
    ASSERT_EQ(doc.SaveAudio(Wide(out), &stop), 0);
    EXPECT_THAT(stop.calls, ElementsAre(Pair(0, 6), Pair(1, 6), Pair(2, 6)));
    EXPECT_EQ(ReadFile(out), Concat(Bytes(tags[0].payload.begin() + 1, tags[0].payload.end()),
                                    Bytes(tags[2].payload.begin() + 1, tags[2].payload.end())));
    EXPECT_EQ(doc.GetErrorCount(), 0);
}

TEST_F(AudioExport, OutputFailures) {
    SaveDoc& doc = Open(Plan{.audio = {0, 20}, .video = {0, 40}});
    const std::string source = PathOf(doc);
    const Bytes before = ReadFile(source);
    EXPECT_EQ(doc.SaveAudio(Wide(source), nullptr), 9001);
    EXPECT_EQ(doc.GetErrorMessage(-1), kCreateFailed);
    EXPECT_NE(doc.GetErrorDetail(-1), L"");
    EXPECT_EQ(ReadFile(source), before);

    EXPECT_EQ(
        FileErrorOnFullDevice(
            doc, 9001, [&](const std::wstring& path) { return doc.SaveAudio(path, nullptr); }),
        ENOSPC);

    doc.Close();
    EXPECT_EQ(doc.SaveAudio(Wide(out), nullptr), FlvResult::NotOpen);
    EXPECT_NE(doc.GetErrorMessage(-1), kCreateFailed);
    EXPECT_FALSE(Exists(out));
}

// ---- AVI ----------------------------------------------------------------

// Little-endian AVI fields, appended in order.
class LittleEndian {
public:
    LittleEndian& U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    LittleEndian& U16(uint32_t v) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
        return *this;
    }
    LittleEndian& Code(const char* fourCC) {
        bytes.insert(bytes.end(), fourCC, fourCC + 4);
        return *this;
    }
    LittleEndian& Raw(const Bytes& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }
    Bytes bytes;
};

// The first n bytes of a packet.
Bytes First(const Bytes& packet, size_t n) {
    return Bytes(packet.begin(), packet.begin() + long(n));
}

class AviExport : public DocTest {
protected:
    const std::string out = dir.File("video.avi");

    Bytes Avi(SaveDoc& doc, CFlvProcess* process = nullptr) {
        EXPECT_EQ(doc.SaveAVI(Wide(out), process), 0) << DumpErrors(doc);
        return ReadFile(out);
    }
};

TEST_F(AviExport, OneH263KeyFrameByteForByte) {
    // 5 header bytes and 100 raw bytes; the second frame has no raw bytes and
    // gets no chunk.
    const Bytes packet = H263Packet(5, 0, 0, Pattern(99, 9));
    ASSERT_EQ(packet.size(), 105u);
    FlvBuilder b;
    b.Header(0x01)
        .Video(0, VideoPayload(1, 2, packet))
        .Video(40, VideoPayload(2, 2, First(H263Packet(5, 0, 0, {}), 5)));
    SaveDoc& doc = Open(b);

    LittleEndian e;
    e.Code("RIFF").U32(354).Code("AVI ").Code("LIST").U32(192).Code("hdrl");
    e.Code("avih").U32(56).U32(0).U32(0).U32(0).U32(0x10).U32(1).U32(0).U32(1).U32(0);
    e.U32(320).U32(240).U32(0).U32(0).U32(0).U32(0);
    e.Code("LIST").U32(116).Code("strl");
    e.Code("strh").U32(56).Code("vids").Code("FLV1").U32(0).U16(0).U16(0).U32(0);
    e.U32(1).U32(25).U32(0).U32(1).U32(0).U32(0xFFFFFFFF).U32(0).U16(0).U16(0).U16(320).U16(240);
    e.Code("strf").U32(40).U32(40).U32(320).U32(240).U16(1).U16(24).Code("FLV1");
    e.U32(320 * 240 * 6).U32(0).U32(0).U32(0).U32(0);
    e.Code("LIST").U32(118).Code("movi");
    e.Code("00dc").U32(105).Raw(packet).Raw({0x00});
    e.Code("idx1").U32(16).Code("00dc").U32(0x10).U32(4).U32(105);
    ASSERT_EQ(e.bytes.size(), 362u);

    EXPECT_TRUE(SameBytes(Avi(doc), e.bytes));
    EXPECT_EQ(doc.GetErrorCount(), 0);

    // Over a longer file: the sizes written back at the end land on the new
    // bytes, and nothing of the old file is left.
    WriteFile(out, Pattern(5000, 3));
    EXPECT_TRUE(SameBytes(Avi(doc), e.bytes));
}

TEST_F(AviExport, Vp6ChunksSkipTheSizeAdjustmentAndPadOddSizes) {
    FlvBuilder b;
    b.Header(0x01)
        .Video(0, VideoPayload(1, 4, Vp6Packet(0x21, 10, 20, Pattern(50, 1))))
        .Video(40, VideoPayload(2, 4, Vp6Packet(0x21, 10, 20, Pattern(51, 2))))
        .Video(80, VideoPayload(2, 4, Vp6Packet(0x21, 10, 20, Pattern(10, 3))));
    SaveDoc& doc = Open(b);
    const Bytes avi = Avi(doc);
    const AviContents contents = ParseAvi(avi);
    const Bytes header{0x00, 0x78, 10, 20};
    EXPECT_THAT(contents.frames,
                ElementsAre(Concat(header, Pattern(50, 1)), Concat(header, Pattern(51, 2)),
                            Concat(header, Pattern(10, 3))));
    // The 55-byte chunk is followed by a pad byte that its entry leaves out.
    EXPECT_THAT(contents.offsets, ElementsAre(4, 66, 130));
    ASSERT_EQ(contents.index.size(), 3u);
    EXPECT_EQ(contents.index[0].flags, 0x10u);
    EXPECT_EQ(contents.index[1].flags, 0u);
    EXPECT_EQ(contents.index[1].offset, 66u);
    EXPECT_EQ(contents.index[1].size, 55u);
    EXPECT_EQ(contents.index[2].offset, 130u);
    EXPECT_EQ(contents.index[2].size, 14u);

    EXPECT_EQ(TextAt(avi, 112, 4), "VP6F");
    EXPECT_EQ(TextAt(avi, 188, 4), "VP6F");
    EXPECT_EQ(LE32At(avi, 64), 318u);  // 20 x 16 - 2
    EXPECT_EQ(LE32At(avi, 68), 159u);  // 10 x 16 - 1
    EXPECT_EQ(LE32At(avi, 160), 318u | (159u << 16));
    EXPECT_EQ(LE32At(avi, 192), 318u * 159u * 6u);
}

TEST_F(AviExport, Vp6AlphaChunksSkipTheAlphaOffsetToo) {
    FlvBuilder b;
    b.Header(0x01)
        .Video(0, VideoPayload(1, 5, Vp6AlphaPacket(0x00, 8, 8, 0x000123, Pattern(40, 4))))
        .Video(40, VideoPayload(1, 5, Vp6AlphaPacket(0x00, 8, 8, 0x000456, Pattern(41, 5))));
    SaveDoc& doc = Open(b);
    const Bytes avi = Avi(doc);
    const Bytes header{0x00, 0x78, 8, 8};
    EXPECT_THAT(ParseAvi(avi).frames,
                ElementsAre(Concat(header, Pattern(40, 4)), Concat(header, Pattern(41, 5))));
    EXPECT_EQ(TextAt(avi, 112, 4), "VP6F");
    EXPECT_EQ(LE32At(avi, 64), 128u);
    EXPECT_EQ(LE32At(avi, 68), 128u);
}

TEST_F(AviExport, FrameRateFromTheFrameTimes) {
    struct Case {
        std::vector<uint32_t> times;
        uint32_t scale, rate;
    };
    const Case cases[] = {{{0, 40, 80, 120}, 1, 25},
                          {{0, 0}, 0, 1},
                          {{0, 30, 70}, 7, 200},
                          {{0, 33, 67, 100}, 1, 30},
                          {{1000, 1100}, 1, 10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.times));
        SaveDoc& doc = Open(Plan{.flags = 0x01, .video = c.times});
        const Bytes avi = Avi(doc);
        EXPECT_EQ(ParseAvi(avi).frames.size(), c.times.size());
        EXPECT_EQ(LE32At(avi, 128), c.scale);
        EXPECT_EQ(LE32At(avi, 132), c.rate);
    }
}

TEST_F(AviExport, FirstVideoTagDecidesTheCodec) {
    WriteFile(out, Pattern(50));
    for (uint8_t screen : {3, 6}) {
        FlvBuilder b;
        b.Header(0x01)
            .Video(0, VideoPayload(1, screen, ScreenPacket(64, 64)))
            .Video(40, VideoPayload(1, 4, Vp6Packet(0x00, 4, 4)));
        SaveDoc& doc = Open(b);
        EXPECT_EQ(doc.SaveAVI(Wide(out), nullptr), 9025);
        EXPECT_EQ(doc.SaveAVI(dir.WFile("new.avi"), nullptr), 9025);
    }
    EXPECT_EQ(ReadFile(out), Pattern(50));
    EXPECT_FALSE(Exists(dir.File("new.avi")));
}

TEST_F(AviExport, AudioOnlyWritesNothingAndSaysSo) {
    SaveDoc& doc = Open(Plan{.flags = 0x04, .audio = {0, 26}});
    EXPECT_EQ(doc.SaveAVI(Wide(out), nullptr), 0);
    EXPECT_FALSE(Exists(out));
    EXPECT_THAT(Messages(doc),
                ElementsAre(L"映像データが無いため、AVIファイルは作成されませんでした。"));
    EXPECT_THAT(Details(doc), ElementsAre(L""));
}

TEST_F(AviExport, StopLeavesACompleteFileOfTheFramesWritten) {
    // Tags: A0 V0 A20 A40 V40 A60 A80 V80 ...
    SaveDoc& doc = Open(Plan{.audio = Every(20, 10), .video = Every(40, 5)});
    const auto tags = ParseTags(ReadFile(PathOf(doc)));
    RecordingProcess stop(4);
    const Bytes avi = Avi(doc, &stop);
    EXPECT_EQ(stop.calls.size(), 5u);
    EXPECT_THAT(stop.calls.back(), Pair(4, 15));
    const AviContents contents = ParseAvi(avi);
    EXPECT_THAT(contents.frames,
                ElementsAre(Bytes(tags[1].payload.begin() + 1, tags[1].payload.end()),
                            Bytes(tags[4].payload.begin() + 1, tags[4].payload.end())));
    EXPECT_EQ(LE32At(avi, 128), 1u);
    EXPECT_EQ(LE32At(avi, 132), 25u);

    RecordingProcess all;
    EXPECT_EQ(ParseAvi(Avi(doc, &all)).frames.size(), 5u);
    EXPECT_EQ(all.calls.size(), 15u);
    EXPECT_EQ(doc.GetErrorCount(), 0);
}

TEST_F(AviExport, JoinedDocumentHasTheFramesOfBothFiles) {
    SaveDoc& first = Open(Plan{.audio = Every(20, 10), .video = Every(40, 5), .seed = 1});
    SaveDoc& second = Open(Plan{.audio = Every(20, 10), .video = Every(40, 5), .seed = 2});
    ASSERT_EQ(first.Add(&second, true), 0);
    const Bytes avi = Avi(first);
    const AviContents contents = ParseAvi(avi);
    ASSERT_EQ(contents.frames.size(), 10u);
    const auto secondTags = ParseTags(ReadFile(PathOf(second)));
    EXPECT_EQ(contents.frames[5],
              Bytes(secondTags[1].payload.begin() + 1, secondTags[1].payload.end()));
    EXPECT_EQ(LE32At(avi, 128), 1u);  // 9 frame steps over 360 ms
    EXPECT_EQ(LE32At(avi, 132), 25u);
}

TEST_F(AviExport, OutputFailures) {
    SaveDoc& doc = Open(Plan{.audio = {0, 20}, .video = {0, 40}});
    const std::string source = PathOf(doc);
    const Bytes before = ReadFile(source);
    EXPECT_EQ(doc.SaveAVI(Wide(source), nullptr), 9006);
    EXPECT_EQ(ReadFile(source), before);

    EXPECT_NE(FileErrorOnFullDevice(
                  doc, 9006, [&](const std::wstring& path) { return doc.SaveAVI(path, nullptr); }),
              -1);

    doc.Close();
    const int errors = doc.GetErrorCount();
    EXPECT_EQ(doc.SaveAVI(Wide(out), nullptr), FlvResult::NotOpen);
    EXPECT_EQ(doc.GetErrorCount(), errors + 1);
    EXPECT_NE(doc.GetErrorMessage(-1), L"");
    EXPECT_FALSE(Exists(out));
}

TEST_F(AviExport, SizeLimitEndsWithAValidFile) {
    // Four chunks of 105 bytes plus pad: 232 + 130 bytes per frame.
    FlvBuilder b;
    b.Header(0x01);
    for (uint32_t i = 0; i < 4; ++i) {
        b.Video(i * 40, VideoPayload(1, 2, H263Packet(5, 0, 0, Pattern(99, uint8_t(i)))));
    }
    SaveDoc& doc = Open(b);
    struct Case {
        uint64_t limit;
        int result;
        size_t frames;
    };
    const Case cases[] = {
        {752, 0, 4}, {751, 9028, 3}, {492, 9028, 2}, {491, 9028, 1}, {0, 9028, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        const int errors = doc.GetErrorCount();
        EXPECT_EQ(doc.SaveAVI(Wide(out), nullptr, c.limit), c.result);
        EXPECT_EQ(doc.GetErrorCount(), errors + (c.result == 0 ? 0 : 1));
        if (c.result != 0) {
            EXPECT_NE(doc.GetErrorMessage(-1), L"");
        }

        const Bytes avi = ReadFile(out);
        EXPECT_EQ(avi.size(), 232 + 130 * c.frames);
        EXPECT_EQ(ParseAvi(avi).frames.size(), c.frames);
        EXPECT_EQ(LE32At(avi, 4), avi.size() - 8);
        EXPECT_EQ(LE32At(avi, 132) / std::max(LE32At(avi, 128), 1u), 25u);
    }
}

}  // namespace
