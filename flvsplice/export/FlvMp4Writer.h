#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/FlvExport.h"

class CFlvRawData;
class CFlvStream;
class CFlvProcess;
struct FlvDecoderConfig;

// What an MP4 output holds; the document's SaveMP4 takes it.
struct FlvMp4Options {
    bool video = true;  // false: the video stream is left out
    bool audio = true;  // false: the audio stream is left out
    // 0: everything. k: only the k-th part of a split at each change of
    // decoder configuration (CFlvFile::Mp4PartCount tells how many), its
    // timeline starting at 0 with the distance between the tracks kept.
    uint32_t part = 0;
    // A fragmented file (moov without samples, then moof+mdat pairs with a
    // sidx to seek by). It holds one configuration per track: a file whose
    // configuration changes is written part by part.
    bool fragmented = false;
};

// One sample description (an entry of stsd). The codec table tells each
// codec's kind (flvcodec::Mp4Form); the writer has one case per kind.
struct FlvMp4SampleEntry {
    using Kind = flvcodec::Mp4Form;
    Kind kind = Kind::Avc;
    // The configuration the entry is made from: the record copied into avcC,
    // hvcC, av1C or vpcC, the AudioSpecificConfig of esds, the OpusHead that
    // dOps restates (nullptr for MPEG audio).
    const FlvDecoderConfig* config = nullptr;
    uint32_t width = 0;  // visual entries
    uint32_t height = 0;
    uint32_t channels = 0;    // audio entries
    uint32_t sampleRate = 0;  // audio entries: the rate the decoder puts out
    uint8_t objectType = 0;   // esds objectTypeIndication (0x40, 0x6B, 0x69)
    uint32_t ac3Bits = 0;     // AC-3: the 24 bits of dac3
};

// One sample: where its bytes are in its source file (the track's fileRuns
// say which), its decode time and its composition offset in the track's
// timescale. 24 bytes, one per frame.
struct FlvMp4Sample {
    uint64_t offset = 0;
    int64_t decodeTime = 0;
    uint32_t size = 0;
    int32_t composition = 0;
};

struct FlvMp4Track {
    bool video = false;
    uint32_t timescale = 1000;
    // Milliseconds from the start of the movie to the track's first sample.
    uint32_t delay = 0;
    std::vector<FlvMp4SampleEntry> entries;
    std::vector<FlvMp4Sample> samples;
    // Runs of samples read from one source file: (first sample, file), rising.
    std::vector<std::pair<uint32_t, CFlvStream*>> fileRuns;
    // Runs of samples that use one entry: (first sample, entry index), rising.
    std::vector<std::pair<uint32_t, uint32_t>> entryRuns;
    // The samples that do not decode on their own (video), rising; empty when
    // every sample does.
    std::vector<uint32_t> nonSync;
    // Samples whose bytes differ from their source's in a few places (a CRA
    // picture rewritten as BLA at a join): (sample, the raw data whose
    // patches apply), rising; nearly always empty.
    std::vector<std::pair<uint32_t, const CFlvRawData*>> patched;
    // The duration of the last sample (never 0).
    uint32_t lastDuration = 1;
    // Ticks at the start of the media that are decoded but never shown (the
    // pre-skip of Opus): the edit list starts the media after them.
    uint32_t mediaStart = 0;
};

// Writes tracks into an MP4 file: the sample tables and the whole box tree
// before the data (sizes computed first), then the samples in one pass
// straight from their source files. Chunks alternate between the tracks by
// decode time, each within about one second of its track and one entry.
// Puts the patches of sample i of track, if it has any, into its bytes.
void ApplySamplePatches(const FlvMp4Track& track, uint32_t i, uint8_t* bytes);

class FLVSPLICE_API CFlvMp4Writer {
public:
    // audioOnly writes the brand of an audio file (.m4a).
    CFlvMp4Writer(std::vector<FlvMp4Track> tracks, bool audioOnly);

    // The file's bytes before the samples (ftyp, moov and the mdat header).
    const std::vector<uint8_t>& Head() const { return m_head; }
    uint64_t DataSize() const { return m_dataSize; }
    // Writes the head and then every sample to output; false when a write
    // or copy fails. Stops early (returning true) when process asks to.
    bool Write(CFlvStream* output, CFlvProcess* process);

private:
    struct Chunk {
        uint32_t track;
        uint32_t first;  // first sample
        uint32_t count;
        uint64_t offset;  // from the start of the file
    };
    void Plan();
    void BuildHead(bool wide);
    void WriteTrack(class Mp4Boxes& out, uint32_t index, bool wide) const;
    // The track's duration on the movie's timeline (ms) and its media duration.
    uint64_t MediaDuration(const FlvMp4Track& track) const;
    uint64_t PresentedDuration(const FlvMp4Track& track) const;

    std::vector<FlvMp4Track> m_tracks;
    bool m_audioOnly;
    std::vector<Chunk> m_chunks;  // in file order
    std::vector<uint8_t> m_head;
    uint64_t m_dataSize = 0;
};

// What an MP4 that a document writes holds (CFlvFile::DescribeMp4): per
// track its samples, its times and the sample description in force over
// each run of samples.
struct FlvMp4TrackSummary {
    struct Run {
        uint32_t firstSample = 0;
        uint64_t start = 0;  // the movie time (ms) of its first sample
        uint32_t entry = 0;  // index into entries
    };
    bool video = false;
    uint32_t timescale = 1000;
    uint64_t samples = 0;
    uint64_t syncSamples = 0;
    uint32_t delay = 0;  // ms from the start of the movie to the first sample
    // ms from the start of the movie to the first sample shown (the delay
    // and the smallest presentation time, which the edit list skips to).
    uint64_t firstShown = 0;
    // The sum of the sample durations, in the timescale.
    uint64_t mediaDuration = 0;
    std::vector<FlvMp4SampleEntry> entries;
    std::vector<Run> runs;
};

namespace flvmp4 {

// The codecs parameter (RFC 6381) of a stream with this configuration:
// "avc1.PPCCLL" from the AVC record; "hvc1.P.C.Ln.CC" from the HEVC record
// (profile space letter and profile, the compatibility flags bit-reversed in
// hex, tier and level, the constraint bytes less trailing zero ones);
// "av01.P.LLT.DD" from the AV1 record; "vp09.PP.LL.DD" from the VP9 record;
// "mp4a.40.N" from the AudioSpecificConfig's first object type; "Opus";
// "ac-3".
// Empty when the configuration has no MP4 form here or does not parse.
FLVSPLICE_API std::string CodecsString(const FlvDecoderConfig& config);
// MPEG audio: "mp4a.6B" (MPEG-1 rates) or "mp4a.69" (the lower MPEG-2 rates).
FLVSPLICE_API std::string Mpeg1AudioCodecsString(bool mpeg1);
// The codecs parameter of a sample description; empty when it has none here.
FLVSPLICE_API std::string EntryCodecsString(const FlvMp4SampleEntry& entry);

// An MPEG audio frame header: its rate, channels and samples per frame.
struct MpegAudioHeader {
    bool mpeg1 = false;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t frameSamples = 0;
};
// False when the four bytes are no MPEG audio frame header.
FLVSPLICE_API bool ParseMpegAudioHeader(const uint8_t* data, size_t size, MpegAudioHeader& out);

}  // namespace flvmp4
