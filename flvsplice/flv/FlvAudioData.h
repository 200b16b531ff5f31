#pragma once

#include <cstdint>
#include <memory>

#include "flvsplice/common/FlvData.h"
#include "flvsplice/flv/FlvRawData.h"

class CFlvPayloadView;

// The payload of an audio tag: the audio header byte, and the rest of the
// payload as a raw range.
class FLVSPLICE_API CFlvAudioData : public CFlvData {
public:
    CFlvAudioData() = default;
    ~CFlvAudioData() override;

    bool Load(CFlvStream* source, int64_t end) override;
    // The same; modernCodecs also notes the packet type of a format that has
    // one (AAC), which stays the first byte of the raw data, and reads the
    // header of enhanced audio (sound format 9: packet type in the first
    // byte, ModEx prefixes, multitrack byte, FourCC), which stays in the raw
    // data too: the raw data is always every byte after the first.
    bool Load(CFlvStream* source, int64_t end, bool modernCodecs);
    bool Save(CFlvStream* output) override;
    // Where the payload ends in its source: where its last part ends.
    CFlvStream* GetSourceEnd(uint64_t* end) const override;

    uint8_t GetSoundFormat() const { return m_header >> 4; }
    uint8_t GetSoundRate() const { return (m_header >> 2) & 3; }
    uint8_t GetSoundSize() const { return (m_header >> 1) & 1; }
    uint8_t GetSoundType() const { return m_header & 1; }
    // False for a decoder configuration (AAC packet type 0), when noted, and
    // for the tags of enhanced audio that hold no frame.
    bool IsFrame() const { return m_packetType != 0 && m_packetType != kNotAFrame; }
    bool IsEnhanced() const { return m_enhancedType != kNoPacketType; }
    // The sound format, or the FourCC of enhanced audio (0 when it names
    // none: many tracks of many codecs).
    uint32_t GetFormatKey() const { return IsEnhanced() ? m_fourCC : GetSoundFormat(); }

    uint8_t m_header = 0;
    // The packet type byte after the header for formats that have one, noted
    // when loaded with the modern codecs; kNoPacketType otherwise.
    static constexpr uint8_t kNoPacketType = 0xFF;
    uint8_t m_packetType = kNoPacketType;
    // Enhanced audio: m_packetType is 0 for a sequence start (the codec's
    // configuration), 1 for coded frames, kNotAFrame for the rest (sequence
    // end, multichannel configuration); m_enhancedType is the packet type as
    // stored (after ModEx prefixes, inside a multitrack tag that of its tracks).
    static constexpr uint8_t kNotAFrame = 0xFE;
    static constexpr uint8_t kMultichannelConfig = 4;
    static constexpr uint8_t kMultitrack = 5;
    static constexpr uint8_t kModEx = 7;
    uint8_t m_enhancedType = kNoPacketType;
    uint8_t m_multitrackType = kNoPacketType;
    uint32_t m_fourCC = 0;
    // Where the configuration or the coded data starts in the raw data: 1 for
    // AAC (its packet type), the header's length for enhanced audio.
    uint32_t m_bodyOffset = 0;
    std::unique_ptr<CFlvRawData> m_rawData;

private:
    bool LoadEnhancedHeader(CFlvPayloadView& view);
};
