#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "flvsplice/codec/FlvAv1Vp9Config.h"
#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/codec/FlvHevcConfig.h"
#include "flvsplice/common/FlvResult.h"

// HEVC, AV1 and VP9 headers read through the bounded bit reader, and codec-12
// and enhanced tags through the modern-codecs option. The pictures are not
// real: only headers, packet types and NAL unit types are read.

using namespace flvtest;

namespace {

void PutUe(BitWriter& bits, uint32_t value) {
    const uint64_t coded = uint64_t(value) + 1;
    int length = 0;
    while ((coded >> length) > 1) ++length;
    bits.Put(0, length);
    bits.Put(uint32_t(coded), length + 1);
}

// An HEVC SPS NAL unit of 4:2:0 with a conformance window of `bottom` chroma rows.
Bytes HevcSps(uint32_t width, uint32_t height, uint32_t bottom) {
    BitWriter bits;
    bits.Put(0, 4);     // sps_video_parameter_set_id
    bits.Put(1, 3);     // sps_max_sub_layers_minus1: one sub-layer's flags follow
    bits.Put(1, 1);     // sps_temporal_id_nesting_flag
    bits.Put(0x01, 8);  // profile space, tier, profile 1
    bits.Put(0x60000000, 32);
    bits.Put(0, 32);  // constraint flags
    bits.Put(0, 16);
    bits.Put(93, 8);     // general_level_idc
    bits.Put(0b11, 2);   // sub-layer profile and level present
    bits.Put(0, 2 * 7);  // padding to 8 sub-layers
    bits.Put(0, 32);     // the sub-layer's profile (88 bits) and level (8)
    bits.Put(0, 32);
    bits.Put(0, 32);
    PutUe(bits, 0);  // sps_seq_parameter_set_id
    PutUe(bits, 1);  // chroma_format_idc 4:2:0
    PutUe(bits, width);
    PutUe(bits, height);
    bits.Put(1, 1);  // conformance_window_flag
    PutUe(bits, 0);
    PutUe(bits, 0);
    PutUe(bits, 0);
    PutUe(bits, bottom);
    PutUe(bits, 0);  // bit depths
    PutUe(bits, 0);
    bits.Put(1, 1);
    return Concat({0x42, 0x01}, bits.Take());
}

Bytes Hvcc(const Bytes& sps) {
    Bytes out{0x01, 0x01, 0x60, 0,    0,    0,    0,    0, 0, 0,    0,   0,
              93,   0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0, 0, 0x0F, 0x01};
    out.push_back(0x80 | 33);
    PutBE(out, 1, 2);
    PutBE(out, sps.size(), 2);
    return Concat(out, sps);
}

// A sequence header OBU: one operating point at level 4.0, 8-bit size fields.
Bytes Av1SequenceHeader(uint32_t width, uint32_t height) {
    BitWriter bits;
    bits.Put(0, 3);  // seq_profile
    bits.Put(0, 2);  // still_picture, reduced_still_picture_header
    bits.Put(0, 1);  // timing_info_present_flag
    bits.Put(0, 1);  // initial_display_delay_present_flag
    bits.Put(0, 5);  // operating_points_cnt_minus_1
    bits.Put(0, 12);
    bits.Put(8, 5);  // seq_level_idx > 7: seq_tier follows
    bits.Put(0, 1);
    bits.Put(7, 4);
    bits.Put(7, 4);
    bits.Put(width - 1, 8);
    bits.Put(height - 1, 8);
    bits.Put(0, 7);
    const Bytes payload = bits.Take();
    return Concat({0x0A, uint8_t(payload.size())}, payload);
}

Bytes Vp9KeyFrame(uint32_t width, uint32_t height) {
    BitWriter bits;
    bits.Put(0b10, 2);  // frame_marker
    bits.Put(0, 2);     // profile 0
    bits.Put(0, 2);     // show_existing_frame, frame_type key
    bits.Put(0b10, 2);  // show_frame, error_resilient_mode
    bits.Put(0x498342, 24);
    bits.Put(1, 3);  // color_space
    bits.Put(0, 1);
    bits.Put(width - 1, 16);
    bits.Put(height - 1, 16);
    return Concat(bits.Take(), Pattern(8));
}

// Every prefix of a header parses or fails without reading past its end
// (AddressSanitizer watches the copies).
template <typename Parse>
void EveryPrefix(const Bytes& bytes, Parse parse) {
    for (size_t n = 0; n < bytes.size(); ++n) {
        const Bytes head(bytes.begin(), bytes.begin() + long(n));
        parse(head);
    }
}

}  // namespace

TEST(EnhancedHeaders, HevcSizeLessConformanceWindowAndBounds) {
    flvcodec::HevcConfig config;
    const Bytes record = Hvcc(HevcSps(320, 240, 4));
    ASSERT_TRUE(flvcodec::ParseHevcDecoderConfig(record.data(), record.size(), config));
    EXPECT_EQ(config.width, 320u);
    EXPECT_EQ(config.height, 232u);
    EXPECT_EQ(config.profile, 1);
    EXPECT_EQ(config.level, 93);
    EXPECT_EQ(config.nalLengthSize, 4);
    ASSERT_EQ(config.nalUnits.size(), 1u);
    EveryPrefix(record, [](const Bytes& head) {
        flvcodec::HevcConfig cut;
        if (flvcodec::ParseHevcDecoderConfig(head.data(), head.size(), cut)) {
            EXPECT_EQ(cut.width, 0u);  // a short record has no whole SPS
        }
    });
    // A window as large as the picture is damage: no size.
    const Bytes damaged = Hvcc(HevcSps(320, 240, 120));
    ASSERT_TRUE(flvcodec::ParseHevcDecoderConfig(damaged.data(), damaged.size(), config));
    EXPECT_EQ(config.width, 0u);
}

TEST(EnhancedHeaders, Av1AndVp9SizesAndBounds) {
    flvcodec::Av1Config av1;
    const Bytes record = Concat({0x81, 0x08, 0x0C, 0x00}, Av1SequenceHeader(160, 120));
    ASSERT_TRUE(flvcodec::ParseAv1DecoderConfig(record.data(), record.size(), av1));
    EXPECT_EQ(av1.width, 160u);
    EXPECT_EQ(av1.height, 120u);
    EveryPrefix(record, [](const Bytes& head) {
        flvcodec::Av1Config cut;
        flvcodec::ParseAv1DecoderConfig(head.data(), head.size(), cut);
        EXPECT_EQ(cut.width, 0u);
    });
    // In a frame, behind a temporal delimiter.
    const Bytes frame = Concat({0x12, 0x00}, Av1SequenceHeader(64, 48));
    flvcodec::Av1Config found;
    EXPECT_TRUE(flvcodec::FindAv1SequenceHeader(frame.data(), frame.size(), found));
    EXPECT_EQ(found.width, 64u);

    uint32_t width = 0;
    uint32_t height = 0;
    const Bytes key = Vp9KeyFrame(640, 360);
    ASSERT_TRUE(flvcodec::ParseVp9KeyFrameSize(key.data(), key.size(), width, height));
    EXPECT_EQ(width, 640u);
    EXPECT_EQ(height, 360u);
    Bytes inter = key;
    inter[0] |= 0x04;  // frame_type 1
    EXPECT_FALSE(flvcodec::ParseVp9KeyFrameSize(inter.data(), inter.size(), width, height));
    // The header up to the frame size takes 68 bits: every shorter prefix fails.
    EveryPrefix(Head(key, 9), [](const Bytes& head) {
        uint32_t w = 0;
        uint32_t h = 0;
        EXPECT_FALSE(flvcodec::ParseVp9KeyFrameSize(head.data(), head.size(), w, h));
    });
}

namespace {

Bytes HevcNal(uint8_t type, size_t size = 12) {
    Bytes out;
    PutBE(out, size, 4);
    return Concat(out, Concat({uint8_t(type << 1), 0x01}, Pattern(size - 2, type)));
}

Bytes EnhancedPayload(uint8_t frameType, uint8_t packetType, const char* fourCC,
                      const Bytes& body) {
    Bytes out{uint8_t(0x80 | frameType << 4 | packetType)};
    out.insert(out.end(), fourCC, fourCC + 4);
    return Concat(out, body);
}

Bytes Codec12(uint8_t frameType, uint8_t packetType, const Bytes& body) {
    return Concat({uint8_t(frameType << 4 | 12), packetType, 0, 0, 0}, body);
}

class Enhanced : public ::testing::Test {
protected:
    TestDoc& Open(const FlvBuilder& builder) {
        const std::string path = dir.File("in" + std::to_string(docs.size()) + ".flv");
        builder.WriteTo(path);
        docs.push_back(std::make_unique<TestDoc>());
        FlvOpenOptions options;
        options.modernCodecs = true;
        EXPECT_EQ(docs.back()->Open(Wide(path), options), 0) << DumpErrors(*docs.back());
        return *docs.back();
    }
    Bytes Saved(TestDoc& doc) {
        const std::string path = dir.File("out" + std::to_string(saves++) + ".flv");
        EXPECT_EQ(doc.SaveAs(Wide(path), nullptr), 0) << DumpErrors(doc);
        return ReadFile(path);
    }
    TempDir dir;
    std::vector<std::unique_ptr<TestDoc>> docs;
    int saves = 0;
};

}  // namespace

TEST_F(Enhanced, PacketsKeepEveryByteAndOnlyFramesTakeTime) {
    FlvBuilder b;
    b.Header(0x01);
    b.Video(0, EnhancedPayload(1, 0, "hvc1", Hvcc(HevcSps(320, 240, 0))));
    // Metadata (colour information) and a command frame: no frames.
    b.Video(0, EnhancedPayload(1, 4, "hvc1", Pattern(20)));
    b.Video(0, {0xD1, 0x01});
    // A ModEx prefix (a 3-byte nanosecond offset) before coded frames with a
    // composition time; then frames without one.
    b.Video(0, Concat({0x97, 0x02, 0x00, 0x01, 0x02, 0x01},
                      Concat({'h', 'v', 'c', '1', 0, 0, 40}, HevcNal(19))));
    b.Video(40, EnhancedPayload(2, 3, "hvc1", HevcNal(1)));
    b.Video(80, EnhancedPayload(1, 3, "hvc1", HevcNal(21)));  // CRA: a cut point
    b.Video(120, EnhancedPayload(2, 3, "hvc1", HevcNal(1)));
    TestDoc& doc = Open(b);
    const auto& video = doc.VideoTags();
    ASSERT_EQ(video.size(), 7u);
    std::vector<bool> frames;
    std::vector<bool> cuts;
    for (const CFlvTag* tag : video) {
        frames.push_back(tag->IsFrame());
        cuts.push_back(doc.IsCutPoint(tag));
    }
    EXPECT_THAT(frames, ::testing::ElementsAre(false, false, false, true, true, true, true));
    EXPECT_THAT(cuts, ::testing::ElementsAre(false, false, false, true, false, true, false));
    const auto* packet = static_cast<CFlvVideoData*>(video[3]->m_payload.get())->EnhancedPacket();
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->m_nanoOffset, 0x000102u);
    EXPECT_EQ(packet->GetCompositionTime(), 40);
    EXPECT_EQ(video[2]->m_duration, 0u);
    EXPECT_EQ(doc.GetFlvMetaData()->m_videoCodecId, flvcodec::kFourCCHevc);
    EXPECT_EQ(doc.GetFlvMetaData()->m_width, 320u);
    EXPECT_EQ(doc.GetFlvMetaData()->m_height, 240u);
    // Every tag comes back byte for byte.
    const Bytes saved = Saved(doc);
    for (size_t i = 0; i < b.tagOffsets.size(); ++i) {
        const Bytes& in = b.bytes;
        const size_t at = b.tagOffsets[i];
        const size_t size =
            11 + ((size_t(in[at + 1]) << 16) | (size_t(in[at + 2]) << 8) | in[at + 3]);
        const Bytes tag(in.begin() + long(at), in.begin() + long(at + size));
        EXPECT_NE(std::search(saved.begin(), saved.end(), tag.begin() + 11, tag.end()), saved.end())
            << i;
    }
}

TEST_F(Enhanced, CutAtCraLeavesOutItsRaslPicturesOnly) {
    FlvBuilder b;
    b.Header(0x01);
    b.Video(0, EnhancedPayload(1, 0, "hvc1", Hvcc(HevcSps(320, 240, 0))));
    // Decode order: IDR, trailing, CRA, RASL, RADL, RASL, trailing, a RASL
    // picture after the trailing one, which the cut keeps, and an IDR.
    const uint8_t types[] = {19, 1, 21, 8, 7, 9, 1, 8, 19};
    for (uint32_t i = 0; i < 9; ++i) {
        b.Video(i * 40, EnhancedPayload(types[i] >= 16 ? 1 : 2, 3, "hvc1", HevcNal(types[i])));
    }
    TestDoc& doc = Open(b);
    ASSERT_EQ(doc.Extract(100, UINT_MAX), 0) << DumpErrors(doc);
    std::vector<uint8_t> kept;
    for (const CFlvTag* tag : doc.VideoTags()) {
        if (!tag->IsFrame()) continue;
        uint8_t type = 0;
        ASSERT_TRUE(static_cast<CFlvVideoData*>(tag->m_payload.get())
                        ->TypedPacket()
                        ->FindFirstSlice(4, true, &type));
        kept.push_back(type);
    }
    EXPECT_THAT(kept, ::testing::ElementsAre(21, 7, 1, 8, 19));
    EXPECT_EQ(doc.GetDroppedRaslPictures(), 2u);
    EXPECT_TRUE(doc.IsCutPoint(doc.VideoTags()[1]));
}

TEST_F(Enhanced, Codec12BecomesHvc1WithTheSameCodedData) {
    FlvBuilder b;
    b.Header(0x01);
    const Bytes config = Hvcc(HevcSps(160, 120, 0));
    b.Video(0, Codec12(1, 0, config));
    b.Video(0, Codec12(1, 1, HevcNal(20)));
    b.Video(40, Codec12(2, 1, HevcNal(1)));
    b.Video(80, Codec12(1, 1, HevcNal(19)));
    TestDoc& doc = Open(b);
    EXPECT_EQ(doc.GetFlvMetaData()->m_videoCodecId, 12u);
    EXPECT_EQ(doc.GetFlvMetaData()->m_width, 160u);
    ASSERT_EQ(doc.ConvertToEnhanced(), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.GetFlvMetaData()->m_videoCodecId, flvcodec::kFourCCHevc);
    const Bytes saved = Saved(doc);
    const Bytes expected[] = {EnhancedPayload(1, 0, "hvc1", config),
                              EnhancedPayload(1, 3, "hvc1", HevcNal(20)),
                              EnhancedPayload(2, 3, "hvc1", HevcNal(1))};
    for (const Bytes& payload : expected) {
        EXPECT_NE(std::search(saved.begin(), saved.end(), payload.begin(), payload.end()),
                  saved.end());
    }
    // What enhanced tags cannot say is refused.
    FlvBuilder other;
    other.Header(0x01);
    other.Video(0, Codec12(1, 0, config));
    other.Video(0, Codec12(1, 5, {}));
    other.Video(40, Codec12(1, 1, HevcNal(20)));
    EXPECT_EQ(Open(other).ConvertToEnhanced(), FlvResult::ExportRefused);
}

TEST_F(Enhanced, AudioConfigurationIsRecordedAndModExRunningPastTheTagFails) {
    FlvBuilder b;
    b.Header(0x04);
    b.Audio(0, Concat({0x90, 'O', 'p', 'u', 's'}, Pattern(19)));
    b.Audio(0, Concat({0x94, 'O', 'p', 'u', 's'}, {0x01, 0x02}));  // multichannel configuration
    b.Audio(20, Concat({0x91, 'O', 'p', 'u', 's'}, Pattern(30)));
    b.Audio(40, Concat({0x97, 0x00, 0x05, 0x01, 'O', 'p', 'u', 's'}, Pattern(30)));
    TestDoc& doc = Open(b);
    const auto& audio = doc.AudioTags();
    ASSERT_EQ(audio.size(), 4u);
    const FlvDecoderConfig* config = doc.GetDecoderConfig(audio[0]);
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->codec, flvcodec::kFourCCOpus);
    EXPECT_EQ(config->bytes, Pattern(19));
    EXPECT_FALSE(audio[1]->IsFrame());
    EXPECT_TRUE(audio[3]->IsFrame());
    EXPECT_EQ(doc.GetFlvMetaData()->m_audioCodecId, flvcodec::kFourCCOpus);

    FlvBuilder broken;
    broken.Header(0x04);
    broken.Audio(0, {0x97, 0x10, 0x00});
    broken.Audio(20, {0x97, 0x10, 0x00});
    const std::string path = dir.File("broken.flv");
    broken.WriteTo(path);
    TestDoc doc2;
    FlvOpenOptions options;
    options.modernCodecs = true;
    EXPECT_EQ(doc2.Open(Wide(path), options), FlvResult::TagLoadFailed);
}
