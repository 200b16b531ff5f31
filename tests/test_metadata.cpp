#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "SaveTestUtil.h"
#include "flvsplice/flv/FlvAudioData.h"
#include "flvsplice/flv/FlvHeader.h"
#include "flvsplice/flv/FlvMetaData.h"
#include "flvsplice/flv/FlvTag.h"

using namespace flvtest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class MetaData : public DocTest {
protected:
    CFlvMetaData& Meta(const FlvBuilder& file) { return *Open(file).GetFlvMetaData(); }

    // The bits of the number stored under key in a saved file's metadata.
    static std::optional<uint64_t> SavedNumber(const Bytes& file, const std::string& key) {
        Bytes pattern;
        PutScriptString(pattern, key);
        pattern.push_back(0x00);
        auto at = std::search(file.begin(), file.end(), pattern.begin(), pattern.end());
        if (at == file.end() || file.end() - at < long(pattern.size() + 8)) return std::nullopt;
        const size_t offset = size_t(at - file.begin()) + pattern.size();
        return (uint64_t(BE32At(file, offset)) << 32) | BE32At(file, offset + 4);
    }
};

TEST_F(MetaData, AudioValuesComeFromTheFirstAudioTagAndVideoFromTheFirstKeyFrame) {
    FlvBuilder b;
    b.Header(0x05)
        .Audio(0, AudioPayload(0x59, Pattern(10)))  // format 5, rate 2, 8-bit, stereo
        .Video(0, VideoPayload(2, 4, Vp6Packet(0x00, 4, 4)))
        .Audio(26, AudioPayload(0xA6, Pattern(10)))
        .Video(40, VideoPayload(1, 2, H263Packet(3)))
        .Video(80, VideoPayload(1, 4, Vp6Packet(0x00, 8, 8)));
    CFlvMetaData& meta = Meta(b);
    EXPECT_EQ(meta.m_audioCodecId, 5);
    EXPECT_EQ(meta.m_soundRate, 2);
    EXPECT_EQ(meta.m_soundSize, 0);
    EXPECT_EQ(meta.m_soundType, 1);
    EXPECT_EQ(meta.m_videoCodecId, 2);
    EXPECT_EQ(meta.m_width, 176u);
    EXPECT_EQ(meta.m_height, 144u);
}

TEST_F(MetaData, PictureSizeOfEveryCodecAndSizeCode) {
    struct Case {
        uint8_t codec;
        Bytes packet;
        uint32_t width, height;
    };
    const Case cases[] = {
        {2, H263Packet(0, 200, 100), 200, 100},
        {2, H263Packet(0, 255, 1), 255, 1},
        {2, H263Packet(1, 1000, 600), 1000, 600},
        {2, H263Packet(1, 65535, 2), 65535, 2},
        {2, H263Packet(2), 352, 288},
        {2, H263Packet(3), 176, 144},
        {2, H263Packet(4), 128, 96},
        {2, H263Packet(5), 320, 240},
        {2, H263Packet(6), 160, 120},
        {2, H263Packet(7), 0, 0},
        {3, ScreenPacket(640, 480), 640, 480},
        {6, ScreenPacket(4095, 700, 3, 5), 4095, 700},
        // 20 columns and 15 rows of macroblocks, less 4 and 8 pixels
        {4, Vp6Packet(0x48, 15, 20), 316, 232},
        {4, Vp6Packet(0x00, 1, 2), 32, 16},
        {5, Vp6AlphaPacket(0x3C, 9, 12), 189, 132},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("codec " + std::to_string(c.codec) + ", " + std::to_string(c.width) + " x " +
                     std::to_string(c.height));
        FlvBuilder b;
        b.Header(0x01).Video(0, VideoPayload(1, c.codec, c.packet));
        b.Video(40, VideoPayload(2, c.codec, c.packet));
        CFlvMetaData& meta = Meta(b);
        EXPECT_EQ(meta.m_videoCodecId, c.codec);
        EXPECT_EQ(meta.m_width, c.width);
        EXPECT_EQ(meta.m_height, c.height);
    }
}

TEST_F(MetaData, DefaultPictureSizeOnlyWhenAudioIsAnnounced) {
    // Both streams, no key frame: the defaults stay, the codec stays 0.
    CFlvMetaData& both =
        Meta(Build({.audio = {0, 26}, .video = {0, 40}, .keys = std::vector<uint32_t>{}}));
    EXPECT_EQ(both.m_videoCodecId, 0);
    EXPECT_EQ(both.m_width, 320u);
    EXPECT_EQ(both.m_height, 240u);

    CFlvMetaData& videoOnly =
        Meta(Build({.flags = 0x01, .video = {0, 40}, .keys = std::vector<uint32_t>{}}));
    EXPECT_EQ(videoOnly.m_videoCodecId, 0);
    EXPECT_EQ(videoOnly.m_width, 0u);
    EXPECT_EQ(videoOnly.m_height, 0u);

    CFlvMetaData& audioOnly = Meta(Build({.flags = 0x04, .audio = {0, 26}}));
    EXPECT_EQ(audioOnly.m_width, 320u);
    EXPECT_EQ(audioOnly.m_height, 240u);
    EXPECT_EQ(audioOnly.m_videoCodecId, 0);
    EXPECT_EQ(audioOnly.m_frameRate, 0.0);
}

TEST_F(MetaData, UnannouncedAudioIsNotAnalysed) {
    FlvBuilder b;
    b.Header(0x01)
        .Video(0, VideoPayload(1, 2, H263Packet(6)))
        .Audio(0, AudioPayload(0x2F, Pattern(100)))
        .Video(40, VideoPayload(2, 2, H263Packet(6)))
        .Audio(26, AudioPayload(0x2F, Pattern(100)));
    SaveDoc& doc = Open(b);
    CFlvMetaData& meta = *doc.GetFlvMetaData();
    EXPECT_EQ(meta.m_audioCodecId, 0);
    EXPECT_EQ(meta.m_soundRate, 0);
    EXPECT_EQ(meta.m_soundType, 0);
    EXPECT_EQ(meta.m_audioDataRate, 0.0);
    EXPECT_EQ(meta.m_width, 160u);
    EXPECT_EQ(meta.m_durationSec, 0.08);

    const Bytes saved = Saved(doc);
    EXPECT_EQ(BE24At(saved, 14), 140u);
    EXPECT_FALSE(SavedNumber(saved, "audiocodecid"));
    EXPECT_FALSE(SavedNumber(saved, "audiodatarate"));
}

TEST_F(MetaData, RatesAndDurationOfTheWorkedExample) {
    // 50 video tags of 5000 bytes every 40 ms; audio of 39 bytes at 0, 26, 52.
    const size_t packetOverhead = VideoPayload(1, 2, H263Packet(5, 0, 0, {})).size();
    FlvBuilder b;
    b.Header(0x05);
    for (uint32_t i = 0; i < 50; ++i) {
        if (i < 3) b.Audio(i * 26, AudioPayload(0x2F, Pattern(38, uint8_t(i))));
        b.Video(i * 40, VideoPayload(1, 2, H263Packet(5, 0, 0, Pattern(5000 - packetOverhead))));
    }
    CFlvMetaData& meta = Meta(b);
    EXPECT_DOUBLE_EQ(meta.m_frameRate, 25.0);
    EXPECT_DOUBLE_EQ(meta.m_videoDataRate, 1000.0);
    EXPECT_DOUBLE_EQ(meta.m_durationSec, 2.0);
    // 117 bytes over 78 ms
    EXPECT_DOUBLE_EQ(meta.m_audioDataRate, 12.0);
}

TEST_F(MetaData, DurationIsTheLongerSpan) {
    // Audio at 0, 1000, 2000 lasts 3000 ms; video at 0 and 40 lasts 80 ms.
    CFlvMetaData& meta = Meta(Build({.audio = {0, 1000, 2000}, .video = {0, 40}}));
    EXPECT_DOUBLE_EQ(meta.m_durationSec, 3.0);
    EXPECT_DOUBLE_EQ(meta.m_frameRate, 25.0);
}

TEST_F(MetaData, ZeroSpanRatesAreWrittenAsInfinity) {
    SaveDoc& doc = Open(Build({.flags = 0x01, .video = {0, 0}}));
    CFlvMetaData& meta = *doc.GetFlvMetaData();
    EXPECT_TRUE(std::isinf(meta.m_frameRate));
    EXPECT_TRUE(std::isinf(meta.m_videoDataRate));
    EXPECT_EQ(meta.m_durationSec, 0.0);

    const Bytes saved = Saved(doc);
    EXPECT_EQ(SavedNumber(saved, "framerate"), 0x7FF0000000000000u);
    EXPECT_EQ(SavedNumber(saved, "videodatarate"), 0x7FF0000000000000u);
    EXPECT_EQ(SavedNumber(saved, "duration"), 0u);
}

// Tags made by hand, for figures no test file could afford.
class MetaDataAnalysis : public ::testing::Test {
protected:
    void SetUp() override { header.m_flags = 0x05; }

    std::vector<CFlvTag*> Make(uint8_t type, size_t count, uint32_t dataSize, uint32_t step) {
        std::vector<CFlvTag*> list;
        for (size_t i = 0; i < count; ++i) {
            auto tag = std::make_unique<CFlvTag>();
            tag->m_tagType = type;
            PutBE24(tag->m_dataSize, dataSize);
            tag->SetTimestamp(uint32_t(i) * step);
            tag->m_duration = step;
            if (type == CFlvTag::kAudio) {
                auto audio = std::make_unique<CFlvAudioData>();
                audio->m_header = 0x2F;
                tag->m_payload = std::move(audio);
            }
            list.push_back(tag.get());
            owned.push_back(std::move(tag));
        }
        return list;
    }

    static void PutBE24(uint8_t* p, uint32_t v) {
        p[0] = uint8_t(v >> 16);
        p[1] = uint8_t(v >> 8);
        p[2] = uint8_t(v);
    }

    CFlvHeader header;
    std::vector<std::unique_ptr<CFlvTag>> owned;
};

TEST_F(MetaDataAnalysis, DataSizeSumsDoNotWrapAt32Bits) {
    // 40 tags of 16,777,215 bytes per stream, 1000 ms apart: 5.4 billion bits
    // per stream over 40 seconds.
    const auto audio = Make(CFlvTag::kAudio, 40, 0xFFFFFF, 1000);
    const auto video = Make(CFlvTag::kVideo, 40, 0xFFFFFF, 1000);
    CFlvMetaData meta;
    meta.AnalyzeFlvFile(&header, audio, video);
    const double expected = 40.0 * 0xFFFFFF * 8 / 1000 / 40;
    EXPECT_NEAR(meta.m_audioDataRate, expected, 1e-6);
    EXPECT_NEAR(meta.m_videoDataRate, expected, 1e-6);
    EXPECT_DOUBLE_EQ(meta.m_frameRate, 1.0);
    EXPECT_DOUBLE_EQ(meta.m_durationSec, 40.0);
    EXPECT_EQ(meta.m_audioCodecId, 2);
}

TEST_F(MetaDataAnalysis, NoBytesOverNoTimeIsNotANumber) {
    header.m_flags = 0x04;
    const auto audio = Make(CFlvTag::kAudio, 2, 0, 0);
    CFlvMetaData meta;
    meta.AnalyzeFlvFile(&header, audio, {});
    EXPECT_TRUE(std::isnan(meta.m_audioDataRate));
    EXPECT_EQ(meta.m_durationSec, 0.0);
}

// ---- compatibility ------------------------------------------------------

const std::wstring kChannels = L"音声のステレオ/モノが異なります。";
const std::wstring kSampleSize = L"音声の8Bit/16Bitが異なります。";
const std::wstring kFrameRate = L"映像のフレームレートが異なります。";
const std::wstring kAudioCodec = L"音声データのコーデックが異なります。";
const std::wstring kVideoCodec = L"映像データのコーデックが異なります。";
const std::wstring kHeight = L"映像データの高さが異なります。";
const std::wstring kWidth = L"映像データの幅が異なります。";

void SetTypical(CFlvMetaData& m) {
    m.m_audioCodecId = 2;
    m.m_soundRate = 3;
    m.m_soundSize = 1;
    m.m_soundType = 1;
    m.m_videoCodecId = 2;
    m.m_width = 320;
    m.m_height = 240;
    m.m_frameRate = 25;
    m.m_audioDataRate = 128;
    m.m_videoDataRate = 500;
    m.m_durationSec = 10;
}

TEST(MetaDataCompatibility, FrameRatesCompareRoundedToWholeFrames) {
    struct Case {
        double mine, theirs;
        bool compatible;
    };
    const Case cases[] = {{29.97, 30.0, true}, {29.4, 29.6, false}, {24.5, 25.4, true},
                          {0.4, 0.0, true},    {0.5, 1.0, true},    {-0.6, -1.4, true},
                          {-0.4, 0.4, true},   {14.5, 14.49, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.mine) + " against " + std::to_string(c.theirs));
        CFlvMetaData mine, theirs;
        SetTypical(mine);
        SetTypical(theirs);
        mine.m_frameRate = c.mine;
        theirs.m_frameRate = c.theirs;
        EXPECT_EQ(mine.CheckCompatibility(&theirs), c.compatible);
        if (c.compatible) {
            EXPECT_THAT(Messages(mine), IsEmpty());
        } else {
            EXPECT_THAT(Messages(mine), ElementsAre(kFrameRate));
            EXPECT_THAT(Details(mine), ElementsAre(L""));
        }
        EXPECT_EQ(theirs.GetErrorCount(), 0);
    }
}

TEST(MetaDataCompatibility, SampleSizeDifferenceIsRecordedButCompatible) {
    CFlvMetaData mine, theirs;
    SetTypical(mine);
    SetTypical(theirs);
    theirs.m_soundSize = 0;
    EXPECT_TRUE(mine.CheckCompatibility(&theirs));
    EXPECT_THAT(Messages(mine), ElementsAre(kSampleSize));
    EXPECT_THAT(Details(mine), ElementsAre(L""));
    EXPECT_EQ(theirs.GetErrorCount(), 0);

    // ... and the check goes on behind it.
    theirs.m_width = 640;
    EXPECT_FALSE(mine.CheckCompatibility(&theirs));
    EXPECT_THAT(Messages(mine), ElementsAre(kSampleSize, kSampleSize, kWidth));
}

TEST(MetaDataCompatibility, ChannelDifferenceEndsTheCheck) {
    CFlvMetaData mine, theirs;
    SetTypical(mine);
    SetTypical(theirs);
    theirs.m_soundType = 0;
    theirs.m_soundSize = 0;
    theirs.m_width = 640;
    EXPECT_FALSE(mine.CheckCompatibility(&theirs));
    EXPECT_THAT(Messages(mine), ElementsAre(kChannels));
}

TEST(MetaDataCompatibility, FirstDifferenceInOrderIsReported) {
    // Every field differs; each step makes the reported one equal.
    using Setter = void (*)(CFlvMetaData&);
    const std::pair<Setter, std::wstring> steps[] = {
        {[](CFlvMetaData& m) { m.m_frameRate = 30; }, kFrameRate},
        {[](CFlvMetaData& m) { m.m_audioCodecId = 10; }, kAudioCodec},
        {[](CFlvMetaData& m) { m.m_videoCodecId = 4; }, kVideoCodec},
        {[](CFlvMetaData& m) { m.m_height = 480; }, kHeight},
        {[](CFlvMetaData& m) { m.m_width = 640; }, kWidth},
    };
    for (size_t fixed = 0; fixed <= std::size(steps); ++fixed) {
        CFlvMetaData mine, theirs;
        SetTypical(mine);
        SetTypical(theirs);
        for (size_t i = fixed; i < std::size(steps); ++i) steps[i].first(theirs);
        if (fixed == std::size(steps)) {
            EXPECT_TRUE(mine.CheckCompatibility(&theirs));
            EXPECT_EQ(mine.GetErrorCount(), 0);
        } else {
            EXPECT_FALSE(mine.CheckCompatibility(&theirs));
            EXPECT_THAT(Messages(mine), ElementsAre(steps[fixed].second));
        }
    }
}

TEST(MetaDataCompatibility, RatesDurationAndSamplingRateAreNotCompared) {
    CFlvMetaData mine, theirs;
    SetTypical(mine);
    SetTypical(theirs);
    theirs.m_soundRate = 0;
    theirs.m_audioDataRate = 1;
    theirs.m_videoDataRate = 1;
    theirs.m_durationSec = 99;
    EXPECT_TRUE(mine.CheckCompatibility(&theirs));
    EXPECT_EQ(mine.GetErrorCount(), 0);
}

}  // namespace
