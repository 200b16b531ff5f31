// A cut must stay playable: its video starts on the key frame, and AAC audio
// keeps the decoder setup it cannot play without.
#include <gtest/gtest.h>

#include "FlvBuilder.h"
#include "TestUtil.h"

using namespace flvtest;

namespace {

std::vector<uint32_t> TimesOf(const std::vector<CFlvTag*>& tags) {
    std::vector<uint32_t> out;
    for (const CFlvTag* tag : tags) out.push_back(tag->GetTimestamp());
    return out;
}

}  // namespace

TEST(CutPlayable, VideoBeforeTheKeyFrameLeavesTheRun) {
    // ADPCM-like audio: packets of 186 ms, so the audio covering the start
    // began well before the key frame at 1200.
    FlvBuilder b;
    b.Header(0x05);
    uint32_t a = 0;
    for (uint32_t v = 0; v <= 2000; v += 40) {
        for (; a <= v; a += 186) b.Audio(a, AudioPayload(0x16, Pattern(40)));
        b.H263(v, v % 400 == 0);
    }
    TempDir dir;
    b.WriteTo(dir.File("in.flv"));
    TestDoc doc;
    ASSERT_EQ(doc.Open(dir.WFile("in.flv")), 0);
    ASSERT_EQ(doc.Extract(1300, 1500), 0) << DumpErrors(doc);

    // The run starts with the audio at 1116; the frames at 1120 and 1160 are
    // gone, the video starts on the key frame at 1200, 84 ms after the audio.
    ASSERT_FALSE(doc.VideoTags().empty());
    EXPECT_TRUE(doc.VideoTags().front()->IsKeyFrame());
    EXPECT_EQ(doc.Tags().front()->m_tagType, CFlvTag::kAudio);
    EXPECT_EQ(TimesOf(doc.AudioTags()).front(), 0u);
    EXPECT_EQ(TimesOf(doc.VideoTags()),
              (std::vector<uint32_t>{84, 124, 164, 204, 244, 284, 324, 364}));
}

TEST(CutPlayable, AacCutStartsWithTheDecoderSetup) {
    FlvBuilder b;
    b.Header(0x05);
    b.Audio(0, AudioPayload(0xAF, {0x00, 0x12, 0x10}));  // AAC sequence header
    uint32_t a = 0;
    for (uint32_t v = 0; v <= 2000; v += 40) {
        for (; a <= v; a += 46) b.Audio(a, AudioPayload(0xAF, Concat({0x01}, Pattern(30))));
        b.H263(v, v % 400 == 0);
    }
    TempDir dir;
    b.WriteTo(dir.File("in.flv"));
    TestDoc doc;
    ASSERT_EQ(doc.Open(dir.WFile("in.flv")), 0);
    CFlvTag* setup = doc.AudioTags().front();
    ASSERT_EQ(doc.Extract(850, 1300), 0) << DumpErrors(doc);

    ASSERT_EQ(doc.Tags().front(), setup);
    EXPECT_EQ(setup->GetTimestamp(), 0u);
    // The setup takes no time: the first audio frame plays at 0 too, and the
    // video keeps its distance from it.
    ASSERT_GE(doc.AudioTags().size(), 2u);
    EXPECT_EQ(doc.AudioTags()[1]->GetTimestamp(), 0u);
    EXPECT_EQ(doc.VideoTags().front()->GetTimestamp(), 800u - 782u);
    EXPECT_TRUE(doc.VideoTags().front()->IsKeyFrame());

    // A second cut keeps the one setup, and the saved file has it once.
    ASSERT_EQ(doc.Extract(0, 200), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.Tags().front(), setup);
    ASSERT_EQ(doc.SaveAs(dir.WFile("cut.flv"), nullptr), 0) << DumpErrors(doc);
    TestDoc saved;
    ASSERT_EQ(saved.Open(dir.WFile("cut.flv")), 0);
    size_t setups = 0;
    for (CFlvTag* tag : saved.AudioTags()) {
        auto* audio = dynamic_cast<CFlvAudioData*>(tag->m_payload.get());
        uint8_t type = 0xFF;
        ASSERT_TRUE(audio->m_rawData->ReadToBuffer(&type, 1));
        setups += type == 0;
    }
    EXPECT_EQ(setups, 1u);
}

TEST(CutPlayable, OtherAudioGetsNoSetupCarried) {
    FlvBuilder b;
    b.Header(0x05);
    for (uint32_t t = 0; t <= 1000; t += 40) {
        b.Audio(t, AudioPayload(0x2F, {0x00, 0x01, 0x02}));  // MP3 whose data starts with 0
        b.H263(t, t % 200 == 0);
    }
    TempDir dir;
    b.WriteTo(dir.File("in.flv"));
    TestDoc doc;
    ASSERT_EQ(doc.Open(dir.WFile("in.flv")), 0);
    CFlvTag* first = doc.AudioTags().front();
    ASSERT_EQ(doc.Extract(500, 700), 0) << DumpErrors(doc);
    EXPECT_NE(doc.Tags().front(), first);
    EXPECT_EQ(doc.AudioTags().size(), 8u);  // 400 .. 680: from the key frame at 400
}
