#include "flvsplice/export/FlvMp4FragmentWriter.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/common/FlvProcess.h"
#include "flvsplice/export/FlvMp4Boxes.h"
#include "flvsplice/platform/FlvStream.h"

// Times: a track's first sample decodes at its delay (the distance from the
// movie's start, as in the FLV) and every tfdt is that plus the running sum
// of the sample durations before the fragment, so presentation times equal
// the progressive file's as ffmpeg shows them, without an edit list.
// Chromium's Media Source reads only the first entry of an edit list and
// skips an empty one, so the progressive file's empty edit would be lost
// there; a tfdt is read by everyone.

namespace {

constexpr uint32_t kMovieTimescale = 1000;
constexpr uint32_t kMatrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
constexpr uint32_t kSyncFlags = 0x02000000;     // depends on no other sample
constexpr uint32_t kNonSyncFlags = 0x01010000;  // depends on others, not a sync sample
// A trun's data offset and a sidx's referenced size are 31-bit.
constexpr uint64_t kMaxFragment = std::numeric_limits<int32_t>::max();
constexpr size_t kMaxReferences = 0xFFFF;  // sidx reference_count

void Type(Mp4Boxes& out, const char* four) { out.Bytes(reinterpret_cast<const uint8_t*>(four), 4); }

uint32_t Duration(const FlvMp4Track& track, uint32_t i) {
    return i + 1 < track.samples.size() ? static_cast<uint32_t>(track.samples[i + 1].decodeTime -
                                                                track.samples[i].decodeTime)
                                        : track.lastDuration;
}

int64_t DelayTicks(const FlvMp4Track& track) {
    return (int64_t{track.delay} * track.timescale + kMovieTimescale / 2) / kMovieTimescale;
}

// The sync flags of every sample: the track's nonSync list expanded.
std::vector<bool> SyncSamples(const FlvMp4Track& track) {
    std::vector<bool> sync(track.samples.size(), true);
    for (uint32_t i : track.nonSync) {
        if (i < sync.size()) sync[i] = false;
    }
    return sync;
}

}  // namespace

CFlvMp4FragmentWriter::CFlvMp4FragmentWriter(std::vector<FlvMp4Track> tracks, bool audioOnly)
    : m_tracks(std::move(tracks)), m_audioOnly(audioOnly) {
    for (size_t t = 0; t < m_tracks.size(); ++t) {
        if (m_tracks[t].video) {
            m_lead = t;
            break;
        }
    }
    Plan();
}

int64_t CFlvMp4FragmentWriter::DecodeTime(const FlvMp4Track& track, uint32_t sample) const {
    return DelayTicks(track) + track.samples[sample].decodeTime;
}

void CFlvMp4FragmentWriter::Plan() {
    m_fragments.clear();
    if (m_tracks.empty() || m_tracks[m_lead].samples.empty()) return;
    const FlvMp4Track& lead = m_tracks[m_lead];
    const std::vector<bool> sync = SyncSamples(lead);
    const auto n = static_cast<uint32_t>(lead.samples.size());

    // Fragment starts on the leading track: a sync sample at least `length`
    // after the previous start; longer when a sidx could not count them all.
    std::vector<uint32_t> starts;
    for (int64_t length = lead.timescale;; length *= 2) {
        starts.assign(1, 0);
        int64_t begun = lead.samples[0].decodeTime;
        for (uint32_t i = 1; i < n; ++i) {
            if (sync[i] && lead.samples[i].decodeTime - begun >= length) {
                starts.push_back(i);
                begun = lead.samples[i].decodeTime;
            }
        }
        if (starts.size() <= kMaxReferences) break;
    }

    // The other tracks' samples go with the fragment whose span holds their
    // decode time on the movie's timeline.
    auto seconds = [this](size_t t, uint32_t i) {
        return static_cast<long double>(DecodeTime(m_tracks[t], i)) / m_tracks[t].timescale;
    };
    std::vector<uint32_t> next(m_tracks.size(), 0);
    for (size_t k = 0; k < starts.size(); ++k) {
        Fragment fragment;
        fragment.first.assign(m_tracks.size(), 0);
        fragment.count.assign(m_tracks.size(), 0);
        const bool last = k + 1 == starts.size();
        for (size_t t = 0; t < m_tracks.size(); ++t) {
            const FlvMp4Track& track = m_tracks[t];
            const auto size = static_cast<uint32_t>(track.samples.size());
            uint32_t end = size;
            if (!last && t == m_lead) {
                end = starts[k + 1];
            } else if (!last) {
                const long double boundary = seconds(m_lead, starts[k + 1]);
                end = next[t];
                while (end < size && seconds(t, end) < boundary) ++end;
            }
            fragment.first[t] = next[t];
            fragment.count[t] = end - next[t];
            for (uint32_t i = next[t]; i < end; ++i) fragment.dataSize += track.samples[i].size;
            next[t] = end;
        }
        m_fragments.push_back(std::move(fragment));
    }
    for (size_t k = 0; k < m_fragments.size(); ++k) {
        m_fragments[k].moofSize = static_cast<uint32_t>(Moof(k).size());
        if (m_fragments[k].moofSize + 8 + m_fragments[k].dataSize > kMaxFragment) m_fits = false;
    }
}

std::vector<uint8_t> CFlvMp4FragmentWriter::Moof(size_t index) const {
    const Fragment& fragment = m_fragments[index];
    Mp4Boxes out;
    const size_t moof = out.Open("moof");
    const size_t mfhd = out.OpenFull("mfhd", 0, 0);
    out.U32(static_cast<uint32_t>(index) + 1);
    out.End(mfhd);
    // The data offsets, filled in once the moof's size is known: the
    // samples follow the mdat header in track order.
    std::vector<std::pair<size_t, uint64_t>> offsets;
    uint64_t before = 0;
    for (size_t t = 0; t < m_tracks.size(); ++t) {
        if (fragment.count[t] == 0) continue;
        const FlvMp4Track& track = m_tracks[t];
        const std::vector<FlvMp4Sample>& samples = track.samples;
        const uint32_t first = fragment.first[t];
        const uint32_t end = first + fragment.count[t];

        const size_t traf = out.Open("traf");
        const uint32_t defaultFlags = track.video ? 0 : 0x000020;
        const size_t tfhd = out.OpenFull("tfhd", 0, 0x020000 | defaultFlags);  // base is moof
        out.U32(static_cast<uint32_t>(t) + 1);
        if (!track.video) out.U32(kSyncFlags);
        out.End(tfhd);
        const size_t tfdt = out.OpenFull("tfdt", 1, 0);
        out.U64(static_cast<uint64_t>(DecodeTime(track, first)));
        out.End(tfdt);

        const bool composition = std::any_of(samples.begin(), samples.end(),
                                             [](const FlvMp4Sample& s) { return s.composition; });
        const bool negative = std::any_of(samples.begin(), samples.end(),
                                          [](const FlvMp4Sample& s) { return s.composition < 0; });
        const uint32_t flags = 0x000001 | 0x000100 | 0x000200 | (track.video ? 0x000400 : 0) |
                               (composition ? 0x000800 : 0);
        const size_t trun = out.OpenFull("trun", negative ? 1 : 0, flags);
        out.U32(fragment.count[t]);
        offsets.emplace_back(out.Data().size(), before);
        out.U32(0);
        size_t nonSync = std::lower_bound(track.nonSync.begin(), track.nonSync.end(), first) -
                         track.nonSync.begin();
        for (uint32_t i = first; i < end; ++i) {
            out.U32(Duration(track, i));
            out.U32(samples[i].size);
            if (track.video) {
                const bool sync = nonSync >= track.nonSync.size() || track.nonSync[nonSync] != i;
                if (!sync) ++nonSync;
                out.U32(sync ? kSyncFlags : kNonSyncFlags);
            }
            if (composition) out.U32(static_cast<uint32_t>(samples[i].composition));
            before += samples[i].size;
        }
        out.End(trun);
        out.End(traf);
    }
    out.End(moof);
    std::vector<uint8_t>& bytes = out.Data();
    for (const auto& [at, skipped] : offsets) {
        flvbytes::WriteBE32(bytes.data() + at, static_cast<uint32_t>(bytes.size() + 8 + skipped));
    }
    return std::move(bytes);
}

std::vector<uint8_t> CFlvMp4FragmentWriter::Head() const {
    Mp4Boxes out;
    const size_t ftyp = out.Open("ftyp");
    Type(out, m_audioOnly ? "M4A " : "isom");
    out.U32(0x200);
    Type(out, m_audioOnly ? "M4A " : "isom");
    for (const char* brand : {"iso6", "iso2", "mp41"}) Type(out, brand);
    if (!m_audioOnly) Type(out, "avc1");
    out.End(ftyp);

    // The whole duration: the end of the latest presentation of any track.
    uint64_t movieDuration = 0;
    for (const FlvMp4Track& track : m_tracks) {
        int64_t end = 0;
        for (uint32_t i = 0; i < track.samples.size(); ++i) {
            end = std::max(end, DecodeTime(track, i) + track.samples[i].composition);
        }
        end += track.lastDuration;
        movieDuration = std::max(
            movieDuration,
            (static_cast<uint64_t>(end) * kMovieTimescale + track.timescale / 2) / track.timescale);
    }

    const size_t moov = out.Open("moov");
    const size_t mvhd = out.OpenFull("mvhd", 0, 0);
    out.Zeros(8);  // creation and modification times
    out.U32(kMovieTimescale);
    out.U32(0);  // nothing in moov itself: the fragments hold every sample
    out.U32(0x00010000);
    out.U16(0x0100);
    out.Zeros(10);
    for (uint32_t v : kMatrix) out.U32(v);
    out.Zeros(24);
    out.U32(static_cast<uint32_t>(m_tracks.size()) + 1);
    out.End(mvhd);

    for (uint32_t t = 0; t < m_tracks.size(); ++t) {
        const FlvMp4Track& track = m_tracks[t];
        const FlvMp4SampleEntry& entry = track.entries.front();
        const size_t trak = out.Open("trak");
        const size_t tkhd = out.OpenFull("tkhd", 0, 3);  // enabled, in movie
        out.Zeros(8);
        out.U32(t + 1);
        out.Zeros(4 + 4 + 8);  // reserved, duration, reserved
        out.U16(0);            // layer
        out.U16(0);            // alternate group
        out.U16(track.video ? 0 : 0x0100);
        out.U16(0);
        for (uint32_t v : kMatrix) out.U32(v);
        out.U32(track.video ? entry.width << 16 : 0);
        out.U32(track.video ? entry.height << 16 : 0);
        out.End(tkhd);

        const size_t mdia = out.Open("mdia");
        const size_t mdhd = out.OpenFull("mdhd", 0, 0);
        out.Zeros(8);
        out.U32(track.timescale);
        out.U32(0);
        out.U16(0x55C4);  // "und"
        out.U16(0);
        out.End(mdhd);
        const size_t minf = OpenMediaInformation(out, track.video);
        const size_t stbl = out.Open("stbl");
        const size_t stsd = out.OpenFull("stsd", 0, 0);
        out.U32(1);
        WriteSampleEntry(out, entry, t + 1);
        out.End(stsd);
        for (const char* empty : {"stts", "stsc", "stco"}) {
            const size_t table = out.OpenFull(empty, 0, 0);
            out.U32(0);
            out.End(table);
        }
        const size_t stsz = out.OpenFull("stsz", 0, 0);
        out.Zeros(8);
        out.End(stsz);
        out.End(stbl);
        out.End(minf);
        out.End(mdia);
        out.End(trak);
    }

    const size_t mvex = out.Open("mvex");
    const bool longMovie = movieDuration > std::numeric_limits<uint32_t>::max();
    const size_t mehd = out.OpenFull("mehd", longMovie ? 1 : 0, 0);
    out.Field(longMovie, movieDuration);
    out.End(mehd);
    for (uint32_t t = 0; t < m_tracks.size(); ++t) {
        const size_t trex = out.OpenFull("trex", 0, 0);
        out.U32(t + 1);
        out.U32(1);  // the one sample entry
        out.Zeros(12);
        out.End(trex);
    }
    out.End(mvex);
    out.End(moov);

    // One reference per fragment, in the leading track's time: the span from
    // its earliest presentation to the next fragment's.
    const FlvMp4Track& lead = m_tracks[m_lead];
    std::vector<int64_t> earliest;
    int64_t end = 0;
    for (const Fragment& fragment : m_fragments) {
        int64_t first = std::numeric_limits<int64_t>::max();
        for (uint32_t i = fragment.first[m_lead];
             i < fragment.first[m_lead] + fragment.count[m_lead]; ++i) {
            const int64_t shown = DecodeTime(lead, i) + lead.samples[i].composition;
            first = std::min(first, shown);
            end = std::max(end, shown + static_cast<int64_t>(Duration(lead, i)));
        }
        earliest.push_back(first);
    }
    const bool wide = end > std::numeric_limits<uint32_t>::max();
    const size_t sidx = out.OpenFull("sidx", wide ? 1 : 0, 0);
    out.U32(static_cast<uint32_t>(m_lead) + 1);
    out.U32(lead.timescale);
    out.Field(wide, static_cast<uint64_t>(std::max<int64_t>(earliest.front(), 0)));
    out.Field(wide, 0);  // the first moof follows
    out.U16(0);
    out.U16(static_cast<uint32_t>(m_fragments.size()));
    for (size_t k = 0; k < m_fragments.size(); ++k) {
        const Fragment& fragment = m_fragments[k];
        out.U32(static_cast<uint32_t>(fragment.moofSize + 8 + fragment.dataSize));
        const int64_t until = k + 1 < m_fragments.size() ? earliest[k + 1] : end;
        out.U32(static_cast<uint32_t>(std::max<int64_t>(until - earliest[k], 0)));
        // A SAP of type 1 where the fragment starts on a sync sample (the
        // first may not: a recording that starts between key frames).
        const uint32_t first = fragment.first[m_lead];
        const bool sync = !std::binary_search(lead.nonSync.begin(), lead.nonSync.end(), first);
        out.U32(sync ? 0x90000000 : 0);
    }
    out.End(sidx);
    return std::move(out.Data());
}

bool CFlvMp4FragmentWriter::Write(CFlvStream* output, CFlvProcess* process) {
    if (m_fragments.empty() || !m_fits) return false;
    const std::vector<uint8_t> head = Head();
    if (output->Write(head.data(), head.size()) != head.size()) return false;
    std::vector<uint8_t> span, data;
    std::vector<size_t> fileRun(m_tracks.size(), 0);
    for (size_t k = 0; k < m_fragments.size(); ++k) {
        const Fragment& fragment = m_fragments[k];
        const std::vector<uint8_t> moof = Moof(k);
        uint8_t mdat[8];
        flvbytes::WriteBE32(mdat, static_cast<uint32_t>(8 + fragment.dataSize));
        std::copy_n("mdat", 4, mdat + 4);
        if (output->Write(moof.data(), moof.size()) != moof.size() ||
            output->Write(mdat, sizeof mdat) != sizeof mdat) {
            return false;
        }
        for (size_t t = 0; t < m_tracks.size(); ++t) {
            if (!CopySamples(m_tracks[t], fragment.first[t], fragment.first[t] + fragment.count[t],
                             fileRun[t], output, span, data)) {
                return false;
            }
        }
        if (process != nullptr &&
            process->ReportProgress(static_cast<int>(k), static_cast<int>(m_fragments.size()))) {
            break;
        }
    }
    return true;
}
