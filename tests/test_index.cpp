#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <variant>

#include "FlvBuilder.h"
#include "TestUtil.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/index/FlvIndexedFile.h"
#include "flvsplice/index/FlvKeyframeIndex.h"

using namespace flvtest;

namespace {

class IndexedDoc : public CFlvIndexedFile {
public:
    using CFlvFile::GetFlvTagArray;
};

// The onMetaData tag of a written file, read back: its ECMA count, its keys in
// order, and the values this test looks at.
struct ReadBack {
    size_t tagStart = 0;
    size_t tagEnd = 0;  // first byte after the tag's PreviousTagSize
    uint32_t count = 0;
    std::vector<std::string> keys;
    std::map<std::string, double> numbers;
    std::map<std::string, bool> booleans;
    std::vector<double> times;
    std::vector<double> positions;
};

class Reader {
public:
    Reader(const Bytes& bytes, size_t at) : m_bytes(bytes), m_at(at) {}
    uint8_t Byte() { return m_bytes.at(m_at++); }
    uint32_t BE(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i) v = (v << 8) | Byte();
        return v;
    }
    std::string String() {
        const uint32_t length = BE(2);
        std::string s(m_bytes.begin() + long(m_at), m_bytes.begin() + long(m_at + length));
        m_at += length;
        return s;
    }
    double Number() {
        EXPECT_EQ(Byte(), 0x00);
        const double v = flvbytes::ReadBEDouble(&m_bytes.at(m_at));
        m_at += 8;
        return v;
    }
    std::vector<double> StrictArray() {
        EXPECT_EQ(Byte(), 0x0A);
        std::vector<double> values(BE(4));
        for (double& v : values) v = Number();
        return values;
    }
    bool AtObjectEnd() {
        return m_bytes.at(m_at) == 0 && m_bytes.at(m_at + 1) == 0 && m_bytes.at(m_at + 2) == 9;
    }
    size_t At() const { return m_at; }
    void Skip(size_t n) { m_at += n; }

private:
    const Bytes& m_bytes;
    size_t m_at;
};

ReadBack ReadMetaData(const Bytes& file) {
    ReadBack out;
    const uint32_t dataOffset = flvbytes::ReadBE32(&file.at(5));
    out.tagStart = dataOffset + 4;
    Reader r(file, out.tagStart);
    EXPECT_EQ(r.Byte(), 0x12);
    const uint32_t bodySize = r.BE(3);
    r.Skip(7);
    EXPECT_EQ(r.Byte(), 0x02);
    EXPECT_EQ(r.String(), "onMetaData");
    EXPECT_EQ(r.Byte(), 0x08);
    out.count = r.BE(4);
    while (!r.AtObjectEnd()) {
        const std::string key = r.String();
        out.keys.push_back(key);
        const uint8_t marker = file.at(r.At());
        if (marker == 0x00) {
            out.numbers[key] = r.Number();
        } else if (marker == 0x01) {
            r.Skip(1);
            out.booleans[key] = r.Byte() != 0;
        } else {
            EXPECT_EQ(key, "keyframes");
            EXPECT_EQ(r.Byte(), 0x03);
            EXPECT_EQ(r.String(), "times");
            out.times = r.StrictArray();
            EXPECT_EQ(r.String(), "filepositions");
            out.positions = r.StrictArray();
            EXPECT_TRUE(r.AtObjectEnd());
            r.Skip(3);
        }
    }
    r.Skip(3);
    EXPECT_EQ(r.At(), out.tagStart + 11 + bodySize);
    EXPECT_EQ(r.BE(4), bodySize + 11);
    out.tagEnd = r.At();
    return out;
}

// Audio every 26 ms, H.263 every 40 ms with key frames every 200 ms.
FlvBuilder AudioVideo(uint8_t flags = 0x05) {
    FlvBuilder b;
    b.Header(flags, {0xAA, 0xBB});
    uint32_t a = 0;
    for (uint32_t v = 0; v < 1000; v += 40) {
        for (; (flags & 0x04) && a <= v; a += 26) b.Mp3(a, 20 + a % 7);
        if (flags & 0x01) b.H263(v, v % 200 == 0, 5, 30 + v % 11);
    }
    return b;
}

struct Written {
    Bytes plain;
    Bytes indexed;
};

Written SaveBoth(const FlvBuilder& builder, const std::function<void(IndexedDoc&)>& edit = {}) {
    TempDir dir;
    builder.WriteTo(dir.File("in.flv"));
    IndexedDoc doc;
    EXPECT_EQ(doc.Open(dir.WFile("in.flv")), 0) << DumpErrors(doc);
    if (edit) edit(doc);
    EXPECT_EQ(doc.SaveAs(dir.WFile("plain.flv"), nullptr), 0) << DumpErrors(doc);
    EXPECT_EQ(doc.SaveAsIndexed(dir.WFile("indexed.flv"), nullptr), 0) << DumpErrors(doc);
    return {ReadFile(dir.File("plain.flv")), ReadFile(dir.File("indexed.flv"))};
}

// Everything but the onMetaData tag is the same, and the index points at
// the key-frame tags of the file actually written.
void ExpectIndexMatchesFile(const Written& w, size_t standardEntries) {
    const ReadBack plain = ReadMetaData(w.plain);
    const ReadBack idx = ReadMetaData(w.indexed);
    ASSERT_EQ(plain.tagStart, idx.tagStart);
    EXPECT_EQ(Bytes(w.plain.begin(), w.plain.begin() + long(plain.tagStart)),
              Bytes(w.indexed.begin(), w.indexed.begin() + long(idx.tagStart)));
    EXPECT_EQ(Bytes(w.plain.begin() + long(plain.tagEnd), w.plain.end()),
              Bytes(w.indexed.begin() + long(idx.tagEnd), w.indexed.end()));

    // The standard entries first, with the same values, then the additions.
    ASSERT_EQ(plain.keys.size(), standardEntries);
    ASSERT_GE(idx.keys.size(), standardEntries);
    for (size_t i = 0; i < standardEntries; ++i) {
        EXPECT_EQ(idx.keys[i], plain.keys[i]);
        EXPECT_EQ(std::memcmp(&idx.numbers.at(plain.keys[i]), &plain.numbers.at(plain.keys[i]), 8),
                  0)
            << plain.keys[i];
    }
    const std::vector<std::string> added = {"hasKeyframes",
                                            "hasVideo",
                                            "hasAudio",
                                            "hasMetadata",
                                            "canSeekToEnd",
                                            "datasize",
                                            "videosize",
                                            "audiosize",
                                            "lasttimestamp",
                                            "lastkeyframetimestamp",
                                            "lastkeyframelocation",
                                            "filesize",
                                            "keyframes"};
    EXPECT_EQ(std::vector<std::string>(idx.keys.begin() + long(standardEntries), idx.keys.end()),
              added);
    EXPECT_EQ(idx.count, idx.keys.size());
    EXPECT_EQ(idx.numbers.at("filesize"), double(w.indexed.size()));
    EXPECT_EQ(idx.numbers.at("datasize"), double(idx.tagEnd - idx.tagStart - 4));

    // Walk the written tags: every key frame, in order, is in the index.
    std::vector<double> times;
    std::vector<double> positions;
    double videoSize = 0;
    double audioSize = 0;
    for (size_t at = idx.tagEnd; at < w.indexed.size();) {
        const uint8_t type = w.indexed[at];
        const uint32_t size = flvbytes::ReadBE24(&w.indexed[at + 1]);
        const uint32_t time =
            (uint32_t(w.indexed[at + 7]) << 24) | flvbytes::ReadBE24(&w.indexed[at + 4]);
        if (type == 9) {
            videoSize += 11 + size;
            if ((w.indexed[at + 11] & 0xF0) == 0x10) {
                times.push_back(time / 1000.0);
                positions.push_back(double(at));
            }
        } else if (type == 8) {
            audioSize += 11 + size;
        }
        at += 11 + size + 4;
    }
    EXPECT_EQ(idx.times, times);
    EXPECT_EQ(idx.positions, positions);
    EXPECT_EQ(idx.booleans.at("hasKeyframes"), !times.empty());
    EXPECT_EQ(idx.numbers.at("videosize"), videoSize);
    EXPECT_EQ(idx.numbers.at("audiosize"), audioSize);
    if (!positions.empty()) {
        EXPECT_EQ(idx.numbers.at("lastkeyframelocation"), positions.back());
        EXPECT_EQ(idx.numbers.at("lastkeyframetimestamp"), times.back());
    }
}

}  // namespace

TEST(IndexedSave, BothStreamsOnlyTheMetadataTagDiffers) {
    const Written w = SaveBoth(AudioVideo());
    ExpectIndexMatchesFile(w, 8);
    const ReadBack idx = ReadMetaData(w.indexed);
    EXPECT_EQ(idx.times.size(), 5u);  // 0, 200, 400, 600, 800
    EXPECT_TRUE(idx.booleans.at("hasVideo"));
    EXPECT_TRUE(idx.booleans.at("hasAudio"));
    EXPECT_FALSE(idx.booleans.at("canSeekToEnd"));     // the last frame (960) is no key frame
    EXPECT_EQ(idx.numbers.at("lasttimestamp"), 0.96);  // the last tag: video at 960 ms
}

TEST(IndexedSave, AudioOnlyAndVideoOnly) {
    const Written audio = SaveBoth(AudioVideo(0x04));
    ExpectIndexMatchesFile(audio, 5);
    const ReadBack a = ReadMetaData(audio.indexed);
    EXPECT_FALSE(a.booleans.at("hasKeyframes"));
    EXPECT_TRUE(a.times.empty());
    EXPECT_FALSE(a.booleans.at("hasVideo"));

    const Written video = SaveBoth(AudioVideo(0x01));
    ExpectIndexMatchesFile(video, 6);
}

TEST(IndexedSave, CutAndJoinIndexTheEditedTimeline) {
    ExpectIndexMatchesFile(
        SaveBoth(AudioVideo(),
                 [](IndexedDoc& d) { ASSERT_EQ(d.Extract(300, 700), 0) << DumpErrors(d); }),
        8);

    TempDir dir;
    AudioVideo().WriteTo(dir.File("second.flv"));
    CFlvFile second;
    ASSERT_EQ(second.Open(dir.WFile("second.flv")), 0);
    const Written joined = SaveBoth(
        AudioVideo(), [&](IndexedDoc& d) { ASSERT_EQ(d.Add(&second, true), 0) << DumpErrors(d); });
    ExpectIndexMatchesFile(joined, 8);
    EXPECT_EQ(ReadMetaData(joined.indexed).times.size(), 10u);
}

TEST(IndexedSave, SameProgressStopAndFailuresAsSaveAs) {
    TempDir dir;
    AudioVideo().WriteTo(dir.File("in.flv"));
    IndexedDoc doc;
    ASSERT_EQ(doc.Open(dir.WFile("in.flv")), 0);
    const int count = int(doc.GetFlvTagArray()->size());

    RecordingProcess all;
    ASSERT_EQ(doc.SaveAsIndexed(dir.WFile("all.flv"), &all), 0);
    ASSERT_EQ(int(all.calls.size()), count);
    EXPECT_EQ(all.calls.back(), std::make_pair(count - 1, count));

    RecordingProcess stop(0);
    ASSERT_EQ(doc.SaveAsIndexed(dir.WFile("stop.flv"), &stop), 0);
    EXPECT_EQ(stop.calls.size(), 1u);
    const ReadBack head = ReadMetaData(ReadFile(dir.File("stop.flv")));
    const Bytes stopped = ReadFile(dir.File("stop.flv"));
    EXPECT_EQ(stopped.size(),
              head.tagEnd + 11 + flvbytes::ReadBE24(&stopped.at(head.tagEnd + 1)) + 4);
    EXPECT_EQ(doc.GetErrorCount(), 0);

    const Bytes source = ReadFile(dir.File("in.flv"));
    EXPECT_EQ(doc.SaveAsIndexed(dir.WFile("in.flv"), nullptr), FlvResult::CreateFailed);
    EXPECT_EQ(ReadFile(dir.File("in.flv")), source);

    EXPECT_EQ(doc.SaveAsIndexed(L"/dev/full", nullptr), FlvResult::OutputIncomplete);
    EXPECT_FALSE(doc.GetErrorDetail(-1).empty());

    doc.Close();
    EXPECT_EQ(doc.SaveAsIndexed(dir.WFile("closed.flv"), nullptr), FlvResult::NotOpen);
    EXPECT_FALSE(std::filesystem::exists(dir.File("closed.flv")));
}

TEST(KeyframeIndexInspection, JudgesWrittenAndTamperedFiles) {
    TempDir dir;
    AudioVideo().WriteTo(dir.File("in.flv"));
    IndexedDoc doc;
    ASSERT_EQ(doc.Open(dir.WFile("in.flv")), 0);
    ASSERT_EQ(doc.SaveAsIndexed(dir.WFile("indexed.flv"), nullptr), 0);
    ASSERT_EQ(doc.SaveAs(dir.WFile("plain.flv"), nullptr), 0);

    const FlvKeyframeIndexReport good = InspectKeyframeIndex(dir.WFile("indexed.flv"));
    EXPECT_TRUE(good.readable && good.present && good.consistent) << good.problem;
    EXPECT_EQ(good.entries, 5u);
    EXPECT_EQ(good.keyFrames, 5u);

    const FlvKeyframeIndexReport plain = InspectKeyframeIndex(dir.WFile("plain.flv"));
    EXPECT_TRUE(plain.readable);
    EXPECT_FALSE(plain.present);
    EXPECT_EQ(plain.keyFrames, 5u);

    // Move the second file position by one byte: the index no longer agrees.
    Bytes tampered = ReadFile(dir.File("indexed.flv"));
    const ReadBack meta = ReadMetaData(tampered);
    const std::string key = "filepositions";
    const auto found = std::search(tampered.begin(), tampered.end(), key.begin(), key.end());
    ASSERT_NE(found, tampered.end());
    const size_t second = size_t(found - tampered.begin()) + key.size() + 5 + 9 + 1;
    flvbytes::WriteBEDouble(&tampered[second], meta.positions[1] + 1);
    WriteFile(dir.File("tampered.flv"), tampered);
    const FlvKeyframeIndexReport bad = InspectKeyframeIndex(dir.WFile("tampered.flv"));
    EXPECT_TRUE(bad.present);
    EXPECT_FALSE(bad.consistent);
    EXPECT_NE(bad.problem.find("entry 1"), std::string::npos) << bad.problem;

    // A strict array that claims more numbers than the tag holds, and a file
    // cut short: reported, never read past.
    Bytes huge = ReadFile(dir.File("indexed.flv"));
    const size_t countAt = size_t(found - tampered.begin()) + key.size() + 1;
    flvbytes::WriteBE32(&huge[countAt], 0xFFFFFFFF);
    WriteFile(dir.File("huge.flv"), huge);
    EXPECT_FALSE(InspectKeyframeIndex(dir.WFile("huge.flv")).present);
    huge.resize(huge.size() - 7);
    WriteFile(dir.File("short.flv"), huge);
    EXPECT_FALSE(InspectKeyframeIndex(dir.WFile("short.flv")).readable);
    EXPECT_FALSE(InspectKeyframeIndex(dir.WFile("missing.flv")).readable);
}

TEST(KeyframeIndexInspection, ReadsTagsAsOpenDoes) {
    // A tag type no element loads: Open refuses the file, and so does the walk.
    TempDir dir;
    FlvBuilder unknown = AudioVideo();
    unknown.Tag(7, 1000, Pattern(4));
    unknown.WriteTo(dir.File("unknown.flv"));
    const FlvKeyframeIndexReport report = InspectKeyframeIndex(dir.WFile("unknown.flv"));
    EXPECT_FALSE(report.readable);
    EXPECT_EQ(report.problem, "a tag cannot be read");
}
