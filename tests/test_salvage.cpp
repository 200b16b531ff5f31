#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestUtil.h"
#include "flvsplice/common/FlvResult.h"

// Salvaging Open: damaged files load what can be trusted, and every problem
// is recorded where it is.

using namespace flvtest;
using Kind = FlvSalvageProblem::Kind;

namespace {

FlvOpenOptions SalvageOptions(bool modern = true) {
    FlvOpenOptions options;
    options.modernCodecs = modern;
    options.salvage = true;
    return options;
}

// H.263 at 25 fps with a key frame every `gop` frames, MP3 every 26 ms.
FlvBuilder Legacy(int frames, int gop = 10, uint32_t start = 0, FlvBuilder b = {}) {
    if (b.Size() == 0) b.Header(0x05);
    for (int i = 0; i < frames; ++i) {
        const uint32_t t = start + 40u * uint32_t(i);
        b.Mp3(t + 5);
        b.H263(t, i % gop == 0, 5, 20 + size_t(i % 7));
    }
    return b;
}

Bytes Avc(uint8_t frameType, uint8_t packetType, const Bytes& data) {
    return VideoPayload(frameType, 7, Concat({packetType, 0, 0, 0}, data));
}

Bytes Nal(uint8_t type) {
    Bytes out{0, 0, 0, 8};
    return Concat(out, Concat({uint8_t(0x60 | type)}, Pattern(7, type)));
}

// H.264 at 25 fps (an IDR every 5 frames) with its configuration.
FlvBuilder& AvcRun(FlvBuilder& b, uint32_t start, int frames, uint8_t variant = 0) {
    b.Video(start, Avc(1, 0, AvcConfigRecord(variant)));
    for (int i = 0; i < frames; ++i) {
        const bool idr = i % 5 == 0;
        b.Video(start + 40u * uint32_t(i), Avc(idr ? 1 : 2, 1, Nal(idr ? 5 : 1)));
    }
    return b;
}

class Salvage : public ::testing::Test {
protected:
    TestDoc& Open(const Bytes& bytes, int expect = 0, const FlvOpenOptions& options = {}) {
        const std::string path = dir.File("in" + std::to_string(docs.size()) + ".flv");
        WriteFile(path, bytes);
        docs.push_back(std::make_unique<TestDoc>());
        TestDoc& doc = *docs.back();
        const FlvOpenOptions chosen = options.salvage ? options : SalvageOptions();
        EXPECT_EQ(doc.Open(Wide(path), chosen), expect) << DumpErrors(doc);
        return doc;
    }
    static int Classic(const Bytes& bytes, const std::string& path) {
        WriteFile(path, bytes);
        TestDoc doc;
        return doc.Open(Wide(path), FlvOpenOptions{});
    }
    static std::vector<Kind> Kinds(const TestDoc& doc) {
        std::vector<Kind> out;
        for (const auto& problem : doc.GetSalvageReport()) out.push_back(problem.kind);
        return out;
    }
    static std::vector<uint32_t> Times(TestDoc& doc, bool video) {
        std::vector<uint32_t> out;
        for (const CFlvTag* tag : video ? *doc.GetVideoTagArray() : *doc.GetAudioTagArray()) {
            out.push_back(tag->GetTimestamp());
        }
        return out;
    }
    static void ExpectMonotonic(TestDoc& doc) {
        for (bool video : {false, true}) {
            const auto times = Times(doc, video);
            EXPECT_TRUE(std::is_sorted(times.begin(), times.end())) << "video " << video;
        }
    }
    TempDir dir;
    std::vector<std::unique_ptr<TestDoc>> docs;
};

TEST_F(Salvage, UndamagedFileLoadsAsWithoutSalvageAndSavesTheSameBytes) {
    FlvBuilder b;
    b.Header(0x01);
    AvcRun(b, 0, 20);
    const Bytes bytes = b.bytes;
    TestDoc& plain = Open(bytes);
    EXPECT_TRUE(plain.GetSalvageReport().empty());
    const std::string path = dir.File("plain.flv");
    WriteFile(path, bytes);
    TestDoc classic;
    FlvOpenOptions modern;
    modern.modernCodecs = true;
    ASSERT_EQ(classic.Open(Wide(path), modern), 0);
    ASSERT_EQ(classic.GetFlvTagArray()->size(), plain.GetFlvTagArray()->size());
    ASSERT_EQ(plain.SaveAs(dir.WFile("a.flv"), nullptr), 0);
    ASSERT_EQ(classic.SaveAs(dir.WFile("b.flv"), nullptr), 0);
    EXPECT_EQ(ReadFile(dir.File("a.flv")), ReadFile(dir.File("b.flv")));
}

TEST_F(Salvage, TruncatedTailDropsTheIncompleteTagWhereverTheCutFalls) {
    const FlvBuilder b = Legacy(20);
    const size_t last = b.tagOffsets.back();
    struct Cut {
        size_t size;
        size_t tags;  // tags kept
        size_t offset;
    };
    for (const Cut& cut :
         {Cut{last + 5, 39, last}, Cut{last + 20, 39, last}, Cut{b.Size() - 2, 40, b.Size() - 4}}) {
        SCOPED_TRACE(cut.size);
        const Bytes bytes = b.Truncated(cut.size);
        if (cut.tags == 39) {
            EXPECT_NE(Classic(bytes, dir.File("c.flv")), 0);
        }
        TestDoc& doc = Open(bytes);
        EXPECT_EQ(doc.GetFlvTagArray()->size(), cut.tags);
        ASSERT_EQ(Kinds(doc), std::vector<Kind>{Kind::TruncatedTail});
        EXPECT_EQ(doc.GetSalvageReport()[0].offset, cut.offset);
    }
}

TEST_F(Salvage, WrongPreviousTagSizeIsIgnoredWhenTheNextHeaderIsPlausible) {
    FlvBuilder b;
    b.Header(0x05).Mp3(0).H263(0, true);
    b.autoPrevTagSize = false;
    b.Mp3(26).PrevTagSize(12345);
    b.autoPrevTagSize = true;
    b = Legacy(5, 10, 40, b);
    const size_t at = b.tagOffsets[2] + 11 + 33;
    TestDoc& doc = Open(b.bytes);
    EXPECT_EQ(doc.GetFlvTagArray()->size(), 13u);
    ASSERT_EQ(Kinds(doc), std::vector<Kind>{Kind::WrongPreviousTagSize});
    EXPECT_EQ(doc.GetSalvageReport()[0].offset, at);
    EXPECT_EQ(doc.GetSalvageReport()[0].amount, 12345);
}

TEST_F(Salvage, SkippedRegionsResumeVideoAtTheNextKeyFrame) {
    for (const bool zeros : {true, false}) {
        SCOPED_TRACE(zeros);
        FlvBuilder b = Legacy(10);
        const size_t at = b.Size();
        // Zeros, or garbage that holds tag type bytes but no confirmed tag.
        Bytes junk(zeros ? 65536 : 3000, 0);
        for (size_t i = 0; !zeros && i < junk.size(); ++i) junk[i] = uint8_t(i * 13 + 8);
        b.Append(junk);
        b = Legacy(12, 5, 400 + 2, b);  // frames 0 and 5 of the run are key frames...
        // ...but the first two frames after the damage are lost deltas.
        Bytes bytes = b.bytes;
        bytes.erase(bytes.begin() + long(b.tagOffsets[20]), bytes.begin() + long(b.tagOffsets[22]));
        TestDoc& doc = Open(bytes);
        const auto& report = doc.GetSalvageReport();
        ASSERT_GE(report.size(), 1u);
        EXPECT_EQ(report[0].kind, Kind::SkippedBytes);
        EXPECT_EQ(report[0].offset, at);
        EXPECT_EQ(report[0].amount, int64_t(junk.size()));
        // The run lost its first key frame: its frames 1..4 wait for frame 5.
        EXPECT_THAT(Kinds(doc), ::testing::Contains(Kind::UndecodableFrames));
        EXPECT_EQ(doc.GetVideoTagArray()->size(), 10u + 7u);
        EXPECT_TRUE(doc.GetVideoTagArray()->at(10)->IsKeyFrame());
    }
}

TEST_F(Salvage, BytesBetweenIntactTagsCostNoFrame) {
    FlvBuilder b = Legacy(10, 5);
    b.Append(Bytes(5000, 0));
    // Delta frames that go on by the usual step: no frame was lost.
    for (uint32_t t = 400; t < 600; t += 40) b.Mp3(t + 5).H263(t, false);
    TestDoc& doc = Open(b.bytes);
    EXPECT_EQ(Kinds(doc), std::vector<Kind>{Kind::SkippedBytes});
    EXPECT_EQ(doc.GetVideoTagArray()->size(), 15u);
}

TEST_F(Salvage, PureGarbageEndsWithNothingSalvageable) {
    FlvBuilder b;
    b.Header(0x05);
    Bytes junk(1 << 20);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 2654435761u >> 13);
    b.Append(junk);
    TestDoc& doc = Open(b.bytes, FlvResult::ContentInvalid);
    EXPECT_EQ(Kinds(doc), std::vector<Kind>{Kind::SkippedBytes});
}

TEST_F(Salvage, ConcatenatedFilesAreAReconnectAndTheTimelineContinues) {
    FlvBuilder b;
    b.Header(0x01);
    AvcRun(b, 0, 10);
    const size_t second = b.Size();
    b.Header(0x01);
    AvcRun(b, 20, 10);  // not a repetition of the first: other times
    TestDoc& doc = Open(b.bytes);
    EXPECT_THAT(Kinds(doc),
                ::testing::ElementsAre(Kind::Reconnect, Kind::RepeatedConfig, Kind::TimestampJump));
    EXPECT_EQ(doc.GetSalvageReport()[0].offset, second);
    const auto times = Times(doc, true);
    ASSERT_EQ(times.size(), 1u + 20u);
    EXPECT_EQ(times.back(), 19u * 40u);
    ExpectMonotonic(doc);
}

TEST_F(Salvage, TimestampsWrapAndJumpsCloseKeepingTheStreamsTogether) {
    // A 24-bit wrap: 0xFFFF00 is followed by small times.
    FlvBuilder wrap;
    wrap.Header(0x05);
    for (uint32_t i = 0; i < 12; ++i) {
        const uint32_t t = (0xFFFF00u + 40u * i) & 0xFFFFFF;
        wrap.Mp3(t).H263(t, i % 4 == 0);
    }
    TestDoc& wrapped = Open(wrap.bytes);
    EXPECT_EQ(Kinds(wrapped), std::vector<Kind>{Kind::TimestampWrap});
    EXPECT_EQ(Times(wrapped, true).back(), 0xFFFF00u + 11u * 40u);
    ExpectMonotonic(wrapped);

    // +90 s in the middle: audio and video move by the same amount.
    FlvBuilder jump = Legacy(10);
    jump = Legacy(10, 10, 90000 + 400, jump);
    TestDoc& jumped = Open(jump.bytes);
    ASSERT_EQ(Kinds(jumped), std::vector<Kind>{Kind::TimestampJump});
    const auto video = Times(jumped, true);
    const auto audio = Times(jumped, false);
    EXPECT_EQ(audio[10] - video[10], 5u);
    EXPECT_LT(video[10] - video[9], 100u);
    ExpectMonotonic(jumped);
}

TEST_F(Salvage, ConfigurationsEndsOfSequenceAndRepeatedRuns) {
    FlvBuilder b;
    b.Header(0x01);
    AvcRun(b, 0, 10);
    // Colour metadata (an enhanced Metadata tag): no frame, but no end either.
    b.Video(360, Bytes{0x94, 'a', 'v', 'c', '1', 0x02, 0x00, 0x09, 'c',  'o', 'l',
                       'o',  'r', 'I', 'n', 'f', 'o',  0x03, 0x00, 0x00, 0x09});
    b.Video(360, Avc(1, 2, {}));                  // end of sequence in the middle
    b.Video(400, Avc(1, 0, AvcConfigRecord(0)));  // sent again unchanged
    const size_t run = b.tagOffsets.size();
    for (int i = 0; i < 5; ++i) {
        b.Video(400 + 40u * uint32_t(i), Avc(i == 0 ? 1 : 2, 1, Nal(i == 0 ? 5 : 1)));
    }
    // The same five frames once more, byte for byte (a GOP sent twice).
    const Bytes repeated(b.bytes.begin() + long(b.tagOffsets[run]), b.bytes.end());
    b.Append(repeated);
    AvcRun(b, 600, 5, 1);  // a changed configuration stays
    TestDoc& doc = Open(b.bytes);
    EXPECT_THAT(Kinds(doc), ::testing::ElementsAre(Kind::EndOfSequence, Kind::RepeatedConfig,
                                                   Kind::RepeatedRun, Kind::ChangedConfig));
    EXPECT_EQ(doc.GetSalvageReport()[2].amount, 5);
    EXPECT_EQ(doc.GetVideoTagArray()->size(), 11u + 1u + 5u + 6u);
    ExpectMonotonic(doc);
}

TEST_F(Salvage, HeaderFlagsAndMissingConfigurations) {
    FlvBuilder b = Legacy(10);
    b.bytes[4] = 0x04;  // says audio only
    TestDoc& legacy = Open(b.bytes);
    EXPECT_EQ(Kinds(legacy), std::vector<Kind>{Kind::HeaderFlags});
    EXPECT_EQ(legacy.GetFlvHeader()->m_flags, 0x05);
    EXPECT_EQ(legacy.GetVideoTagArray()->size(), 10u);

    FlvBuilder avc;
    avc.Header(0x01);
    avc.Video(0, Avc(1, 1, Nal(5))).Video(40, Avc(2, 1, Nal(1)));
    AvcRun(avc, 80, 5);
    TestDoc& missing = Open(avc.bytes);
    EXPECT_EQ(Kinds(missing), std::vector<Kind>{Kind::MissingConfig});
    EXPECT_EQ(missing.GetSalvageReport()[0].amount, 2);
    EXPECT_EQ(missing.GetVideoTagArray()->size(), 6u);
}

}  // namespace
