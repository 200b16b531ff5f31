#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "TestUtil.h"
#include "flvsplice/codec/FlvAc3Header.h"
#include "flvsplice/codec/FlvAv1Vp9Config.h"
#include "flvsplice/codec/FlvHevcConfig.h"
#include "flvsplice/codec/FlvOpusConfig.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/common/FlvResult.h"
#include "flvsplice/export/FlvMp4Writer.h"

// MP4 output, judged by walking the boxes of the file written: the layout,
// the sample tables against the FLV's frames, and refusals that write nothing;
// codecs strings worked out by hand from the codecs' MP4 bindings.

using namespace flvtest;
using ::testing::ElementsAre;

namespace {

Bytes Nal(uint8_t type, size_t size) {
    Bytes out;
    PutBE(out, size, 4);
    return Concat(out, Concat({uint8_t(0x60 | type)}, Pattern(size - 1, type)));
}

Bytes AacPayload(uint8_t packetType, const Bytes& data) {
    return AudioPayload(0xAF, Concat({packetType}, data));
}

// 25 fps H.264 with B-frame composition offsets: an IDR every 10 frames and a
// key-flagged non-IDR frame between; the second half (from `change`) under
// another configuration when change > 0. AAC (44.1 kHz) at its frame times,
// rounded to milliseconds.
FlvBuilder Recording(int frames, int change = 0) {
    FlvBuilder b;
    b.Header(0x05);
    b.Video(0, AvcPayload(1, 0, AvcConfigRecord(0)));
    b.Audio(0, AacPayload(0, {0x12, 0x10}));
    int a = 0;
    for (int i = 0; i < frames; ++i) {
        const uint32_t t = 40u * uint32_t(i);
        auto audioTime = [](int n) { return uint32_t(n * 1024000.0 / 44100 + 0.5); };
        while (audioTime(a) <= t) {
            b.Audio(audioTime(a), AacPayload(1, Pattern(20 + a % 3, uint8_t(a))));
            ++a;
        }
        if (change > 0 && i == change) b.Video(t, AvcPayload(1, 0, AvcConfigRecord(1)));
        if (i % 10 == 0) {
            b.Video(t, AvcPayload(1, 1, Nal(5, 30 + i), 80));
        } else {
            b.Video(t, AvcPayload(i % 10 == 5 ? 1 : 2, 1, Nal(1, 10 + i), i % 2 ? 40 : 120));
        }
    }
    return b;
}

struct Box {
    std::string type;
    size_t start = 0;
    size_t header = 0;
    size_t size = 0;
    size_t Body() const { return start + header; }
    size_t End() const { return start + size; }
};

std::vector<Box> Children(const Bytes& f, size_t begin, size_t end) {
    std::vector<Box> out;
    for (size_t at = begin; at < end;) {
        EXPECT_LE(at + 8, end) << "a box header runs past its parent";
        if (at + 8 > end) break;
        Box box{std::string(f.begin() + at + 4, f.begin() + at + 8), at, 8,
                flvbytes::ReadBE32(&f[at])};
        if (box.size == 1) {
            box.size = flvbytes::ReadBE64(&f[at + 8]);
            box.header = 16;
        }
        EXPECT_TRUE(box.size >= box.header && at + box.size <= end) << box.type << " size";
        if (box.size < box.header || at + box.size > end) break;
        out.push_back(box);
        at += box.size;
    }
    return out;
}

const Box* Find(const std::vector<Box>& boxes, const char* type) {
    for (const Box& box : boxes) {
        if (box.type == type) return &box;
    }
    return nullptr;
}

// The tables of one track, expanded to one value per sample or chunk.
struct Track {
    std::string handler;
    uint32_t timescale = 0;
    uint32_t entries = 0;
    std::vector<uint32_t> sizes, deltas, entryOfSample;
    std::vector<int32_t> offsets;  // composition
    std::vector<uint64_t> chunks;
    std::vector<uint32_t> perChunk;
    std::vector<uint32_t> sync;  // 1-based; empty: every sample
    bool co64 = false;
    std::vector<std::pair<int64_t, int64_t>> edits;
};

// Walks the file: boxes cover it exactly, ftyp first, moov before mdat,
// tables that agree on the number of samples, every sample inside mdat.
std::vector<Track> Walk(const Bytes& f) {
    std::vector<Track> tracks;
    const auto top = Children(f, 0, f.size());
    EXPECT_FALSE(top.empty());
    if (top.empty() || top.back().End() != f.size()) return tracks;
    EXPECT_EQ(top[0].type, "ftyp");
    const Box* moov = Find(top, "moov");
    const Box* mdat = Find(top, "mdat");
    EXPECT_TRUE(moov && mdat && moov->start < mdat->start);
    if (!moov || !mdat) return tracks;
    auto u32 = [&](size_t at) { return flvbytes::ReadBE32(&f[at]); };
    for (const Box& trak : Children(f, moov->Body(), moov->End())) {
        if (trak.type != "trak") continue;
        Track t;
        const auto trakKids = Children(f, trak.Body(), trak.End());
        if (const Box* edts = Find(trakKids, "edts")) {
            const Box elst = Children(f, edts->Body(), edts->End()).at(0);
            EXPECT_EQ(f[elst.Body()], 0);  // version 0 for these sizes
            for (uint32_t i = 0; i < u32(elst.Body() + 4); ++i) {
                const size_t at = elst.Body() + 8 + 12 * i;
                t.edits.emplace_back(u32(at), int32_t(u32(at + 4)));
            }
        }
        const Box* mdia = Find(trakKids, "mdia");
        const auto mdiaKids = Children(f, mdia->Body(), mdia->End());
        t.timescale = u32(Find(mdiaKids, "mdhd")->Body() + 12);
        const Box* hdlr = Find(mdiaKids, "hdlr");
        t.handler = std::string(f.begin() + hdlr->Body() + 8, f.begin() + hdlr->Body() + 12);
        const Box* minf = Find(mdiaKids, "minf");
        const auto minfKids = Children(f, minf->Body(), minf->End());
        const Box* stblBox = Find(minfKids, "stbl");
        const auto stbl = Children(f, stblBox->Body(), stblBox->End());
        t.entries = u32(Find(stbl, "stsd")->Body() + 4);
        const Box* stts = Find(stbl, "stts");
        for (uint32_t i = 0; i < u32(stts->Body() + 4); ++i) {
            t.deltas.insert(t.deltas.end(), u32(stts->Body() + 8 + 8 * i),
                            u32(stts->Body() + 12 + 8 * i));
        }
        if (const Box* ctts = Find(stbl, "ctts")) {
            for (uint32_t i = 0; i < u32(ctts->Body() + 4); ++i) {
                t.offsets.insert(t.offsets.end(), u32(ctts->Body() + 8 + 8 * i),
                                 int32_t(u32(ctts->Body() + 12 + 8 * i)));
            }
        }
        if (const Box* stss = Find(stbl, "stss")) {
            for (uint32_t i = 0; i < u32(stss->Body() + 4); ++i) {
                t.sync.push_back(u32(stss->Body() + 8 + 4 * i));
            }
        }
        const Box* stsz = Find(stbl, "stsz");
        const uint32_t same = u32(stsz->Body() + 4);
        for (uint32_t i = 0; i < u32(stsz->Body() + 8); ++i) {
            t.sizes.push_back(same != 0 ? same : u32(stsz->Body() + 12 + 4 * i));
        }
        const Box* co = Find(stbl, "stco");
        t.co64 = co == nullptr;
        if (t.co64) co = Find(stbl, "co64");
        for (uint32_t i = 0; i < u32(co->Body() + 4); ++i) {
            t.chunks.push_back(t.co64 ? flvbytes::ReadBE64(&f[co->Body() + 8 + 8 * i])
                                      : u32(co->Body() + 8 + 4 * i));
        }
        const Box* stsc = Find(stbl, "stsc");
        const uint32_t runs = u32(stsc->Body() + 4);
        for (uint32_t r = 0; r < runs; ++r) {
            const size_t at = stsc->Body() + 8 + 12 * r;
            const uint32_t last = r + 1 < runs ? u32(at + 12) - 1 : uint32_t(t.chunks.size());
            for (uint32_t c = u32(at); c <= last; ++c) {
                t.perChunk.push_back(u32(at + 4));
                t.entryOfSample.insert(t.entryOfSample.end(), u32(at + 4), u32(at + 8));
            }
        }
        EXPECT_EQ(t.perChunk.size(), t.chunks.size());
        EXPECT_EQ(t.entryOfSample.size(), t.sizes.size()) << "stsc against stsz";
        EXPECT_EQ(t.deltas.size(), t.sizes.size()) << "stts against stsz";
        if (!t.offsets.empty()) {
            EXPECT_EQ(t.offsets.size(), t.sizes.size());
        }
        EXPECT_FALSE(t.deltas.empty() || t.deltas.back() == 0) << "the last sample lasts";
        size_t sample = 0;
        for (size_t c = 0; c < t.chunks.size() && sample <= t.sizes.size(); ++c) {
            uint64_t end = t.chunks[c];
            for (uint32_t i = 0; i < t.perChunk[c] && sample < t.sizes.size(); ++i) {
                end += t.sizes[sample++];
            }
            EXPECT_GE(t.chunks[c], mdat->Body());
            EXPECT_LE(end, mdat->End()) << "chunk " << c << " runs past mdat";
        }
        tracks.push_back(t);
    }
    return tracks;
}

class Mp4 : public ::testing::Test {
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
    int Save(TestDoc& doc, const FlvMp4Options& options = {}) {
        out = dir.File("out" + std::to_string(saves++) + ".mp4");
        return doc.SaveMP4(Wide(out), options, nullptr);
    }
    TempDir dir;
    std::vector<std::unique_ptr<TestDoc>> docs;
    std::string out;
    int saves = 0;
};

TEST_F(Mp4, TablesHoldEveryFrameAtItsTimeWithIdrPicturesAsSyncSamples) {
    TestDoc& doc = Open(Recording(60));
    ASSERT_EQ(Save(doc), 0) << DumpErrors(doc);
    const Bytes file = ReadFile(out);
    const auto tracks = Walk(file);
    ASSERT_EQ(tracks.size(), 2u);
    const Track& video = tracks[0];
    const Track& audio = tracks[1];
    EXPECT_EQ(video.handler, "vide");
    EXPECT_EQ(audio.handler, "soun");
    EXPECT_FALSE(video.co64);

    ASSERT_EQ(video.sizes.size(), 60u);
    EXPECT_EQ(video.timescale, 1000u);
    EXPECT_EQ(video.deltas, std::vector<uint32_t>(60, 40));
    EXPECT_EQ(video.sync, (std::vector<uint32_t>{1, 11, 21, 31, 41, 51}));
    EXPECT_EQ(video.offsets[0], 80);
    EXPECT_EQ(video.offsets[1], 40);
    EXPECT_EQ(video.offsets[2], 120);
    // The first picture shows at 80 ms, as in the FLV: an empty edit up to
    // it, then the media from its earliest presentation.
    ASSERT_EQ(video.edits.size(), 2u);
    EXPECT_EQ(video.edits[0].first, 80);
    EXPECT_EQ(video.edits[0].second, -1);
    EXPECT_EQ(video.edits[1].second, 80);
    // Each sample is the frame's NAL units, byte for byte.
    const Bytes first = Nal(5, 30);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), file.begin() + video.chunks[0]));
    EXPECT_EQ(video.sizes[1], 15u);

    EXPECT_EQ(audio.timescale, 44100u);
    EXPECT_TRUE(audio.edits.empty());
    EXPECT_EQ(audio.deltas.size(), audio.sizes.size());
    EXPECT_EQ(std::set<uint32_t>(audio.deltas.begin(), audio.deltas.end()),
              std::set<uint32_t>{1024});
    EXPECT_EQ(audio.sizes[0], 20u);
    EXPECT_EQ(audio.sizes[1], 21u);
    // Chunks of about a second, alternating.
    EXPECT_GE(video.chunks.size(), 2u);
    EXPECT_LE(video.perChunk[0], 26u);
    EXPECT_LT(video.chunks[0], audio.chunks[0]);
    EXPECT_LT(audio.chunks[0], video.chunks[1]);
}

TEST_F(Mp4, ChangedConfigurationGetsItsOwnEntryAndNoChunkSpansTheChange) {
    TestDoc& doc = Open(Recording(30, 13));
    ASSERT_EQ(Save(doc), 0) << DumpErrors(doc);
    const Bytes file = ReadFile(out);
    const auto tracks = Walk(file);
    ASSERT_EQ(tracks.size(), 2u);
    const Track& video = tracks[0];
    EXPECT_EQ(video.entries, 2u);
    ASSERT_EQ(video.entryOfSample.size(), 30u);
    for (uint32_t i = 0; i < 30; ++i) EXPECT_EQ(video.entryOfSample[i], i < 13 ? 1u : 2u) << i;
    // Both records, verbatim, once each.
    for (uint8_t variant : {0, 1}) {
        const Bytes record = AvcConfigRecord(variant);
        const auto at = std::search(file.begin(), file.end(), record.begin(), record.end());
        EXPECT_NE(at, file.end());
        EXPECT_EQ(std::search(at + 1, file.end(), record.begin(), record.end()), file.end());
    }
    EXPECT_EQ(tracks[1].entries, 1u);
}

TEST_F(Mp4, SplitPartsHoldOneConfigurationEachFromTimeZero) {
    TestDoc& doc = Open(Recording(30, 13));
    uint32_t parts = 0;
    ASSERT_EQ(doc.Mp4PartCount({}, &parts), 0);
    EXPECT_EQ(parts, 2u);
    FlvMp4Options options;
    options.part = 2;
    ASSERT_EQ(Save(doc, options), 0) << DumpErrors(doc);
    auto tracks = Walk(ReadFile(out));
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].entries, 1u);
    EXPECT_EQ(tracks[0].sizes.size(), 17u);
    EXPECT_EQ(tracks[0].sizes[0], 4u + 23u) << "frame 13, the first after the change";
    // Frame 13 decodes at 520 ms and shows at 560; the audio frames that
    // start from 520 on stay with it, the first at 534 ms.
    ASSERT_EQ(tracks[0].edits.size(), 2u);
    EXPECT_EQ(tracks[0].edits[0].first, 40);
    EXPECT_EQ(tracks[0].edits[1].second, 40);
    ASSERT_EQ(tracks[1].edits.size(), 2u);
    EXPECT_EQ(tracks[1].edits[0].first, 14);
    EXPECT_EQ(tracks[1].edits[1].second, 0);
    options.part = 1;
    ASSERT_EQ(Save(doc, options), 0) << DumpErrors(doc);
    tracks = Walk(ReadFile(out));
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].sizes.size() + 17u, 30u);
    EXPECT_EQ(tracks[0].deltas.back(), 40u) << "the last frame keeps its interval";
    options.part = 3;
    EXPECT_EQ(Save(doc, options), FlvResult::ExportRefused);
}

TEST_F(Mp4, StreamsWithoutMp4FormAreRefusedUnlessLeftOut) {
    FlvBuilder h263;
    h263.Header(0x05);
    for (uint32_t i = 0; i < 5; ++i) {
        h263.Video(40 * i, VideoPayload(i == 0 ? 1 : 2, 2, H263Packet(2)));
        h263.Audio(40 * i, AacPayload(i == 0 ? 0 : 1, i == 0 ? Bytes{0x12, 0x10} : Pattern(9)));
    }
    TestDoc& doc = Open(h263);
    EXPECT_EQ(Save(doc), FlvResult::Mp4StreamRefused);
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_NE(Narrow(Messages(doc).back()).find("AVI"), std::string::npos);
    FlvMp4Options audioOnly;
    audioOnly.video = false;
    ASSERT_EQ(Save(doc, audioOnly), 0) << DumpErrors(doc);
    const auto tracks = Walk(ReadFile(out));
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].sizes.size(), 4u);

    FlvBuilder nelly;
    nelly.Header(0x04);
    for (uint32_t i = 0; i < 5; ++i) nelly.Audio(64 * i, AudioPayload(0x6E, Pattern(64)));
    TestDoc& nellyDoc = Open(nelly);
    EXPECT_EQ(Save(nellyDoc), FlvResult::Mp4StreamRefused);
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(Mp4, AudioGapIsKeptAndMp3RatesPickTheObjectType) {
    FlvBuilder b;
    b.Header(0x04);
    b.Audio(0, AacPayload(0, {0x12, 0x10}));
    for (uint32_t t : {0u, 23u, 46u, 500u, 523u}) b.Audio(t, AacPayload(1, Pattern(12)));
    TestDoc& doc = Open(b);
    ASSERT_EQ(Save(doc), 0) << DumpErrors(doc);
    auto tracks = Walk(ReadFile(out));
    ASSERT_EQ(tracks.size(), 1u);
    // 1024-sample frames, the gap before 500 ms kept where it is.
    EXPECT_THAT(tracks[0].deltas, ElementsAre(1024, 1024, 22050 - 2048, 1024, 1024));

    for (const auto& [header, objectType, rate] :
         {std::tuple{Bytes{0xFF, 0xFB, 0x90, 0x44}, 0x6B, 44100u},
          std::tuple{Bytes{0xFF, 0xF3, 0x80, 0xC4}, 0x69, 22050u}}) {
        FlvBuilder mp3;
        mp3.Header(0x04);
        for (uint32_t i = 0; i < 4; ++i) {
            mp3.Audio(26 * i, AudioPayload(0x2F, Concat(header, Pattern(100))));
        }
        TestDoc& mp3Doc = Open(mp3);
        ASSERT_EQ(Save(mp3Doc), 0) << DumpErrors(mp3Doc);
        const Bytes file = ReadFile(out);
        tracks = Walk(file);
        ASSERT_EQ(tracks.size(), 1u);
        EXPECT_EQ(tracks[0].timescale, rate);
        EXPECT_EQ(tracks[0].sizes[0], 104u);
        // The esds's objectTypeIndication follows the DecoderConfigDescriptor tag.
        const Bytes descriptor{0x04, 0x80, 0x80, 0x80, 0x0D, uint8_t(objectType), 0x15};
        EXPECT_NE(std::search(file.begin(), file.end(), descriptor.begin(), descriptor.end()),
                  file.end());
    }
}

// One traf of a fragmented file, its trun expanded.
struct Traf {
    uint32_t trackId = 0;
    uint64_t baseTime = 0;  // tfdt
    std::vector<uint32_t> durations, sizes, flags;
    std::vector<int32_t> offsets;
    uint64_t dataStart = 0;  // the first sample, from the start of the file
};

// Walks a fragmented file: ftyp, a moov with mvex and empty sample tables,
// a sidx whose references land on the moofs, then moof+mdat pairs whose mfhd
// numbers rise from 1 and whose samples lie inside the mdat that follows.
std::vector<std::vector<Traf>> WalkFragments(const Bytes& f, uint64_t* sidxTotal) {
    std::vector<std::vector<Traf>> fragments;
    auto u32 = [&](size_t at) { return flvbytes::ReadBE32(&f[at]); };
    const auto top = Children(f, 0, f.size());
    EXPECT_TRUE(!top.empty() && top.back().End() == f.size());
    EXPECT_THAT(std::vector<std::string>({top[0].type, top[1].type, top[2].type}),
                ElementsAre("ftyp", "moov", "sidx"));
    if (top.size() < 5 || top[1].type != "moov" || top[2].type != "sidx") return fragments;
    const auto moov = Children(f, top[1].Body(), top[1].End());
    const Box* mvex = Find(moov, "mvex");
    EXPECT_TRUE(mvex && Find(Children(f, mvex->Body(), mvex->End()), "mehd"));
    // The first track's stsz (the first in the file) counts no samples.
    const char* stszType = "stsz";
    const auto stsz =
        std::search(f.begin() + top[1].start, f.begin() + top[1].End(), stszType, stszType + 4);
    EXPECT_EQ(u32(size_t(stsz - f.begin()) + 12), 0u) << "moov holds no samples";

    const Box& sidx = top[2];
    EXPECT_EQ(f[sidx.Body()], 0);
    uint64_t at = sidx.End();
    *sidxTotal = 0;
    const uint32_t references = flvbytes::ReadBE16(&f[sidx.Body() + 22]);
    std::set<uint64_t> moofStarts;
    for (size_t i = 3; i < top.size(); ++i) {
        if (top[i].type == "moof") moofStarts.insert(top[i].start);
    }
    for (uint32_t r = 0; r < references; ++r) {
        EXPECT_TRUE(moofStarts.count(at)) << "sidx reference " << r << " lands on a moof";
        at += u32(sidx.Body() + 24 + 12 * r) & 0x7FFFFFFF;
        *sidxTotal += u32(sidx.Body() + 28 + 12 * r);
    }
    EXPECT_EQ(at, f.size());
    EXPECT_EQ(references, moofStarts.size());

    for (size_t i = 3; i + 1 < top.size(); i += 2) {
        const Box& moof = top[i];
        const Box& mdat = top[i + 1];
        EXPECT_EQ(moof.type + mdat.type, "moofmdat");
        const auto kids = Children(f, moof.Body(), moof.End());
        EXPECT_EQ(u32(Find(kids, "mfhd")->Body() + 4), fragments.size() + 1);
        std::vector<Traf>& trafs = fragments.emplace_back();
        for (const Box& trafBox : kids) {
            if (trafBox.type != "traf") continue;
            const auto parts = Children(f, trafBox.Body(), trafBox.End());
            const Box* tfhd = Find(parts, "tfhd");
            const Box* tfdt = Find(parts, "tfdt");
            const Box* trun = Find(parts, "trun");
            EXPECT_TRUE(tfhd && tfdt && trun);
            Traf traf;
            const uint32_t tfhdFlags = u32(tfhd->Body()) & 0xFFFFFF;
            EXPECT_TRUE(tfhdFlags & 0x020000) << "default-base-is-moof";
            traf.trackId = u32(tfhd->Body() + 4);
            const uint32_t defaultFlags = (tfhdFlags & 0x20) ? u32(tfhd->Body() + 8) : 0;
            EXPECT_EQ(f[tfdt->Body()], 1);
            traf.baseTime = flvbytes::ReadBE64(&f[tfdt->Body() + 4]);
            const uint32_t flags = u32(trun->Body()) & 0xFFFFFF;
            const uint32_t count = u32(trun->Body() + 4);
            EXPECT_EQ(flags & 0x301, 0x301u) << "offset, durations and sizes";
            traf.dataStart = moof.start + u32(trun->Body() + 8);
            size_t field = trun->Body() + 12;
            uint64_t end = traf.dataStart;
            for (uint32_t s = 0; s < count; ++s) {
                traf.durations.push_back(u32(field));
                traf.sizes.push_back(u32(field + 4));
                end += traf.sizes.back();
                field += 8;
                if (flags & 0x400) {
                    traf.flags.push_back(u32(field));
                    field += 4;
                } else {
                    traf.flags.push_back(defaultFlags);
                }
                if (flags & 0x800) {
                    traf.offsets.push_back(int32_t(u32(field)));
                    field += 4;
                }
            }
            EXPECT_EQ(field, trun->End());
            EXPECT_GE(traf.dataStart, mdat.Body());
            EXPECT_LE(end, mdat.End()) << "trun runs past its mdat";
            trafs.push_back(traf);
        }
    }
    return fragments;
}

TEST_F(Mp4, FragmentsStartOnIdrPicturesAndKeepTheAccumulatedTimes) {
    TestDoc& doc = Open(Recording(60));
    FlvMp4Options options;
    options.fragmented = true;
    ASSERT_EQ(Save(doc, options), 0) << DumpErrors(doc);
    const Bytes file = ReadFile(out);
    uint64_t sidxTotal = 0;
    const auto fragments = WalkFragments(file, &sidxTotal);
    // Frame 25 (1000 ms) is key-flagged but no IDR: the second fragment
    // starts on the IDR at 1200 ms.
    ASSERT_EQ(fragments.size(), 2u);
    ASSERT_EQ(fragments[0].size(), 2u);
    ASSERT_EQ(fragments[1].size(), 2u);
    const Traf& video = fragments[0][0];
    EXPECT_EQ(video.trackId, 1u);
    EXPECT_EQ(video.sizes.size(), 30u);
    EXPECT_EQ(fragments[1][0].baseTime, 1200u);
    EXPECT_EQ(video.durations, std::vector<uint32_t>(30, 40));
    EXPECT_THAT(std::vector<int32_t>(video.offsets.begin(), video.offsets.begin() + 3),
                ElementsAre(80, 40, 120));
    for (const auto& fragment : fragments) {
        for (size_t i = 0; i < fragment[0].flags.size(); ++i) {
            EXPECT_EQ(fragment[0].flags[i], i % 10 == 0 ? 0x02000000u : 0x01010000u) << i;
        }
    }
    const Bytes first = Nal(5, 30);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), file.begin() + video.dataStart));
    // Audio before 1200 ms stays with the first fragment; the second's tfdt
    // is the sum of the durations before it.
    const Traf& audio = fragments[0][1];
    EXPECT_EQ(audio.trackId, 2u);
    EXPECT_EQ(audio.sizes.size(), 52u);
    EXPECT_EQ(fragments[1][1].baseTime, 52u * 1024u);
    EXPECT_EQ(audio.flags, std::vector<uint32_t>(52, 0x02000000u));
    // The sidx spans the video from its first presentation (80 ms) to its end.
    EXPECT_EQ(sidxTotal, 2400u);

    // A negative composition offset needs trun version 1.
    FlvBuilder negative;
    negative.Header(0x01);
    negative.Video(0, AvcPayload(1, 0, AvcConfigRecord(0)));
    negative.Video(0, AvcPayload(1, 1, Nal(5, 30), 40));
    negative.Video(40, AvcPayload(2, 1, Nal(1, 12), uint32_t(-20)));
    TestDoc& negativeDoc = Open(negative);
    ASSERT_EQ(Save(negativeDoc, options), 0) << DumpErrors(negativeDoc);
    const Bytes negativeFile = ReadFile(out);
    const auto negativeFragments = WalkFragments(negativeFile, &sidxTotal);
    ASSERT_EQ(negativeFragments.size(), 1u);
    EXPECT_THAT(negativeFragments[0][0].offsets, ElementsAre(40, -20));
    const char* trun = "trun";
    const auto trunAt = std::search(negativeFile.begin(), negativeFile.end(), trun, trun + 4);
    ASSERT_NE(trunAt, negativeFile.end());
    EXPECT_EQ(trunAt[4], 1) << "trun version";

    // One configuration per file: a change is written part by part.
    TestDoc& changed = Open(Recording(30, 13));
    EXPECT_EQ(Save(changed, options), FlvResult::ExportRefused);
    EXPECT_FALSE(std::filesystem::exists(out));
    options.part = 2;
    ASSERT_EQ(Save(changed, options), 0) << DumpErrors(changed);
    const auto part = WalkFragments(ReadFile(out), &sidxTotal);
    ASSERT_EQ(part.size(), 1u);
    EXPECT_EQ(part[0][0].sizes.size(), 17u);
    EXPECT_EQ(part[0][0].baseTime, 0u);
    EXPECT_EQ(part[0][1].baseTime, 14u * 44100 / 1000) << "the audio keeps its distance";
}

TEST(Mp4Writer, WideOffsetsOnlyWhenTheDataPassesFourGigabytes) {
    for (const uint32_t size : {1000u, 0xC0000000u}) {
        FlvDecoderConfig config;
        config.codec = 10;
        config.bytes = {0x12, 0x10};
        FlvMp4Track track;
        track.timescale = 44100;
        FlvMp4SampleEntry entry;
        entry.kind = FlvMp4SampleEntry::Kind::Aac;
        entry.config = &config;
        track.entries.push_back(entry);
        track.entryRuns.emplace_back(0, 0);
        track.fileRuns.emplace_back(0, nullptr);
        for (int i = 0; i < 3; ++i) track.samples.push_back({0, 44100 * i, size, 0});
        track.lastDuration = 1024;
        const CFlvMp4Writer writer({track}, true);
        const Bytes& head = writer.Head();
        const bool wide = size > 1000;
        auto has = [&](const char* type) {
            return std::search(head.begin(), head.end(), type, type + 4) != head.end();
        };
        EXPECT_EQ(has("co64"), wide);
        EXPECT_EQ(has("stco"), !wide);
        // mdat's size: 64 bits behind a size field of 1 when it needs them.
        ASSERT_GE(head.size(), 16u);
        const uint8_t* mdat = wide ? &head[head.size() - 16] : &head[head.size() - 8];
        EXPECT_EQ(flvbytes::ReadBE32(mdat), wide ? 1u : 3008u);
        if (wide) {
            EXPECT_EQ(flvbytes::ReadBE64(mdat + 8), 3ull * size + 16);
        }
    }
}

TEST(Mp4Codecs, StringsFromTheConfigurations) {
    FlvDecoderConfig avc;
    avc.video = true;
    avc.codec = 7;
    avc.avc.valid = true;
    avc.avc.profile = 0x64;
    avc.avc.compatibility = 0x00;
    avc.avc.level = 0x1F;
    EXPECT_EQ(flvmp4::CodecsString(avc), "avc1.64001F");
    avc.avc.profile = 0xF4;  // High 4:4:4 Predictive
    avc.avc.level = 0x33;
    EXPECT_EQ(flvmp4::CodecsString(avc), "avc1.F40033");
    FlvDecoderConfig aac;
    aac.codec = 10;
    aac.bytes = {0x12, 0x10};
    EXPECT_EQ(flvmp4::CodecsString(aac), "mp4a.40.2");
    aac.bytes = {0x2B, 0x92, 0x08, 0x00};  // explicit HE-AAC: object type 5 first
    EXPECT_EQ(flvmp4::CodecsString(aac), "mp4a.40.5");
    aac.bytes = {0xF8, 0x20};  // escape: 32 + 1
    EXPECT_EQ(flvmp4::CodecsString(aac), "mp4a.40.33");
    EXPECT_EQ(flvmp4::Mpeg1AudioCodecsString(true), "mp4a.6B");
    EXPECT_EQ(flvmp4::Mpeg1AudioCodecsString(false), "mp4a.69");
}

}  // namespace

namespace {

Bytes Enhanced(uint8_t first, const char* fourCC, const Bytes& body) {
    Bytes out{first};
    out.insert(out.end(), fourCC, fourCC + 4);
    return Concat(out, body);
}

// A reduced still-picture sequence header OBU (level 0, 8-bit size fields).
Bytes Av1SequenceHeaderObu(uint32_t width, uint32_t height) {
    BitWriter bits;
    bits.Put(0, 3);     // seq_profile
    bits.Put(0b11, 2);  // still_picture, reduced_still_picture_header
    bits.Put(0, 5);     // seq_level_idx[0]
    bits.Put(7, 4);
    bits.Put(7, 4);
    bits.Put(width - 1, 8);
    bits.Put(height - 1, 8);
    bits.Put(0, 6);
    const Bytes payload = bits.Take();
    return Concat({0x0A, uint8_t(payload.size())}, payload);
}

Bytes Av1FrameObu(uint8_t seed) { return Concat({0x32, 6}, Pattern(6, seed)); }

// The first bytes of a VP9 profile-0 frame: a key frame's uncompressed
// header with its size, or an inter frame's first byte.
Bytes Vp9Frame(bool key) {
    BitWriter bits;
    bits.Put(0b10, 2);  // frame_marker
    bits.Put(0, 2);     // profile 0
    bits.Put(0, 1);     // show_existing_frame
    bits.Put(key ? 0 : 1, 1);
    bits.Put(0b10, 2);
    bits.Put(0x498342, 24);
    bits.Put(1, 3);
    bits.Put(0, 1);
    bits.Put(63, 16);
    bits.Put(47, 16);
    return Concat(bits.Take(), Pattern(8));
}

std::vector<uint32_t> SampleEntryBox(const Bytes& file, const char* type, Bytes* body) {
    const auto at = std::search(file.begin(), file.end(), type, type + 4);
    if (at == file.end()) return {};
    const size_t start = size_t(at - file.begin()) - 4;
    const uint32_t size = flvbytes::ReadBE32(&file[start]);
    body->assign(file.begin() + long(start + 8), file.begin() + long(start + size));
    return {size};
}

}  // namespace

TEST_F(Mp4, Av1AndVp9SyncSamplesAreKeyFramesThatDecodeAlone) {
    // AV1: av1C carries a sequence header, yet only the key frame with its
    // own is a sync sample; the one without would not start a decoder that
    // ignores av1C.
    FlvBuilder av1;
    av1.Header(0x01);
    av1.Video(
        0, Enhanced(0x90, "av01", Concat({0x81, 0x00, 0x0C, 0x00}, Av1SequenceHeaderObu(64, 48))));
    av1.Video(0, Enhanced(0x91, "av01", Concat(Av1SequenceHeaderObu(64, 48), Av1FrameObu(1))));
    av1.Video(40, Enhanced(0xA1, "av01", Av1FrameObu(2)));
    av1.Video(80, Enhanced(0x91, "av01", Av1FrameObu(3)));
    av1.Video(120, Enhanced(0x91, "av01", Concat(Av1SequenceHeaderObu(64, 48), Av1FrameObu(4))));
    TestDoc& doc = Open(av1);
    ASSERT_EQ(Save(doc), 0) << DumpErrors(doc);
    Bytes file = ReadFile(out);
    auto tracks = Walk(file);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].sync, (std::vector<uint32_t>{1, 4}));
    Bytes entry;
    ASSERT_FALSE(SampleEntryBox(file, "av01", &entry).empty());
    EXPECT_EQ(flvbytes::ReadBE16(&entry[24]), 64u);
    EXPECT_EQ(flvbytes::ReadBE16(&entry[26]), 48u);
    EXPECT_EQ(std::string(entry.begin() + 82, entry.begin() + 86), "av1C");

    // VP9 with a bare record: vpcC gets its version (1) and flags; a frame
    // flagged key whose header is an inter frame's is no sync sample.
    const Bytes record{0x00, 10, 0x82, 2, 2, 2, 0, 0};
    FlvBuilder vp9;
    vp9.Header(0x01);
    vp9.Video(0, Enhanced(0x90, "vp09", record));
    vp9.Video(0, Enhanced(0x91, "vp09", Vp9Frame(true)));
    vp9.Video(40, Enhanced(0x91, "vp09", Vp9Frame(false)));
    vp9.Video(80, Enhanced(0xA1, "vp09", Vp9Frame(false)));
    vp9.Video(120, Enhanced(0x91, "vp09", Vp9Frame(true)));
    TestDoc& second = Open(vp9);
    ASSERT_EQ(Save(second), 0) << DumpErrors(second);
    file = ReadFile(out);
    tracks = Walk(file);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].sync, (std::vector<uint32_t>{1, 4}));
    ASSERT_FALSE(SampleEntryBox(file, "vp09", &entry).empty());
    EXPECT_EQ(flvbytes::ReadBE16(&entry[24]), 64u);
    ASSERT_FALSE(SampleEntryBox(file, "vpcC", &entry).empty());
    EXPECT_EQ(entry, Concat({1, 0, 0, 0}, record));
}

TEST_F(Mp4, OpusTakesItsSetupFromTheHeaderAndStartsAfterThePreSkip) {
    // Stereo, pre-skip 312, input 44.1 kHz, gain -1 dB; the tag header says
    // mono 5.5 kHz, which must not matter.
    const Bytes head{'O',  'p',  'u',  's',  'H', 'e', 'a',  'd',  1, 2,
                     0x38, 0x01, 0x44, 0xAC, 0,   0,   0x00, 0xFF, 0};
    FlvBuilder b;
    b.Header(0x04);
    b.Audio(0, Enhanced(0x90, "Opus", head));
    // 20 ms, 10 ms, then two frames of 20 ms (TOC configurations 31 and 30).
    const uint8_t tocs[] = {0xF8, 0xF0, 0xF8, 0xF8};
    const uint32_t times[] = {0, 20, 30, 50};
    for (int i = 0; i < 4; ++i) {
        b.Audio(times[i], Enhanced(0x91, "Opus", Concat({tocs[i]}, Pattern(10, uint8_t(i)))));
    }
    TestDoc& doc = Open(b);
    ASSERT_EQ(Save(doc), 0) << DumpErrors(doc);
    const Bytes file = ReadFile(out);
    const auto tracks = Walk(file);
    ASSERT_EQ(tracks.size(), 1u);
    EXPECT_EQ(tracks[0].timescale, 48000u);
    EXPECT_EQ(tracks[0].deltas, (std::vector<uint32_t>{960, 480, 960, 960}));
    ASSERT_EQ(tracks[0].edits.size(), 1u);
    EXPECT_EQ(tracks[0].edits[0].second, 312);
    EXPECT_EQ(tracks[0].edits[0].first, 64);  // 3360 - 312 samples, in ms
    Bytes entry;
    ASSERT_FALSE(SampleEntryBox(file, "Opus", &entry).empty());
    EXPECT_EQ(flvbytes::ReadBE16(&entry[16]), 2u);            // channels
    EXPECT_EQ(flvbytes::ReadBE32(&entry[24]), 48000u << 16);  // rate
    ASSERT_FALSE(SampleEntryBox(file, "dOps", &entry).empty());
    EXPECT_EQ(entry, (Bytes{0, 2, 0x01, 0x38, 0, 0, 0xAC, 0x44, 0xFF, 0x00, 0}));

    // FLAC has no MP4 form here yet: refused.
    FlvBuilder flac;
    flac.Header(0x04);
    flac.Audio(0, Enhanced(0x90, "fLaC", Pattern(34)));
    flac.Audio(0, Enhanced(0x91, "fLaC", Pattern(30)));
    EXPECT_EQ(Save(Open(flac)), FlvResult::Mp4StreamRefused);
}

TEST(Mp4Codecs, HevcAv1Vp9AndOpusStrings) {
    // hvcC bytes 0-12: version, profile space/tier/profile, the 32
    // compatibility flags, the 6 constraint bytes, the level.
    auto hevc = [](Bytes head) {
        FlvDecoderConfig config;
        config.video = true;
        config.codec = flvcodec::kFourCCHevc;
        head.resize(23, 0);
        EXPECT_TRUE(flvcodec::ParseHevcDecoderConfig(head.data(), head.size(), config.hevc));
        config.bytes = head;
        return flvmp4::CodecsString(config);
    };
    // Main, L3.1: flags 1 and 2 (0x60000000) reversed are 6.
    EXPECT_EQ(hevc({1, 0x01, 0x60, 0, 0, 0, 0xB0, 0, 0, 0, 0, 0, 93}), "hvc1.1.6.L93.B0");
    // Main 10, L4.1: flag 2 alone reversed is 4.
    EXPECT_EQ(hevc({1, 0x02, 0x20, 0, 0, 0, 0xB0, 0, 0, 0, 0, 0, 123}), "hvc1.2.4.L123.B0");
    // Profile space 1, High tier, range extensions (flag 4), two constraint
    // bytes and a zero one between.
    EXPECT_EQ(hevc({1, 0x64, 0x08, 0, 0, 0, 0x9E, 0x00, 0x08, 0, 0, 0, 120}),
              "hvc1.A4.10.H120.9E.00.08");

    auto av1 = [](uint8_t second, uint8_t third) {
        FlvDecoderConfig config;
        config.video = true;
        config.codec = flvcodec::kFourCCAv1;
        config.bytes = {0x81, second, third, 0};
        flvcodec::ParseAv1DecoderConfig(config.bytes.data(), config.bytes.size(), config.av1);
        return flvmp4::CodecsString(config);
    };
    EXPECT_EQ(av1(0x04, 0x0C), "av01.0.04M.08");  // Main, level 3.0, 4:2:0
    EXPECT_EQ(av1(0x08, 0x4C), "av01.0.08M.10");  // level 4.0, high_bitdepth
    EXPECT_EQ(av1(0x4D, 0xE0), "av01.2.13H.12");  // Professional, 5.1, High tier, twelve_bit

    FlvDecoderConfig vp9;
    vp9.video = true;
    vp9.codec = flvcodec::kFourCCVp9;
    vp9.bytes = {1, 0, 0, 0, 0, 10, 0x82, 2, 2, 2, 0, 0};
    flvcodec::ParseVp9DecoderConfig(vp9.bytes.data(), vp9.bytes.size(), vp9.vp9);
    EXPECT_EQ(flvmp4::CodecsString(vp9), "vp09.00.10.08");
    vp9.bytes = {2, 41, 0xA2, 9, 16, 9, 0, 0};  // bare record: profile 2, level 4.1, 10 bits
    flvcodec::ParseVp9DecoderConfig(vp9.bytes.data(), vp9.bytes.size(), vp9.vp9);
    EXPECT_EQ(flvmp4::CodecsString(vp9), "vp09.02.41.10");
    vp9.bytes = {0, 0, 0, 0, 0, 10, 0x82, 2, 2, 2, 0, 0};  // vpcC version 0: another layout
    EXPECT_FALSE(flvcodec::ParseVp9DecoderConfig(vp9.bytes.data(), vp9.bytes.size(), vp9.vp9));
    EXPECT_EQ(flvmp4::CodecsString(vp9), "");

    FlvDecoderConfig opus;
    opus.codec = flvcodec::kFourCCOpus;
    opus.bytes = {'O',  'p',  'u',  's',  'H', 'e', 'a', 'd', 1, 1,
                  0x38, 0x01, 0x80, 0xBB, 0,   0,   0,   0,   0};
    ASSERT_TRUE(flvcodec::ParseOpusHead(opus.bytes.data(), opus.bytes.size(), opus.opus));
    EXPECT_EQ(flvmp4::CodecsString(opus), "Opus");
}

TEST(Mp4Codecs, OpusHeadersAndPacketLengths) {
    flvcodec::OpusConfig config;
    // 5.1 with mapping family 1: four streams, two coupled, six mapping bytes.
    const Bytes surround{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 6, 0x38, 0x01, 0x80, 0xBB,
                         0,   0,   0,   0,   1,   4,   2,   0,   4, 1, 2,    3,    5};
    ASSERT_TRUE(flvcodec::ParseOpusHead(surround.data(), surround.size(), config));
    EXPECT_EQ(config.channels, 6u);
    EXPECT_EQ(config.preSkip, 312u);
    EXPECT_EQ(config.inputRate, 48000u);
    EXPECT_EQ(config.mapping, (Bytes{0, 4, 1, 2, 3, 5}));
    for (size_t n = 0; n < surround.size(); ++n) {
        EXPECT_FALSE(flvcodec::ParseOpusHead(surround.data(), n, config)) << n;
    }
    Bytes wrong = surround;
    wrong[18] = 0;  // family 0 allows at most two channels
    EXPECT_FALSE(flvcodec::ParseOpusHead(wrong.data(), 19, config));

    auto samples = [](Bytes packet) {
        return flvcodec::OpusPacketSamples(packet.data(), packet.size());
    };
    EXPECT_EQ(samples({0x08}), 960u);         // SILK 20 ms
    EXPECT_EQ(samples({0x1B, 0x02}), 5760u);  // SILK 60 ms, code 3, two frames
    EXPECT_EQ(samples({0x1B, 0x03}), 0u);     // three would pass 120 ms
    EXPECT_EQ(samples({0x61}), 960u);         // hybrid 10 ms, code 1: two frames
    EXPECT_EQ(samples({0x69}), 1920u);        // hybrid 20 ms, code 1
    EXPECT_EQ(samples({0x82}), 240u);         // CELT 2.5 ms, code 2: two frames
    EXPECT_EQ(samples({0xFB}), 0u);           // code 3 without its count byte
    EXPECT_EQ(samples({}), 0u);
}

TEST(Mp4Codecs, Ac3HeaderGivesTheDac3Bits) {
    // 48 kHz, frmsizecod 28 (384 kbit/s), bsid 8, bsmod 0, acmod 7 (3/2: both
    // mix levels follow), LFE on.
    const Bytes surround{0x0B, 0x77, 0, 0, 0x1C, 0x40, 0xE1};
    flvcodec::Ac3Header header;
    ASSERT_TRUE(flvcodec::ParseAc3Header(surround.data(), surround.size(), header));
    EXPECT_EQ(header.sampleRate, 48000u);
    EXPECT_EQ(header.channels, 6u);
    EXPECT_EQ(flvcodec::Ac3SpecificBits(header), 0x103DC0u);
    for (size_t n = 0; n < surround.size(); ++n) {
        EXPECT_FALSE(flvcodec::ParseAc3Header(surround.data(), n, header)) << n;
    }
    // 44.1 kHz stereo (acmod 2: dsurmod before lfeon), no LFE.
    const Bytes stereo{0x0B, 0x77, 0, 0, 0x5C, 0x40, 0x40};
    ASSERT_TRUE(flvcodec::ParseAc3Header(stereo.data(), stereo.size(), header));
    EXPECT_EQ(header.sampleRate, 44100u);
    EXPECT_EQ(header.channels, 2u);
    EXPECT_EQ(flvcodec::Ac3SpecificBits(header), 0x5011C0u);
    const Bytes eac3{0x0B, 0x77, 0, 0, 0x1C, 0x80, 0xE1};  // bsid 16
    EXPECT_FALSE(flvcodec::ParseAc3Header(eac3.data(), eac3.size(), header));
}
