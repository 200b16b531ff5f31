#pragma once

// The box writer the MP4 writers share, and the sample description (an
// entry of stsd) that both the progressive and the fragmented file carry.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "flvsplice/common/ByteOrder.h"

struct FlvMp4SampleEntry;
struct FlvMp4Track;
class CFlvStream;

// A growing buffer of boxes: Open writes a box header whose size End fills
// in once the box's contents are there.
class Mp4Boxes {
public:
    size_t Open(const char* type) {
        const size_t at = m_bytes.size();
        U32(0);
        Bytes(reinterpret_cast<const uint8_t*>(type), 4);
        return at;
    }
    size_t OpenFull(const char* type, uint8_t version, uint32_t flags) {
        const size_t at = Open(type);
        U8(version);
        U24(flags);
        return at;
    }
    void End(size_t at) {
        flvbytes::WriteBE32(m_bytes.data() + at, static_cast<uint32_t>(m_bytes.size() - at));
    }
    void U8(uint32_t v) { m_bytes.push_back(static_cast<uint8_t>(v)); }
    void U16(uint32_t v) {
        Put(2, [v](uint8_t* p) { flvbytes::WriteBE16(p, v); });
    }
    void U24(uint32_t v) {
        Put(3, [v](uint8_t* p) { flvbytes::WriteBE24(p, v); });
    }
    void U32(uint32_t v) {
        Put(4, [v](uint8_t* p) { flvbytes::WriteBE32(p, v); });
    }
    void U64(uint64_t v) {
        Put(8, [v](uint8_t* p) { flvbytes::WriteBE64(p, v); });
    }
    // A 32- or 64-bit field.
    void Field(bool wide, uint64_t v) {
        if (wide) {
            U64(v);
        } else {
            U32(static_cast<uint32_t>(v));
        }
    }
    void Zeros(size_t count) { m_bytes.insert(m_bytes.end(), count, 0); }
    void Bytes(const uint8_t* data, size_t count) {
        if (count == 0) return;
        Put(count, [data, count](uint8_t* p) { std::memcpy(p, data, count); });
    }
    // An MPEG-4 descriptor's tag and length (the four-byte length form).
    void Descriptor(uint8_t tag, uint32_t length) {
        U8(tag);
        for (int shift = 21; shift > 0; shift -= 7) U8(0x80 | ((length >> shift) & 0x7F));
        U8(length & 0x7F);
    }
    std::vector<uint8_t>& Data() { return m_bytes; }

private:
    template <typename F>
    void Put(size_t count, F write) {
        m_bytes.resize(m_bytes.size() + count);
        write(m_bytes.data() + m_bytes.size() - count);
    }
    std::vector<uint8_t> m_bytes;
};

// Writes entry as one sample entry box of stsd; trackId goes into its esds.
// Writes samples [first, end) of track to output, reading each stretch of
// samples that lie close together in one source at once; run is the track's
// current entry of fileRuns, kept from one call to the next.
bool CopySamples(const FlvMp4Track& track, uint32_t first, uint32_t end, size_t& run,
                 CFlvStream* output, std::vector<uint8_t>& span, std::vector<uint8_t>& data);
// The handler of a video or sound track, then the opened minf with its media
// header and data information; returns the minf for Mp4Boxes::End.
size_t OpenMediaInformation(Mp4Boxes& out, bool video);
void WriteSampleEntry(Mp4Boxes& out, const FlvMp4SampleEntry& entry, uint32_t trackId);
