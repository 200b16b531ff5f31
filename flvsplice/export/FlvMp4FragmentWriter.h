#pragma once

#include <cstdint>
#include <vector>

#include "flvsplice/common/FlvExport.h"
#include "flvsplice/export/FlvMp4Writer.h"

class CFlvStream;
class CFlvProcess;

// Writes tracks into a fragmented MP4 file: ftyp, a moov whose sample
// tables are empty (its mvex says fragments follow and how long they all
// last), a sidx with one reference per fragment, then moof+mdat pairs.
// A fragment starts on a sync sample of the leading track (video when there
// is video) at least a second after the previous one began; the other
// tracks' samples go into the fragment whose time span holds their start.
// Each track must have one sample entry: the caller splits at a change.
class FLVSPLICE_API CFlvMp4FragmentWriter {
public:
    // audioOnly writes the brand of an audio file (.m4a).
    CFlvMp4FragmentWriter(std::vector<FlvMp4Track> tracks, bool audioOnly);

    // False when a fragment holds more data than a trun can point into
    // (2 GiB: a key frame interval far too long to fragment).
    bool Fits() const { return m_fits; }
    size_t FragmentCount() const { return m_fragments.size(); }
    // Writes the whole file to output; false when a write or copy fails.
    // Stops early (returning true) when process asks to.
    bool Write(CFlvStream* output, CFlvProcess* process);

private:
    struct Fragment {
        // Per track: the samples [first[t], first[t] + count[t]).
        std::vector<uint32_t> first, count;
        uint64_t dataSize = 0;
        uint32_t moofSize = 0;
    };
    void Plan();
    std::vector<uint8_t> Head() const;
    std::vector<uint8_t> Moof(size_t fragment) const;
    // The sample's time on the movie's timeline in its track's timescale:
    // the track's delay plus its decode time.
    int64_t DecodeTime(const FlvMp4Track& track, uint32_t sample) const;

    std::vector<FlvMp4Track> m_tracks;
    bool m_audioOnly;
    size_t m_lead = 0;  // the track that fragments start on
    std::vector<Fragment> m_fragments;
    bool m_fits = true;
};
