#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "FlvBuilder.h"
#include "flvsplice/codec/FlvAacConfig.h"
#include "flvsplice/codec/FlvAvcConfig.h"
#include "flvsplice/codec/FlvBitReader.h"

using namespace flvcodec;
using flvtest::BitWriter;
using flvtest::Bytes;
using flvtest::Concat;

namespace {

void PutUe(BitWriter& w, uint32_t value) {
    const uint32_t code = value + 1;  // the tests stay below 2^32 - 1
    const int bits = int(std::bit_width(code));
    w.Put(0, bits - 1);
    w.Put(code, bits);
}

void PutSe(BitWriter& w, int32_t value) {
    PutUe(w, value > 0 ? uint32_t(value) * 2 - 1 : uint32_t(-value) * 2);
}

// ---- bit reader ----------------------------------------------------------

TEST(CodecBitReader, ReadsFieldsAcrossBytesAndFailsStickilyAtTheEnd) {
    const uint8_t data[] = {0xA5, 0x0F, 0xF0, 0x01, 0x80};
    CFlvBitReader r(data, sizeof data);
    EXPECT_EQ(r.Bits(4), 0xAu);
    EXPECT_EQ(r.Bits(32), 0x50FF0018u);
    EXPECT_TRUE(r.Ok());
    EXPECT_EQ(r.Bits(5), 0u);  // one bit more than is left
    EXPECT_FALSE(r.Ok());
    EXPECT_EQ(r.BitsLeft(), 0u);

    CFlvBitReader skip(data, sizeof data);
    skip.Skip(3);
    skip.ByteAlign();
    EXPECT_EQ(skip.Bits(8), 0x0Fu);
    skip.Skip(25);
    EXPECT_FALSE(skip.Ok());

    CFlvBitReader wide(data, sizeof data);
    wide.Bits(33);
    EXPECT_FALSE(wide.Ok());
    CFlvBitReader empty(nullptr, 0);
    empty.Ue();
    EXPECT_FALSE(empty.Ok());
}

TEST(CodecBitReader, ExpGolombCoversTheWhole32BitRange) {
    BitWriter w;
    for (uint32_t v : {0u, 1u, 2u, 3u, 7u, 254u, 0xFFFFFFFEu - 1}) PutUe(w, v);
    for (int32_t v : {0, 1, -1, 2, -2, 1000, -1000}) PutSe(w, v);
    w.Put(0, 32), w.Put(1, 1), w.Put(0, 32);  // 2^32 - 1, the largest ue(v) that fits
    const Bytes bytes = w.Take();
    CFlvBitReader r(bytes.data(), bytes.size());
    for (uint32_t v : {0u, 1u, 2u, 3u, 7u, 254u, 0xFFFFFFFEu - 1}) EXPECT_EQ(r.Ue(), v);
    for (int32_t v : {0, 1, -1, 2, -2, 1000, -1000}) EXPECT_EQ(r.Se(), v);
    EXPECT_EQ(r.Ue(), 0xFFFFFFFFu);
    EXPECT_TRUE(r.Ok());

    // 33 leading zeros; a value past 32 bits; a missing suffix; +2^31 as se(v); and
    // -(2^31 - 1), which fits.
    const std::vector<std::vector<std::pair<uint32_t, int>>> codes = {
        {{0, 32}, {0, 1}, {1, 1}, {0, 31}},
        {{0, 32}, {1, 1}, {1, 32}},
        {{0, 5}, {1, 1}, {0, 2}},
        {{0, 32}, {1, 1}, {0, 32}},
        {{0, 31}, {0xFFFFFFFF, 32}}};
    for (size_t i = 0; i < codes.size(); ++i) {
        for (const auto& [value, bits] : codes[i]) w.Put(value, bits);
        const Bytes b = w.Take();
        CFlvBitReader code(b.data(), b.size());
        const int64_t value = i < 3 ? int64_t(code.Ue()) : code.Se();
        EXPECT_EQ(code.Ok(), i == 4) << i;
        EXPECT_EQ(value, i == 4 ? -0x7FFFFFFF : 0) << i;
    }
}

// ---- SPS -----------------------------------------------------------------

// SPS NAL units of one-frame streams made here with
//   ffmpeg -f lavfi -i testsrc=size=WxH:rate=1 -frames:v 1 -c:v libx264 -pix_fmt FMT [more] -f h264
// (ffmpeg 5.1, libx264 164), taken from behind their start codes. Width, height, profile and
// level are what ffprobe reports for the same streams.
struct X264Sps {
    const char* what;
    Bytes nal;
    uint8_t profile, level;
    uint32_t width, height, chroma, depth;
    bool frameMbsOnly;
};

const X264Sps kX264[] = {
    // 320x240 yuv420p -profile:v baseline; ffprobe: Constrained Baseline, level 11
    {"baseline 320x240",
     {0x67, 0x42, 0xc0, 0x0b, 0xd9, 0x01, 0x41, 0xfb, 0x01, 0x10, 0x00, 0x00,
      0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x00, 0x20, 0xf1, 0x42, 0xa4, 0x80},
     66,
     11,
     320,
     240,
     1,
     8,
     true},
    // 1920x1080 yuv420p, coded as 1920x1088; ffprobe: High, level 40
    {"high 1080p",
     {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x02, 0x27, 0xe5, 0xc0, 0x44, 0x00,
      0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0x08, 0x3c, 0x60, 0xc6, 0x58},
     100,
     40,
     1920,
     1080,
     1,
     8,
     true},
    // 1920x1080 yuv420p -flags +ildct -x264-params interlaced=1: 34 map units of field pairs
    // ffprobe: High, level 40, field order tt
    {"interlaced 1080i",
     {0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78, 0x04, 0x4f, 0xde, 0x02, 0x20, 0x00,
      0x00, 0x03, 0x00, 0x20, 0x00, 0x00, 0x03, 0x00, 0x43, 0xe2, 0xc5, 0xb2, 0xc0},
     100,
     40,
     1920,
     1080,
     1,
     8,
     false},
    // 318x237 yuv444p: crop units of one sample; ffprobe: High 4:4:4 Predictive, level 12
    {"high 4:4:4 318x237",
     {0x67, 0xf4, 0x00, 0x0c, 0x91, 0x9b, 0x28, 0x28, 0x3f, 0xdc, 0x98, 0x08, 0x80,
      0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x03, 0x01, 0x07, 0x8a, 0x14, 0xcb},
     244,
     12,
     318,
     237,
     3,
     8,
     true},
    // 320x237 yuv422p10le: vertical crop unit of one row; ffprobe: High 4:2:2, level 12
    {"high 4:2:2 10-bit 320x237",
     {0x67, 0x7a, 0x00, 0x0c, 0xb6, 0xcd, 0x94, 0x14, 0x1f, 0xf9, 0x30, 0x11, 0x00,
      0x00, 0x03, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x02, 0x0f, 0x14, 0x29, 0x96},
     122,
     12,
     320,
     237,
     2,
     10,
     true},
};

// Then every prefix, each in a buffer of its own size: false with the size cleared, or (cut
// inside the VUI, which is not read) the full result.
TEST(CodecSps, X264StreamsGiveWhatFfprobeReportsAndTruncationsFailCleanly) {
    for (const X264Sps& c : kX264) {
        SCOPED_TRACE(c.what);
        AvcConfig out;
        ASSERT_TRUE(ParseH264Sps(c.nal.data(), c.nal.size(), out));
        EXPECT_EQ(out.profile, c.profile);
        EXPECT_EQ(out.compatibility, c.nal[2]);
        EXPECT_EQ(out.level, c.level);
        EXPECT_EQ(out.width, c.width);
        EXPECT_EQ(out.height, c.height);
        EXPECT_EQ(out.chromaFormat, c.chroma);
        EXPECT_EQ(out.bitDepthLuma, c.depth);
        EXPECT_EQ(out.bitDepthChroma, c.depth);
        EXPECT_EQ(out.frameMbsOnly, c.frameMbsOnly);
        for (size_t n = 0; n < c.nal.size(); ++n) {
            const Bytes cut = flvtest::Head(c.nal, n);
            out.width = out.height = 1;
            const bool parsed = ParseH264Sps(cut.data(), cut.size(), out);
            EXPECT_EQ(out.width, parsed ? c.width : 0u) << n;
            EXPECT_EQ(out.height, parsed ? c.height : 0u) << n;
        }
    }
}

// A hand-built SPS for what x264 does not write: scaling matrices, pic_order_cnt_type 1,
// separate colour planes, field-coded 4:4:4, and emulation-prevention bytes inside the size
// fields.
struct HandSps {
    uint32_t profile = 100;
    uint32_t chroma = 1;
    bool separatePlanes = false;
    bool scalingLists = false;
    uint32_t pocType = 0;
    uint32_t widthMbsMinus1 = 39;
    uint32_t heightUnitsMinus1 = 29;
    bool frameMbsOnly = true;
    std::vector<uint32_t> crop;  // left, right, top, bottom; empty: no cropping
};

Bytes Build(const HandSps& s) {
    BitWriter w;
    w.Put(s.profile, 8), w.Put(0, 8), w.Put(30, 8);
    PutUe(w, 0);  // seq_parameter_set_id
    if (s.profile != 66) {
        PutUe(w, s.chroma);
        if (s.chroma == 3) w.Put(s.separatePlanes, 1);
        PutUe(w, 0), PutUe(w, 0), w.Put(0, 1);
        w.Put(s.scalingLists, 1);
        for (unsigned i = 0; s.scalingLists && i < (s.chroma == 3 ? 12u : 8u); ++i) {
            const bool present = i % 3 != 1;
            w.Put(present, 1);
            if (present && i == 3) {
                PutSe(w, -8);  // next scale 0 at once: the default matrix, one delta only
            } else if (present) {
                for (unsigned j = 0; j < (i < 6 ? 16u : 64u); ++j) PutSe(w, j % 2 ? -3 : 4);
            }
        }
    }
    PutUe(w, 0);  // log2_max_frame_num_minus4
    PutUe(w, s.pocType);
    if (s.pocType == 0) PutUe(w, 2);
    if (s.pocType == 1) {
        w.Put(0, 1), PutSe(w, -2), PutSe(w, 1);
        PutUe(w, 3), PutSe(w, 1), PutSe(w, -1), PutSe(w, 2);
    }
    PutUe(w, 1), w.Put(0, 1);
    PutUe(w, s.widthMbsMinus1), PutUe(w, s.heightUnitsMinus1);
    w.Put(s.frameMbsOnly, 1);
    if (!s.frameMbsOnly) w.Put(1, 1);
    w.Put(1, 1), w.Put(!s.crop.empty(), 1);
    for (uint32_t offset : s.crop) PutUe(w, offset);
    w.Put(0, 1), w.Put(1, 1);  // no VUI, stop bit
    Bytes nal{0x67};
    int zeros = 0;
    for (uint8_t byte : w.Take()) {
        if (zeros == 2 && byte <= 3) nal.push_back(0x03), zeros = 0;
        nal.push_back(byte);
        zeros = byte == 0 ? zeros + 1 : 0;
    }
    return nal;
}

TEST(CodecSps, HandBuiltLayouts) {
    struct Case {
        const char* what;
        HandSps sps;
        uint32_t width, height;
    };
    // ffprobe gives 632x476 for the first put in place of the SPS of the 1080p stream, and
    // 637x954 for the second with separate_colour_plane_flag cleared (it does not decode
    // separate planes); it refuses a width as large as the third's.
    const Case cases[] = {
        {"4:2:0, scaling lists, poc type 1",
         {.scalingLists = true, .pocType = 1, .crop = {0, 4, 0, 2}},
         632,
         476},
        {"separate 4:4:4 planes, twelve lists, field pairs",
         {.profile = 244,
          .chroma = 3,
          .separatePlanes = true,
          .scalingLists = true,
          .pocType = 2,
          .frameMbsOnly = false,
          .crop = {1, 2, 1, 2}},
         637,
         954},
        {"escaped size fields",
         {.profile = 66,
          .widthMbsMinus1 = (1u << 20) - 1,
          .heightUnitsMinus1 = 0,
          .crop = {0, 1023, 0, 0}},
         (1u << 24) - 2046,
         16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes nal = Build(c.sps);
        AvcConfig out;
        ASSERT_TRUE(ParseH264Sps(nal.data(), nal.size(), out));
        EXPECT_EQ(out.width, c.width);
        EXPECT_EQ(out.height, c.height);
        EXPECT_EQ(out.chromaFormat, c.sps.profile == 66 ? 1u : c.sps.chroma);
    }
    const Bytes escaped = Build(cases[2].sps), prevention = {0x00, 0x00, 0x03};
    EXPECT_NE(std::search(escaped.begin(), escaped.end(), prevention.begin(), prevention.end()),
              escaped.end());

    // The crop takes the whole width; poc type 3; chroma_format_idc 4.
    for (const HandSps& bad : {HandSps{.crop = {0, 320, 0, 0}}, HandSps{.pocType = 3, .crop = {}},
                               HandSps{.chroma = 4, .crop = {}}}) {
        const Bytes nal = Build(bad);
        AvcConfig out;
        EXPECT_FALSE(ParseH264Sps(nal.data(), nal.size(), out));
        EXPECT_EQ(out.width, 0u);
    }
    Bytes pps = Build({});
    pps[0] = 0x68;
    AvcConfig out;
    EXPECT_FALSE(ParseH264Sps(pps.data(), pps.size(), out));
}

// ---- decoder configuration record ----------------------------------------

// The record ffmpeg's FLV muxer writes for the 4:2:2 10-bit stream above: one SPS, one PPS and
// the high-profile extension (chroma 2, 10-bit, no SPS extensions).
const Bytes kRecord422 = {0x01, 0x7a, 0x00, 0x0c, 0xff, 0xe1, 0x00, 0x1a, 0x67, 0x7a, 0x00, 0x0c,
                          0xb6, 0xcd, 0x94, 0x14, 0x1f, 0xf9, 0x30, 0x11, 0x00, 0x00, 0x03, 0x00,
                          0x01, 0x00, 0x00, 0x03, 0x00, 0x02, 0x0f, 0x14, 0x29, 0x96, 0x01, 0x00,
                          0x06, 0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0, 0xfe, 0xfa, 0xfa, 0x00};

TEST(CodecAvcRecord, FfmpegRecordAndEveryTruncation) {
    AvcConfig out;
    ASSERT_TRUE(ParseAvcDecoderConfig(kRecord422.data(), kRecord422.size(), out));
    EXPECT_TRUE(out.valid);
    EXPECT_EQ(out.profile, 122);
    EXPECT_EQ(out.level, 12);
    EXPECT_EQ(out.nalLengthSize, 4);
    EXPECT_EQ(out.width, 320u);
    EXPECT_EQ(out.height, 237u);
    EXPECT_EQ(out.chromaFormat, 2u);
    EXPECT_EQ(out.bitDepthLuma, 10u);
    ASSERT_EQ(out.sps.size(), 1u);
    EXPECT_EQ(out.sps[0], Bytes(kRecord422.begin() + 8, kRecord422.begin() + 34));
    ASSERT_EQ(out.pps.size(), 1u);
    EXPECT_EQ(out.pps[0], Bytes(kRecord422.begin() + 37, kRecord422.begin() + 43));

    for (size_t n = 0; n < kRecord422.size(); ++n) {
        const Bytes cut = flvtest::Head(kRecord422, n);
        const bool whole = ParseAvcDecoderConfig(cut.data(), cut.size(), out);
        EXPECT_EQ(whole, n >= 43) << n;  // the extension is optional
        EXPECT_EQ(out.valid, whole) << n;
        EXPECT_EQ(out.width, whole ? 320u : 0u) << n;
    }
}

TEST(CodecAvcRecord, MalformedRecordsAndAnUnreadableSps) {
    auto parses = [](Bytes record) {
        AvcConfig out;
        return ParseAvcDecoderConfig(record.data(), record.size(), out);
    };
    Bytes bad = kRecord422;
    bad[0] = 0;
    EXPECT_FALSE(parses(bad));
    bad = kRecord422;
    bad[4] = 0xFE;  // a length size of 3
    EXPECT_FALSE(parses(bad));
    bad = kRecord422;
    bad[36] = 0x07;  // the PPS runs one byte into the extension, then past the end
    EXPECT_TRUE(parses(bad));
    bad[36] = 0x0B;
    EXPECT_FALSE(parses(bad));

    // An SPS cut to its first bytes, no PPS, extension 4:4:4 9/10-bit: the record stands, the
    // size is unknown and the extension gives chroma format and bit depths.
    const Bytes shortSps = {0x01, 0x64, 0x00, 0x28, 0xfd, 0xe1, 0x00, 0x02,
                            0x67, 0x64, 0x00, 0xff, 0xf9, 0xfa, 0x00};
    AvcConfig out;
    ASSERT_TRUE(ParseAvcDecoderConfig(shortSps.data(), shortSps.size(), out));
    EXPECT_EQ(out.nalLengthSize, 2);
    EXPECT_EQ(out.width, 0u);
    EXPECT_EQ(out.chromaFormat, 3u);
    EXPECT_EQ(out.bitDepthLuma, 9u);
    EXPECT_EQ(out.bitDepthChroma, 10u);
    EXPECT_TRUE(out.pps.empty());
}

// ---- length-prefixed NAL units -------------------------------------------

TEST(CodecNalUnits, AnnexBAndTypes) {
    const Bytes sps = {0x67, 0x42}, pps = {0x68, 0xce}, idr = {0x65, 0x88, 0x84};
    auto frame = [&](unsigned size) {
        Bytes out;
        for (const Bytes* unit : {&sps, &pps, &idr}) {
            flvtest::PutBE(out, unit->size(), int(size));
            out.insert(out.end(), unit->begin(), unit->end());
        }
        flvtest::PutBE(out, 0, int(size));  // an empty unit is dropped
        return out;
    };
    const Bytes annexB = {0,    0,    0, 1, 0x67, 0x42, 0,    0,    0,   1,
                          0x68, 0xce, 0, 0, 0,    1,    0x65, 0x88, 0x84};
    for (unsigned size : {1u, 2u, 4u}) {
        SCOPED_TRACE(size);
        const Bytes f = frame(size);
        Bytes out = {0xAA};
        EXPECT_TRUE(AppendAnnexB(f.data(), f.size(), size, out));
        EXPECT_EQ(out, Concat({0xAA}, annexB));
        EXPECT_EQ(H264NalTypes(f.data(), f.size(), size), (1u << 7) | (1u << 8) | (1u << 5));
    }

    Bytes f = frame(4);
    Bytes out;
    EXPECT_FALSE(AppendAnnexB(f.data(), f.size(), 3, out));
    EXPECT_EQ(H264NalTypes(f.data(), f.size(), 3), 0u);
    EXPECT_FALSE(AppendAnnexB(f.data(), f.size() - 1, 4, out));  // a cut length field
    f[15] = 16;  // the IDR slice now runs past the end: SPS and PPS were seen
    EXPECT_FALSE(AppendAnnexB(f.data(), f.size(), 4, out));
    EXPECT_EQ(H264NalTypes(f.data(), f.size(), 4), (1u << 7) | (1u << 8));
}

// ---- AudioSpecificConfig and ADTS ----------------------------------------

TEST(CodecAac, AudioSpecificConfigs) {
    auto parse = [](const Bytes& asc) {
        AacConfig out;
        EXPECT_TRUE(ParseAudioSpecificConfig(asc.data(), asc.size(), out));
        EXPECT_TRUE(out.valid);
        return out;
    };
    AacConfig c = parse({0x12, 0x10});  // LC, 44.1 kHz, stereo
    EXPECT_EQ(c.objectType, 2u);
    EXPECT_EQ(c.samplingIndex, 4u);
    EXPECT_EQ(c.sampleRate, 44100u);
    EXPECT_EQ(c.channels, 2u);
    EXPECT_FALSE(c.sbr);
    c = parse({0x11, 0x88});  // LC, 48 kHz, mono
    EXPECT_EQ(c.sampleRate, 48000u);
    EXPECT_EQ(c.channels, 1u);
    // ffmpeg's FLV muxer writes a sync extension that says "no SBR".
    c = parse({0x12, 0x10, 0x56, 0xe5, 0x00});
    EXPECT_FALSE(c.sbr);
    EXPECT_EQ(c.extensionObjectType, 0u);

    BitWriter w;  // explicit HE-AAC v2: PS, 24 kHz core, stereo, 48 kHz output, LC core
    w.Put(29, 5), w.Put(6, 4), w.Put(2, 4), w.Put(3, 4), w.Put(2, 5), w.Put(0, 3);
    c = parse(w.Take());
    EXPECT_EQ(c.objectType, 2u);
    EXPECT_EQ(c.sampleRate, 24000u);
    EXPECT_EQ(c.extensionObjectType, 29u);
    EXPECT_EQ(c.extensionSampleRate, 48000u);
    EXPECT_TRUE(c.sbr && c.ps);

    // Implicit: LC at 22.05 kHz, 7.1 channels, then 0x2B7 / SBR at 44.1 kHz / 0x548 / PS.
    w.Put(2, 5), w.Put(7, 4), w.Put(7, 4), w.Put(0, 3);
    w.Put(0x2b7, 11), w.Put(5, 5), w.Put(1, 1), w.Put(4, 4), w.Put(0x548, 11), w.Put(1, 1);
    c = parse(w.Take());
    EXPECT_EQ(c.channels, 8u);
    EXPECT_EQ(c.extensionObjectType, 29u);
    EXPECT_EQ(c.extensionSampleRate, 44100u);
    EXPECT_TRUE(c.sbr && c.ps);

    // Escaped object type 32 + 10 = 42 at an explicit 12345 Hz, 960-sample frames.
    w.Put(31, 5), w.Put(10, 6), w.Put(15, 4), w.Put(12345, 24), w.Put(1, 4);
    c = parse(w.Take());
    EXPECT_EQ(c.objectType, 42u);
    EXPECT_EQ(c.samplingIndex, 15u);
    EXPECT_EQ(c.sampleRate, 12345u);
    w.Put(2, 5), w.Put(15, 4), w.Put(12345, 24), w.Put(1, 4), w.Put(1, 1), w.Put(0, 2);
    c = parse(w.Take());
    EXPECT_TRUE(c.frameLength960);
    EXPECT_EQ(c.sampleRate, 12345u);

    // Channel configuration 0: a program config element with a 2-byte comment comes first.
    w.Put(2, 5), w.Put(3, 4), w.Put(0, 4), w.Put(0, 3);
    w.Put(0, 10), w.Put(1, 4), w.Put(0, 4 + 4 + 2 + 3 + 4), w.Put(0, 3), w.Put(1, 5);
    w.Put(0, 1), w.Put(2, 8), w.Put(0xABCD, 16);  // byte alignment, comment
    w.Put(0x2b7, 11), w.Put(5, 5), w.Put(1, 1), w.Put(3, 4);
    c = parse(w.Take());
    EXPECT_EQ(c.channels, 0u);
    EXPECT_TRUE(c.sbr);
    EXPECT_EQ(c.extensionSampleRate, 48000u);

    // Too short; object type 0; index 13; an explicit rate cut short; SBR inside SBR.
    w.Put(5, 5), w.Put(3, 4), w.Put(2, 4), w.Put(6, 4), w.Put(5, 5), w.Put(0, 3);
    for (const Bytes& bad :
         {Bytes{0x12}, Bytes{0x02, 0x10}, Bytes{0x16, 0x90}, Bytes{0x17, 0x90}, w.Take()}) {
        AacConfig out;
        EXPECT_FALSE(ParseAudioSpecificConfig(bad.data(), bad.size(), out)) << bad.size();
        EXPECT_FALSE(out.valid);
    }
}

TEST(CodecAac, AdtsHeaderMatchesFfmpeg) {
    // First headers of `ffmpeg -f lavfi -i sine=frequency=440:sample_rate=R -ac N -c:a aac
    // -f adts`: 44.1 kHz stereo (frame of 345 bytes), 48 kHz mono (219 bytes).
    struct {
        Bytes asc;
        size_t frame;
        Bytes header;
    } cases[] = {{{0x12, 0x10}, 345, {0xff, 0xf1, 0x50, 0x80, 0x2b, 0x3f, 0xfc}},
                 {{0x11, 0x88}, 219, {0xff, 0xf1, 0x4c, 0x40, 0x1b, 0x7f, 0xfc}}};
    for (const auto& c : cases) {
        AacConfig config;
        ASSERT_TRUE(ParseAudioSpecificConfig(c.asc.data(), c.asc.size(), config));
        uint8_t header[7] = {};
        ASSERT_TRUE(MakeAdtsHeader(config, c.frame - 7, header));
        EXPECT_EQ(Bytes(header, header + 7), c.header);
    }

    AacConfig ok;
    ok.objectType = 2, ok.samplingIndex = 3, ok.channelConfig = 7;
    uint8_t header[7];
    EXPECT_TRUE(MakeAdtsHeader(ok, 8191 - 7, header));
    EXPECT_EQ(Bytes(header + 3, header + 6), Bytes({0xC3, 0xFF, 0xFF}));
    EXPECT_FALSE(MakeAdtsHeader(ok, 8191 - 6, header));
    // Object type 0 and 5, explicit frequency, 960-sample frames, channel configurations 0, 8.
    for (auto change :
         {+[](AacConfig& c) { c.objectType = 0; }, +[](AacConfig& c) { c.objectType = 5; },
          +[](AacConfig& c) { c.samplingIndex = 15; },
          +[](AacConfig& c) { c.frameLength960 = true; },
          +[](AacConfig& c) { c.channelConfig = 0; }, +[](AacConfig& c) { c.channelConfig = 8; }}) {
        AacConfig config = ok;
        change(config);
        EXPECT_FALSE(MakeAdtsHeader(config, 100, header));
    }
}

}  // namespace
