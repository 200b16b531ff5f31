#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "TestUtil.h"
#include "flvsplice/common/FlvResult.h"

// H.264/AVC and AAC through the modern-codecs option, and joins that keep
// each file's audio/video sync. The pictures are not real: the library reads
// packet types, NAL unit types and configuration bytes, never the pictures.

using namespace flvtest;
using ::testing::ElementsAre;

namespace {

// One coded frame: a NAL unit of the given type behind a 4-byte length.
Bytes Nal(uint8_t type, size_t size = 12) {
    Bytes out;
    PutBE(out, size, 4);
    return Concat(out, Concat({uint8_t(0x60 | type)}, Pattern(size - 1, type)));
}

Bytes AacPayload(uint8_t packetType, const Bytes& data) {
    return AudioPayload(0xAF, Concat({packetType}, data));
}

constexpr uint8_t kIdr = 5;
constexpr uint8_t kSlice = 1;
constexpr uint8_t kSei = 6;

FlvOpenOptions ModernOptions(bool keepSync = false) {
    FlvOpenOptions options;
    options.modernCodecs = true;
    options.keepSyncOnJoin = keepSync;
    return options;
}

// Video at 25 fps from `start`: configuration, then frames, an IDR every
// `gop` frames and a key-flagged non-IDR I-frame in the middle of each GOP.
// AAC every 23 ms from `audioStart` with its configuration first.
FlvBuilder Recording(uint32_t start, int frames, int gop, uint32_t audioStart, int audioFrames,
                     uint8_t configVariant = 0) {
    FlvBuilder b;
    b.Header(0x05);
    b.Video(start, AvcPayload(1, 0, AvcConfigRecord(configVariant)));
    b.Audio(audioStart, AacPayload(0, {0x12, 0x10}));
    int a = 0;
    for (int i = 0; i < frames; ++i) {
        const uint32_t t = start + 40u * uint32_t(i);
        while (a < audioFrames && audioStart + 23u * uint32_t(a) <= t) {
            b.Audio(audioStart + 23u * uint32_t(a), AacPayload(1, Pattern(20, uint8_t(a))));
            ++a;
        }
        if (i % gop == 0) {
            b.Video(t, AvcPayload(1, 1, Concat(Nal(kSei), Nal(kIdr)), 80));
        } else if (i % gop == gop / 2) {
            b.Video(t, AvcPayload(1, 1, Nal(kSlice), 80));  // open-GOP I-frame
        } else {
            b.Video(t, AvcPayload(2, 1, Nal(kSlice, 8 + i % 5), 40));
        }
    }
    for (; a < audioFrames; ++a) {
        b.Audio(audioStart + 23u * uint32_t(a), AacPayload(1, Pattern(20, uint8_t(a))));
    }
    b.Video(start + 40u * uint32_t(frames - 1), AvcPayload(1, 2, {}));
    return b;
}

class Modern : public ::testing::Test {
protected:
    TestDoc& Open(const FlvBuilder& builder, const FlvOpenOptions& options = ModernOptions()) {
        const std::string path = dir.File("in" + std::to_string(docs.size()) + ".flv");
        builder.WriteTo(path);
        docs.push_back(std::make_unique<TestDoc>());
        TestDoc& doc = *docs.back();
        EXPECT_EQ(doc.Open(Wide(path), options), 0) << DumpErrors(doc);
        return doc;
    }
    Bytes Saved(TestDoc& doc) {
        const std::string path = dir.File("out" + std::to_string(saves++) + ".flv");
        EXPECT_EQ(doc.SaveAs(Wide(path), nullptr), 0) << DumpErrors(doc);
        return ReadFile(path);
    }
    static std::vector<uint32_t> Times(const std::vector<CFlvTag*>& tags, bool framesOnly) {
        std::vector<uint32_t> out;
        for (const CFlvTag* tag : tags) {
            if (!framesOnly || tag->IsFrame()) out.push_back(tag->GetTimestamp());
        }
        return out;
    }

    TempDir dir;
    std::vector<std::unique_ptr<TestDoc>> docs;
    int saves = 0;
};

TEST_F(Modern, WithoutTheOptionH264IsRefusedAsBefore) {
    const std::string path = dir.File("avc.flv");
    Recording(0, 10, 5, 0, 10).WriteTo(path);
    TestDoc doc;
    EXPECT_EQ(doc.Open(Wide(path)), FlvResult::TagLoadFailed);
    EXPECT_THAT(Messages(doc), ElementsAre(L"未知のビデオパケットが検出されました。",
                                           L"映像データ読み込み時にエラーが発生しました。",
                                           L"FLVタグロード時にエラーが発生しました。"));
}

TEST_F(Modern, ConfigurationsAreNoFramesAndOnlyIdrPicturesAreCutPoints) {
    const FlvBuilder source = Recording(1000, 20, 10, 990, 35);
    TestDoc& doc = Open(source);
    const auto& video = doc.VideoTags();
    ASSERT_EQ(video.size(), 22u);  // configuration, 20 frames, end of sequence
    EXPECT_FALSE(video.front()->IsFrame());
    EXPECT_FALSE(video.back()->IsFrame());
    EXPECT_EQ(video.front()->m_duration, 0u);
    EXPECT_EQ(video[1]->m_duration, 40u);
    std::vector<size_t> cutPoints;
    for (size_t i = 0; i < video.size(); ++i) {
        if (doc.IsCutPoint(video[i])) cutPoints.push_back(i);
    }
    EXPECT_THAT(cutPoints, ElementsAre(1, 11));  // not the key-flagged I-frames at 6 and 16
    EXPECT_DOUBLE_EQ(doc.GetFlvMetaData()->m_frameRate, 25.0);
    EXPECT_EQ(doc.GetFlvMetaData()->m_videoCodecId, 7);
    ASSERT_NE(doc.FirstDecoderConfig(false), nullptr);
    EXPECT_EQ(doc.FirstDecoderConfig(false)->aac.sampleRate, 44100u);
    EXPECT_EQ(doc.FirstDecoderConfig(true)->bytes, AvcConfigRecord());

    // Unedited, the tags are written back byte for byte.
    const Bytes saved = Saved(doc);
    EXPECT_EQ(Bytes(saved.end() - long(source.Size() - 13), saved.end()),
              Bytes(source.bytes.begin() + 13, source.bytes.end()));
}

TEST_F(Modern, IdrPicturesAreFoundWithTheConfigurationsNalLengthSize) {
    // Two-byte NAL unit lengths: read as four, an IDR frame would look like
    // one unit of type 0 and a slice frame like an IDR.
    Bytes record = AvcConfigRecord();
    record[4] = 0xFD;
    auto nal = [](uint8_t type) {
        Bytes out{0x00, 0x05};
        return Concat(out, Concat({uint8_t(0x60 | type)}, Pattern(4, type)));
    };
    FlvBuilder b;
    b.Header(0x01).Video(0, AvcPayload(1, 0, record));
    b.Video(0, AvcPayload(1, 1, Concat(nal(kSei), nal(kIdr))));
    b.Video(40, AvcPayload(1, 1, Bytes{0x00, 0x03, 0x41, 0xAA, 0x65}));  // a slice
    b.Video(80, AvcPayload(2, 1, nal(kSlice)));
    TestDoc& doc = Open(b);
    const auto& video = doc.VideoTags();
    EXPECT_TRUE(doc.IsCutPoint(video[1]));
    EXPECT_FALSE(doc.IsCutPoint(video[2]));
}

TEST_F(Modern, CutStartsOnTheIdrBeforeAnOpenGopIFrameWithTheConfigurations) {
    TestDoc& doc = Open(Recording(1000, 30, 10, 990, 52));
    // 1640 ms is just after the key-flagged I-frame at 1600 ms (frame 15),
    // which needs frames before it: the cut starts at the IDR at 1400 ms.
    ASSERT_EQ(doc.Extract(1640, 1700), 0) << DumpErrors(doc);
    const auto& tags = doc.Tags();
    ASSERT_GE(tags.size(), 3u);
    EXPECT_NE(doc.GetDecoderConfig(tags[0]), nullptr);
    EXPECT_TRUE(doc.GetDecoderConfig(tags[0])->video);
    EXPECT_NE(doc.GetDecoderConfig(tags[1]), nullptr);
    EXPECT_FALSE(doc.GetDecoderConfig(tags[1])->video);
    const auto& video = doc.VideoTags();
    ASSERT_GE(video.size(), 2u);
    EXPECT_TRUE(doc.IsCutPoint(video[1])) << "the first frame is the IDR at 1400 ms";
    // Audio from 1381 ms became 0; the IDR at 1400 ms keeps its distance.
    EXPECT_EQ(video[1]->GetTimestamp(), 19u);
    EXPECT_EQ(Times(doc.AudioTags(), true).front(), 0u);
    EXPECT_EQ(video[0]->GetTimestamp(), 19u) << "the configuration takes its frame's time";
}

TEST_F(Modern, JoinLeavesOutAnUnchangedConfigurationKeepsAChangedOneAndDropsEndsOfSequence) {
    TestDoc& first = Open(Recording(0, 10, 5, 0, 17));
    TestDoc& same = Open(Recording(0, 10, 5, 0, 17));
    ASSERT_EQ(first.Add(&same, true), 0) << DumpErrors(first);
    size_t configs = 0;
    size_t ends = 0;
    for (const CFlvTag* tag : first.Tags()) {
        configs += first.GetDecoderConfig(tag) != nullptr;
        ends += !tag->IsFrame() && first.GetDecoderConfig(tag) == nullptr;
    }
    EXPECT_EQ(configs, 2u);
    EXPECT_EQ(ends, 1u);
    EXPECT_EQ(first.Tags().back()->m_tagType, CFlvTag::kVideo);
    EXPECT_FALSE(first.Tags().back()->IsFrame()) << "the last end of sequence stays";

    TestDoc& changed = Open(Recording(0, 10, 5, 0, 17, 1));
    EXPECT_EQ(first.Add(&changed, true), FlvResult::JoinRefused);
    EXPECT_THAT(Messages(first),
                ::testing::Contains(L"H.264のパラメータセット（SPS/PPS）が異なります。"));
    ASSERT_EQ(first.Add(&changed, false), 0) << DumpErrors(first);
    configs = 0;
    for (const CFlvTag* tag : first.Tags()) configs += first.GetDecoderConfig(tag) != nullptr;
    EXPECT_EQ(configs, 3u);
}

TEST_F(Modern, JoinRefusesAnotherCodecEvenWithoutCheck) {
    TestDoc& avc = Open(Recording(0, 10, 5, 0, 17));
    FlvBuilder h263;
    h263.Header(0x05).Audio(0, AacPayload(0, {0x12, 0x10}));
    for (uint32_t t = 0; t < 400; t += 40) h263.H263(t, t == 0).Audio(t, AacPayload(1, {1, 2}));
    TestDoc& other = Open(h263);
    EXPECT_EQ(avc.Add(&other, false), FlvResult::JoinRefused);
    EXPECT_THAT(Messages(avc), ::testing::Contains(L"映像データのコーデックが異なります。"));
}

// ---- joins that keep sync --------------------------------------------------

TEST_F(Modern, SyncJoinKeepsEachFilesDistanceAndDropsAudioBeforeItsFirstPicture) {
    // The second file's video starts 560 ms after its audio.
    TestDoc& first = Open(Recording(0, 10, 5, 0, 18), ModernOptions(true));
    TestDoc& late = Open(Recording(560, 10, 5, 0, 42), ModernOptions(true));
    ASSERT_EQ(first.Add(&late, false), 0) << DumpErrors(first);

    const std::vector<uint32_t> video = Times(first.VideoTags(), true);
    ASSERT_EQ(video.size(), 20u);
    EXPECT_EQ(video[10], video[9] + 40) << "video runs on without a hole";
    const std::vector<uint32_t> audio = Times(first.AudioTags(), true);
    EXPECT_TRUE(std::is_sorted(audio.begin(), audio.end()));
    // The first file's video ends at 400 ms and its audio at 414 ms. The
    // second file moves by 400 - 560 ms: its audio frames 0..23 would end by
    // 414 ms and are left out; frame 24 (392 ms) overlaps by 22 ms and starts
    // at 414 ms, 14 ms after its picture instead of 8 ms before it.
    EXPECT_EQ(first.GetDroppedAudioFrames(), 24u);
    ASSERT_EQ(audio.size(), 18u + 42u - 24u);
    EXPECT_EQ(audio[18], 414u);
    EXPECT_EQ(audio[19], 437u);

    // The classic join keeps every frame and starts each stream right after
    // its own end.
    TestDoc& plain = Open(Recording(0, 10, 5, 0, 18));
    TestDoc& plainLate = Open(Recording(560, 10, 5, 0, 42));
    ASSERT_EQ(plain.Add(&plainLate, false), 0) << DumpErrors(plain);
    EXPECT_EQ(plain.GetDroppedAudioFrames(), 0u);
    EXPECT_EQ(Times(plain.AudioTags(), true).size(), 60u);
}

}  // namespace
