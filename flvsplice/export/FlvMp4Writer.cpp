#include "flvsplice/export/FlvMp4Writer.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/common/FlvProcess.h"
#include "flvsplice/document/FlvDecoderConfig.h"
#include "flvsplice/export/FlvMp4Boxes.h"
#include "flvsplice/flv/FlvRawData.h"
#include "flvsplice/platform/FlvStream.h"

void ApplySamplePatches(const FlvMp4Track& track, uint32_t i, uint8_t* bytes) {
    for (const auto& [index, raw] : track.patched) {
        if (index == i) {
            const FlvMp4Sample& sample = track.samples[i];
            raw->ApplyPatches(sample.offset - raw->m_offset, bytes, sample.size);
        }
    }
}

namespace {

constexpr uint32_t kMovieTimescale = 1000;
constexpr uint32_t kMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};

}  // namespace

namespace {

// A run-length table: (count, value) pairs of equal consecutive values.
template <typename T>
std::vector<std::pair<uint32_t, T>> Runs(size_t count, auto valueAt) {
    std::vector<std::pair<uint32_t, T>> runs;
    for (size_t i = 0; i < count; ++i) {
        const T value = valueAt(i);
        if (!runs.empty() && runs.back().second == value) {
            ++runs.back().first;
        } else {
            runs.emplace_back(1, value);
        }
    }
    return runs;
}

// The box inside a visual entry that carries its configuration: the FLV's
// record as it is, in a full box for VP9 (whose version and flags the FLV
// may already carry in front of the record).
void WriteVisualConfig(Mp4Boxes& out, const FlvMp4SampleEntry& entry) {
    using Kind = FlvMp4SampleEntry::Kind;
    if (entry.config == nullptr) return;
    const std::vector<uint8_t>& bytes = entry.config->bytes;
    size_t box = 0;
    size_t from = 0;
    switch (entry.kind) {
        case Kind::Hevc:
            box = out.Open("hvcC");
            break;
        case Kind::Av1:
            box = out.Open("av1C");
            break;
        case Kind::Vp9:
            box = out.OpenFull("vpcC", 1, 0);
            from = std::min<size_t>(entry.config->vp9.recordStart, bytes.size());
            break;
        default:
            box = out.Open("avcC");
            break;
    }
    out.Bytes(bytes.data() + from, bytes.size() - from);
    out.End(box);
}

// dOps: the identification header restated big-endian, version 0.
void WriteOpusConfig(Mp4Boxes& out, const flvcodec::OpusConfig& opus) {
    const size_t box = out.Open("dOps");
    out.U8(0);
    out.U8(opus.channels);
    out.U16(opus.preSkip);
    out.U32(opus.inputRate);
    out.U16(static_cast<uint16_t>(opus.outputGain));
    out.U8(opus.mappingFamily);
    if (opus.mappingFamily != 0) {
        out.U8(opus.streams);
        out.U8(opus.coupled);
        out.Bytes(opus.mapping.data(), opus.mapping.size());
    }
    out.End(box);
}

void WriteEsds(Mp4Boxes& out, const FlvMp4SampleEntry& entry, uint32_t trackId) {
    const std::vector<uint8_t> empty;
    const std::vector<uint8_t>& info =
        entry.kind == FlvMp4SampleEntry::Kind::Aac && entry.config != nullptr ? entry.config->bytes
                                                                              : empty;
    const uint32_t specific = info.empty() ? 0 : 5 + static_cast<uint32_t>(info.size());
    const uint32_t decoderConfig = 13 + specific;
    const size_t esds = out.OpenFull("esds", 0, 0);
    out.Descriptor(3, 3 + 5 + decoderConfig + 6);
    out.U16(trackId);
    out.U8(0);
    out.Descriptor(4, decoderConfig);
    out.U8(entry.objectType);
    out.U8(0x15);  // audio stream
    out.U24(0);
    out.U32(0);
    out.U32(0);
    if (!info.empty()) {
        out.Descriptor(5, static_cast<uint32_t>(info.size()));
        out.Bytes(info.data(), info.size());
    }
    out.Descriptor(6, 1);
    out.U8(2);
    out.End(esds);
}

bool IsVisual(FlvMp4SampleEntry::Kind kind) {
    using Kind = FlvMp4SampleEntry::Kind;
    return kind == Kind::Avc || kind == Kind::Hevc || kind == Kind::Av1 || kind == Kind::Vp9;
}

}  // namespace

// One entry of stsd, for every kind of the codec table: the progressive and
// the fragmented writer both write their entries here.
bool CopySamples(const FlvMp4Track& track, uint32_t first, uint32_t end, size_t& run,
                 CFlvStream* output, std::vector<uint8_t>& span, std::vector<uint8_t>& data) {
    // Samples lie close together in their source, between the other
    // stream's tags: one read of the whole stretch and one write of the
    // samples cost far less than a copy per sample.
    constexpr uint64_t kMaxSpan = 16 << 20;
    for (uint32_t i = first; i < end;) {
        while (run + 1 < track.fileRuns.size() && track.fileRuns[run + 1].first <= i) ++run;
        const uint32_t runEnd =
            run + 1 < track.fileRuns.size() ? track.fileRuns[run + 1].first : end;
        uint64_t low = track.samples[i].offset;
        uint64_t high = low + track.samples[i].size;
        uint32_t j = i + 1;
        for (; j < std::min(end, runEnd); ++j) {
            const uint64_t from = std::min(low, track.samples[j].offset);
            const uint64_t to = std::max(high, track.samples[j].offset + track.samples[j].size);
            if (to - from > kMaxSpan) break;
            low = from;
            high = to;
        }
        CFlvStream* source = track.fileRuns[run].second;
        // One sample larger than a stretch, unless it has patches to apply.
        if (high - low > kMaxSpan && track.patched.empty()) {
            if (!output->CopyFrom(source, low, high - low)) return false;
            i = j;
            continue;
        }
        span.resize(high - low);
        if (!source->Seek(static_cast<int64_t>(low), SEEK_SET) ||
            source->Read(span.data(), span.size()) != span.size()) {
            return false;
        }
        data.clear();
        for (; i < j; ++i) {
            const uint8_t* at = span.data() + (track.samples[i].offset - low);
            data.insert(data.end(), at, at + track.samples[i].size);
            ApplySamplePatches(track, i, data.data() + data.size() - track.samples[i].size);
        }
        if (output->Write(data.data(), data.size()) != data.size()) return false;
    }
    return true;
}

size_t OpenMediaInformation(Mp4Boxes& out, bool video) {
    const size_t hdlr = out.OpenFull("hdlr", 0, 0);
    out.U32(0);
    out.Bytes(reinterpret_cast<const uint8_t*>(video ? "vide" : "soun"), 4);
    out.Zeros(12);
    const char* name = video ? "VideoHandler" : "SoundHandler";
    out.Bytes(reinterpret_cast<const uint8_t*>(name), 13);  // with its terminating zero
    out.End(hdlr);

    const size_t minf = out.Open("minf");
    if (video) {
        const size_t vmhd = out.OpenFull("vmhd", 0, 1);
        out.Zeros(8);
        out.End(vmhd);
    } else {
        const size_t smhd = out.OpenFull("smhd", 0, 0);
        out.Zeros(4);
        out.End(smhd);
    }
    const size_t dinf = out.Open("dinf");
    const size_t dref = out.OpenFull("dref", 0, 0);
    out.U32(1);
    out.End(out.OpenFull("url ", 0, 1));  // the data is in this file
    out.End(dref);
    out.End(dinf);
    return minf;
}

void WriteSampleEntry(Mp4Boxes& out, const FlvMp4SampleEntry& entry, uint32_t trackId) {
    const bool visual = IsVisual(entry.kind);
    const size_t box = out.Open(flvcodec::Mp4EntryType(entry.kind));
    out.Zeros(6);
    out.U16(1);  // data_reference_index
    if (visual) {
        out.Zeros(16);
        out.U16(entry.width);
        out.U16(entry.height);
        out.U32(0x00480000);  // 72 dpi
        out.U32(0x00480000);
        out.U32(0);
        out.U16(1);  // frame_count
        out.Zeros(32);
        out.U16(0x18);
        out.U16(0xFFFF);
        WriteVisualConfig(out, entry);
        out.End(box);
        return;
    }
    out.Zeros(8);
    out.U16(entry.channels);
    out.U16(16);
    out.U32(0);
    out.U32(entry.sampleRate <= 0xFFFF ? entry.sampleRate << 16 : 0);
    if (entry.kind == FlvMp4SampleEntry::Kind::Opus) {
        if (entry.config != nullptr) WriteOpusConfig(out, entry.config->opus);
    } else if (entry.kind == FlvMp4SampleEntry::Kind::Ac3) {
        const size_t dac3 = out.Open("dac3");
        out.U24(entry.ac3Bits);
        out.End(dac3);
    } else {
        WriteEsds(out, entry, trackId);
    }
    out.End(box);
}

CFlvMp4Writer::CFlvMp4Writer(std::vector<FlvMp4Track> tracks, bool audioOnly)
    : m_tracks(std::move(tracks)), m_audioOnly(audioOnly) {
    Plan();
    BuildHead(false);
    if (!m_chunks.empty() && m_chunks.back().offset > std::numeric_limits<uint32_t>::max()) {
        BuildHead(true);
    }
}

void CFlvMp4Writer::Plan() {
    m_dataSize = 0;
    for (uint32_t t = 0; t < m_tracks.size(); ++t) {
        const FlvMp4Track& track = m_tracks[t];
        size_t run = 0;
        int64_t chunkStart = 0;
        for (uint32_t i = 0; i < track.samples.size(); ++i) {
            bool entryChanges = false;
            while (run + 1 < track.entryRuns.size() && track.entryRuns[run + 1].first <= i) {
                ++run;
                entryChanges = true;
            }
            const int64_t time = track.samples[i].decodeTime;
            if (i == 0 || entryChanges || time - chunkStart >= track.timescale) {
                m_chunks.push_back({t, i, 0, 0});
                chunkStart = time;
            }
            ++m_chunks.back().count;
            m_dataSize += track.samples[i].size;
        }
    }
    // Interleaved by the start of each chunk on the movie's timeline; video
    // first where two start together.
    auto start = [this](const Chunk& chunk) {
        const FlvMp4Track& track = m_tracks[chunk.track];
        return static_cast<long double>(track.delay) / kMovieTimescale +
               static_cast<long double>(track.samples[chunk.first].decodeTime) / track.timescale;
    };
    std::stable_sort(m_chunks.begin(), m_chunks.end(), [&](const Chunk& a, const Chunk& b) {
        const long double sa = start(a), sb = start(b);
        if (sa != sb) return sa < sb;
        return m_tracks[a.track].video && !m_tracks[b.track].video;
    });
}

uint64_t CFlvMp4Writer::MediaDuration(const FlvMp4Track& track) const {
    if (track.samples.empty()) return 0;
    return static_cast<uint64_t>(track.samples.back().decodeTime) + track.lastDuration;
}

namespace {

int64_t EarliestPresentation(const FlvMp4Track& track) {
    int64_t earliest = std::numeric_limits<int64_t>::max();
    for (const FlvMp4Sample& sample : track.samples) {
        earliest = std::min(earliest, sample.decodeTime + sample.composition);
    }
    return track.samples.empty() ? 0 : earliest;
}

uint64_t ToMovie(uint64_t value, uint32_t timescale) {
    return (value * kMovieTimescale + timescale / 2) / timescale;
}

}  // namespace

uint64_t CFlvMp4Writer::PresentedDuration(const FlvMp4Track& track) const {
    if (track.samples.empty()) return 0;
    int64_t end = 0;
    for (const FlvMp4Sample& sample : track.samples) {
        end = std::max(end, sample.decodeTime + sample.composition);
    }
    end += track.lastDuration;
    const int64_t shown = end - EarliestPresentation(track) - int64_t{track.mediaStart};
    return static_cast<uint64_t>(std::max<int64_t>(shown, 0));
}

void CFlvMp4Writer::BuildHead(bool wide) {
    // Twice: once to learn the size of everything before the data, once
    // with the chunk offsets that follow from it.
    for (int pass = 0; pass < 2; ++pass) {
        // Each pass writes into the buffer of the one before: the head of a
        // long recording is megabytes, and one buffer is enough.
        Mp4Boxes out;
        out.Data().swap(m_head);
        out.Data().clear();
        if (pass == 0) {
            // More than the tables can take (per sample at most a size, a
            // time run, a composition run and a sync entry; per chunk a
            // sample-to-chunk run and an offset): reserved, not touched, so
            // the buffer never moves while it grows.
            size_t bound = 64 * 1024 + m_chunks.size() * 20;
            for (const FlvMp4Track& track : m_tracks) bound += track.samples.size() * 24;
            out.Data().reserve(bound);
        }
        const size_t ftyp = out.Open("ftyp");
        out.Bytes(reinterpret_cast<const uint8_t*>(m_audioOnly ? "M4A " : "isom"), 4);
        out.U32(0x200);
        const char* brands = m_audioOnly ? "M4A isomiso2mp41" : "isomiso2avc1mp41";
        out.Bytes(reinterpret_cast<const uint8_t*>(brands), 16);
        out.End(ftyp);

        uint64_t movieDuration = 0;
        for (const FlvMp4Track& track : m_tracks) {
            // As the track header has it: the first presentation comes
            // after the delay and the earliest composition offset.
            movieDuration = std::max(
                movieDuration,
                track.delay +
                    ToMovie(static_cast<uint64_t>(EarliestPresentation(track)), track.timescale) +
                    ToMovie(PresentedDuration(track), track.timescale));
        }
        const size_t moov = out.Open("moov");
        const bool longMovie = movieDuration > std::numeric_limits<uint32_t>::max();
        const size_t mvhd = out.OpenFull("mvhd", longMovie ? 1 : 0, 0);
        out.Field(longMovie, 0);
        out.Field(longMovie, 0);
        out.U32(kMovieTimescale);
        out.Field(longMovie, movieDuration);
        out.U32(0x00010000);  // rate 1.0
        out.U16(0x0100);      // volume 1.0
        out.Zeros(10);
        for (uint32_t v : kMatrix) out.U32(v);
        out.Zeros(24);
        out.U32(static_cast<uint32_t>(m_tracks.size()) + 1);
        out.End(mvhd);
        for (uint32_t t = 0; t < m_tracks.size(); ++t) WriteTrack(out, t, wide);
        out.End(moov);

        const bool bigData = m_dataSize + 8 > std::numeric_limits<uint32_t>::max();
        if (bigData) {
            out.U32(1);
            out.Bytes(reinterpret_cast<const uint8_t*>("mdat"), 4);
            out.U64(m_dataSize + 16);
        } else {
            out.U32(static_cast<uint32_t>(m_dataSize + 8));
            out.Bytes(reinterpret_cast<const uint8_t*>("mdat"), 4);
        }
        m_head = std::move(out.Data());

        uint64_t offset = m_head.size();
        for (Chunk& chunk : m_chunks) {
            chunk.offset = offset;
            const std::vector<FlvMp4Sample>& samples = m_tracks[chunk.track].samples;
            for (uint32_t i = chunk.first; i < chunk.first + chunk.count; ++i) {
                offset += samples[i].size;
            }
        }
    }
}

void CFlvMp4Writer::WriteTrack(Mp4Boxes& out, uint32_t index, bool wide) const {
    const FlvMp4Track& track = m_tracks[index];
    const uint32_t trackId = index + 1;
    const uint64_t media = MediaDuration(track);
    const int64_t earliest = EarliestPresentation(track);
    // The media starts where its first presentation is, after the ticks
    // that are decoded but never shown.
    const int64_t mediaTime = earliest + int64_t{track.mediaStart};
    const uint64_t presented = ToMovie(PresentedDuration(track), track.timescale);
    // The first presented sample shows at the track's delay plus its own
    // composition offset, as in the FLV.
    const uint64_t emptyEdit =
        track.delay + ToMovie(static_cast<uint64_t>(earliest), track.timescale);
    const uint64_t trackDuration = emptyEdit + presented;
    const FlvMp4SampleEntry& first = track.entries.front();

    const size_t trak = out.Open("trak");
    const bool longTrack = trackDuration > std::numeric_limits<uint32_t>::max();
    const size_t tkhd = out.OpenFull("tkhd", longTrack ? 1 : 0, 3);  // enabled, in movie
    out.Field(longTrack, 0);
    out.Field(longTrack, 0);
    out.U32(trackId);
    out.U32(0);
    out.Field(longTrack, trackDuration);
    out.Zeros(8);
    out.U16(0);                         // layer
    out.U16(0);                         // alternate group
    out.U16(track.video ? 0 : 0x0100);  // volume
    out.U16(0);
    for (uint32_t v : kMatrix) out.U32(v);
    out.U32(track.video ? first.width << 16 : 0);
    out.U32(track.video ? first.height << 16 : 0);
    out.End(tkhd);

    // The edit list puts every sample at its FLV time: an empty edit up to
    // the first presentation, then the media from its earliest presentation
    // on. ffmpeg-based players start the media at that media_time exactly as
    // the standard asks, so their times equal the FLV's.
    if (emptyEdit > 0 || mediaTime != 0) {
        const bool longEdit = presented > std::numeric_limits<uint32_t>::max() ||
                              emptyEdit > std::numeric_limits<uint32_t>::max() ||
                              mediaTime > std::numeric_limits<int32_t>::max();
        const size_t edts = out.Open("edts");
        const size_t elst = out.OpenFull("elst", longEdit ? 1 : 0, 0);
        out.U32(emptyEdit > 0 ? 2 : 1);
        if (emptyEdit > 0) {
            out.Field(longEdit, emptyEdit);
            out.Field(longEdit, longEdit ? UINT64_MAX : UINT32_MAX);  // -1: empty
            out.U32(0x00010000);
        }
        out.Field(longEdit, presented);
        out.Field(longEdit, static_cast<uint64_t>(mediaTime));
        out.U32(0x00010000);
        out.End(elst);
        out.End(edts);
    }

    const size_t mdia = out.Open("mdia");
    const bool longMedia = media > std::numeric_limits<uint32_t>::max();
    const size_t mdhd = out.OpenFull("mdhd", longMedia ? 1 : 0, 0);
    out.Field(longMedia, 0);
    out.Field(longMedia, 0);
    out.U32(track.timescale);
    out.Field(longMedia, media);
    out.U16(0x55C4);  // "und"
    out.U16(0);
    out.End(mdhd);
    const size_t minf = OpenMediaInformation(out, track.video);

    const size_t stbl = out.Open("stbl");
    const size_t stsd = out.OpenFull("stsd", 0, 0);
    out.U32(static_cast<uint32_t>(track.entries.size()));
    for (const FlvMp4SampleEntry& entry : track.entries) WriteSampleEntry(out, entry, trackId);
    out.End(stsd);

    const std::vector<FlvMp4Sample>& samples = track.samples;
    const auto stts = Runs<uint32_t>(samples.size(), [&](size_t i) {
        return i + 1 < samples.size()
                   ? static_cast<uint32_t>(samples[i + 1].decodeTime - samples[i].decodeTime)
                   : track.lastDuration;
    });
    const size_t sttsBox = out.OpenFull("stts", 0, 0);
    out.U32(static_cast<uint32_t>(stts.size()));
    for (const auto& [count, delta] : stts) {
        out.U32(count);
        out.U32(delta);
    }
    out.End(sttsBox);

    const bool anyOffset = std::any_of(samples.begin(), samples.end(),
                                       [](const FlvMp4Sample& s) { return s.composition != 0; });
    if (anyOffset) {
        const bool negative = std::any_of(samples.begin(), samples.end(),
                                          [](const FlvMp4Sample& s) { return s.composition < 0; });
        const auto ctts =
            Runs<int32_t>(samples.size(), [&](size_t i) { return samples[i].composition; });
        const size_t cttsBox = out.OpenFull("ctts", negative ? 1 : 0, 0);
        out.U32(static_cast<uint32_t>(ctts.size()));
        for (const auto& [count, offset] : ctts) {
            out.U32(count);
            out.U32(static_cast<uint32_t>(offset));
        }
        out.End(cttsBox);
    }

    if (!track.nonSync.empty()) {
        const size_t stss = out.OpenFull("stss", 0, 0);
        out.U32(static_cast<uint32_t>(samples.size() - track.nonSync.size()));
        size_t next = 0;
        for (uint32_t i = 0; i < samples.size(); ++i) {
            if (next < track.nonSync.size() && track.nonSync[next] == i) {
                ++next;
            } else {
                out.U32(i + 1);
            }
        }
        out.End(stss);
    }

    // This track's chunks, in file order, and the entry each one uses.
    std::vector<const Chunk*> chunks;
    for (const Chunk& chunk : m_chunks) {
        if (chunk.track == index) chunks.push_back(&chunk);
    }
    std::vector<uint32_t> chunkEntries;
    chunkEntries.reserve(chunks.size());
    size_t run = 0;
    for (const Chunk* chunk : chunks) {
        while (run + 1 < track.entryRuns.size() && track.entryRuns[run + 1].first <= chunk->first) {
            ++run;
        }
        chunkEntries.push_back(track.entryRuns.empty() ? 0 : track.entryRuns[run].second);
    }
    const size_t stsc = out.OpenFull("stsc", 0, 0);
    const size_t stscCount = out.Data().size();
    out.U32(0);
    uint32_t stscEntries = 0;
    for (size_t c = 0; c < chunks.size(); ++c) {
        if (c > 0 && chunks[c]->count == chunks[c - 1]->count &&
            chunkEntries[c] == chunkEntries[c - 1]) {
            continue;
        }
        out.U32(static_cast<uint32_t>(c) + 1);
        out.U32(chunks[c]->count);
        out.U32(chunkEntries[c] + 1);
        ++stscEntries;
    }
    flvbytes::WriteBE32(out.Data().data() + stscCount, stscEntries);
    out.End(stsc);

    const bool sameSize = std::all_of(samples.begin(), samples.end(), [&](const FlvMp4Sample& s) {
        return s.size == samples.front().size;
    });
    const size_t stsz = out.OpenFull("stsz", 0, 0);
    out.U32(sameSize && !samples.empty() ? samples.front().size : 0);
    out.U32(static_cast<uint32_t>(samples.size()));
    if (!sameSize) {
        for (const FlvMp4Sample& sample : samples) out.U32(sample.size);
    }
    out.End(stsz);

    const size_t stco = out.OpenFull(wide ? "co64" : "stco", 0, 0);
    out.U32(static_cast<uint32_t>(chunks.size()));
    for (const Chunk* chunk : chunks) out.Field(wide, chunk->offset);
    out.End(stco);

    out.End(stbl);
    out.End(minf);
    out.End(mdia);
    out.End(trak);
}

bool CFlvMp4Writer::Write(CFlvStream* output, CFlvProcess* process) {
    if (output->Write(m_head.data(), m_head.size()) != m_head.size()) return false;
    std::vector<uint8_t> span, samples;
    std::vector<size_t> fileRun(m_tracks.size(), 0);
    for (size_t c = 0; c < m_chunks.size(); ++c) {
        const Chunk& chunk = m_chunks[c];
        if (!CopySamples(m_tracks[chunk.track], chunk.first, chunk.first + chunk.count,
                         fileRun[chunk.track], output, span, samples)) {
            return false;
        }
        if (process != nullptr &&
            process->ReportProgress(static_cast<int>(c), static_cast<int>(m_chunks.size()))) {
            break;
        }
    }
    return true;
}

namespace flvmp4 {

namespace {

// hvc1.P.C.Ln.CC from the record's profile, compatibility, constraint and
// level bytes (bytes 1 to 12).
std::string HevcCodecsString(const FlvDecoderConfig& config) {
    const std::vector<uint8_t>& record = config.bytes;
    if (!config.hevc.valid || record.size() < 13) return {};
    char text[80];
    const char* space[4] = {"", "A", "B", "C"};
    // The flags in the order general_profile_compatibility_flag[31]..[0].
    uint32_t reversed = 0;
    const uint32_t flags = flvbytes::ReadBE32(record.data() + 2);
    for (int bit = 0; bit < 32; ++bit) reversed |= ((flags >> bit) & 1u) << (31 - bit);
    int at = std::snprintf(text, sizeof text, "hvc1.%s%u.%X.%c%u",
                           space[config.hevc.profileSpace & 3], config.hevc.profile, reversed,
                           config.hevc.tier ? 'H' : 'L', config.hevc.level);
    size_t last = 6;
    while (last > 0 && record[6 + last - 1] == 0) --last;
    for (size_t i = 0; i < last; ++i) {
        at += std::snprintf(text + at, sizeof text - size_t(at), ".%02X", record[6 + i]);
    }
    return text;
}

// av01.P.LLT.DD from the record's second and third bytes.
std::string Av1CodecsString(const FlvDecoderConfig& config) {
    const std::vector<uint8_t>& record = config.bytes;
    if (!config.av1.valid || record.size() < 3) return {};
    const bool high = (record[2] & 0x40) != 0;
    const bool twelve = (record[2] & 0x20) != 0;
    const unsigned depth = high ? (twelve ? 12 : 10) : 8;
    char text[32];
    std::snprintf(text, sizeof text, "av01.%u.%02u%c.%02u", config.av1.profile, config.av1.level,
                  (record[2] & 0x80) != 0 ? 'H' : 'M', depth);
    return text;
}

}  // namespace

std::string CodecsString(const FlvDecoderConfig& config) {
    char text[32];
    if (config.video && flvcodec::IsAvc(config.codec) && config.avc.valid) {
        std::snprintf(text, sizeof text, "avc1.%02X%02X%02X", config.avc.profile,
                      config.avc.compatibility, config.avc.level);
        return text;
    }
    if (config.video && flvcodec::IsHevc(config.codec)) return HevcCodecsString(config);
    if (config.video && config.codec == flvcodec::kFourCCAv1) return Av1CodecsString(config);
    if (config.video && config.codec == flvcodec::kFourCCVp9) {
        if (!config.vp9.valid) return {};
        std::snprintf(text, sizeof text, "vp09.%02u.%02u.%02u", config.vp9.profile,
                      config.vp9.level, config.vp9.bitDepth);
        return text;
    }
    if (!config.video && config.codec == flvcodec::kFourCCOpus) {
        return config.opus.valid ? "Opus" : "";
    }
    if (!config.video && config.codec == flvcodec::kFourCCAc3) return "ac-3";
    if (!config.video &&
        (config.codec == flvcodec::kSoundAac || config.codec == flvcodec::kFourCCAac) &&
        !config.bytes.empty()) {
        // The object type as the configuration names it first (5 or 29 for
        // explicitly signalled HE-AAC).
        uint32_t type = config.bytes[0] >> 3;
        if (type == 31) {
            if (config.bytes.size() < 2) return {};
            type = 32 + (((config.bytes[0] & 7u) << 3) | (config.bytes[1] >> 5));
        }
        if (type == 0) return {};
        std::snprintf(text, sizeof text, "mp4a.40.%u", type);
        return text;
    }
    return {};
}

std::string Mpeg1AudioCodecsString(bool mpeg1) { return mpeg1 ? "mp4a.6B" : "mp4a.69"; }

std::string EntryCodecsString(const FlvMp4SampleEntry& entry) {
    if (entry.kind == FlvMp4SampleEntry::Kind::Mpeg1Audio) {
        return Mpeg1AudioCodecsString(entry.objectType == 0x6B);
    }
    // Made from the first frame's header, without a configuration.
    if (entry.kind == FlvMp4SampleEntry::Kind::Ac3) return "ac-3";
    return entry.config != nullptr ? CodecsString(*entry.config) : std::string();
}

bool ParseMpegAudioHeader(const uint8_t* data, size_t size, MpegAudioHeader& out) {
    if (size < 4 || data[0] != 0xFF || (data[1] & 0xE0) != 0xE0) return false;
    const uint32_t version = (data[1] >> 3) & 3;  // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const uint32_t layer = (data[1] >> 1) & 3;    // 1: III, 2: II, 3: I
    const uint32_t rateIndex = (data[2] >> 2) & 3;
    if (version == 1 || layer == 0 || rateIndex == 3 || (data[2] >> 4) == 15) return false;
    constexpr uint32_t kRates[3] = {44100, 48000, 32000};
    out.mpeg1 = version == 3;
    out.sampleRate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    out.channels = (data[3] >> 6) == 3 ? 1 : 2;
    out.frameSamples = layer == 3 ? 384 : (layer == 1 && !out.mpeg1) ? 576 : 1152;
    return true;
}

}  // namespace flvmp4
