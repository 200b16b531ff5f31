#pragma once

#include <cstdint>
#include <memory>

#include "flvsplice/common/FlvData.h"

// The FLV file header: signature, version, type flags, data offset, and any
// extra bytes up to the data offset, all kept exactly as read.
class FLVSPLICE_API CFlvHeader : public CFlvData {
public:
    static constexpr uint8_t kAudioFlag = 0x04;
    static constexpr uint8_t kVideoFlag = 0x01;
    static constexpr uint32_t kStandardSize = 9;

    CFlvHeader();
    ~CFlvHeader() override;

    // Reads the header from the start of the stream. The extra bytes are read
    // only when the file can hold them; end is not used.
    bool Load(CFlvStream* source, int64_t end) override;
    bool Save(CFlvStream* output) override;

    uint32_t GetDataOffset() const;
    bool HasAudio() const { return (m_flags & kAudioFlag) != 0; }
    bool HasVideo() const { return (m_flags & kVideoFlag) != 0; }

    uint8_t m_signature[3] = {};
    uint8_t m_version = 0;
    uint8_t m_flags = 0;
    uint8_t m_dataOffset[4] = {};  // big-endian, as stored
    std::unique_ptr<uint8_t[]> m_extraHeader;
    uint32_t m_extraSize = 0;
};
