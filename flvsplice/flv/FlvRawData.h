#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "flvsplice/common/FlvData.h"

// Bytes of the source file that the library copies but never interprets: the
// audio data after the audio header byte, the coded picture after a video
// packet's header, the body of a script-data tag. The element only knows
// where they lie; every save reads them again from the source stream, which it
// borrows from the document (a closed stream makes every read fail).
class FLVSPLICE_API CFlvRawData : public CFlvData {
public:
    static constexpr uint64_t kChunkSize = 4096;

    CFlvRawData(CFlvStream* file, uint64_t offset, uint64_t size);
    ~CFlvRawData() override;

    // Never read from a file: the creator sets the range.
    bool Load(CFlvStream* source, int64_t end) override;
    // Copies the range to the output's current position in 4096-byte chunks.
    bool Save(CFlvStream* output) override;
    CFlvStream* GetSourceEnd(uint64_t* end) const override;
    // Reads count bytes from the start of the range into the caller's buffer.
    bool ReadToBuffer(uint8_t* buffer, uint64_t count);

    // Gives value instead of the source's byte at offset at of the range, in
    // every save and read (a NAL unit header rewritten in place). A tag
    // whose bytes are patched is no longer its source's bytes: the caller
    // makes it save itself.
    void Patch(uint64_t at, uint8_t value);
    // Puts the patched bytes that fall in [from, from + count) of the range
    // into buffer, which holds those bytes of the range.
    void ApplyPatches(uint64_t from, uint8_t* buffer, uint64_t count) const;
    bool HasPatches() const { return m_patches != nullptr; }

    uint64_t m_offset;
    uint64_t m_size;
    CFlvStream* m_file;

private:
    // Rare: a pointer keeps the many unpatched ranges small.
    std::unique_ptr<std::vector<std::pair<uint64_t, uint8_t>>> m_patches;

    bool SeekToStart();
};
