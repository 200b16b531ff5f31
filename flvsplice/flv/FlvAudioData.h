#pragma once

#include <cstdint>
#include <memory>

#include "flvsplice/common/FlvData.h"
#include "flvsplice/flv/FlvRawData.h"

// The payload of an audio tag: the audio header byte, and the rest of the
// payload as a raw range.
class FLVSPLICE_API CFlvAudioData : public CFlvData {
public:
    CFlvAudioData() = default;
    ~CFlvAudioData() override;

    bool Load(CFlvStream* source, int64_t end) override;
    // The same; modernCodecs also notes the packet type of a format that has
    // one (AAC), which stays the first byte of the raw data.
    bool Load(CFlvStream* source, int64_t end, bool modernCodecs);
    bool Save(CFlvStream* output) override;
    // Where the payload ends in its source: where its last part ends.
    CFlvStream* GetSourceEnd(uint64_t* end) const override;

    uint8_t GetSoundFormat() const { return m_header >> 4; }
    uint8_t GetSoundRate() const { return (m_header >> 2) & 3; }
    uint8_t GetSoundSize() const { return (m_header >> 1) & 1; }
    uint8_t GetSoundType() const { return m_header & 1; }
    // False for a decoder configuration (AAC packet type 0), when noted.
    bool IsFrame() const { return m_packetType != 0; }

    uint8_t m_header = 0;
    // The packet type byte after the header for formats that have one, noted
    // when loaded with the modern codecs; kNoPacketType otherwise.
    static constexpr uint8_t kNoPacketType = 0xFF;
    uint8_t m_packetType = kNoPacketType;
    std::unique_ptr<CFlvRawData> m_rawData;
};
