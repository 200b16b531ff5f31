#pragma once

#include <cstdint>
#include <memory>

#include "flvsplice/common/FlvData.h"
#include "flvsplice/flv/FlvVideoPacket.h"

// The payload of a video tag: the video header byte (frame type and codec)
// and the codec packet chosen by the codec identifier.
class FLVSPLICE_API CFlvVideoData : public CFlvData {
public:
    static constexpr uint8_t kCodecH263 = 2;
    static constexpr uint8_t kCodecScreen = 3;
    static constexpr uint8_t kCodecVP6 = 4;
    static constexpr uint8_t kCodecVP6Alpha = 5;
    static constexpr uint8_t kCodecScreen2 = 6;
    static constexpr uint8_t kCodecAvc = 7;

    CFlvVideoData() = default;
    ~CFlvVideoData() override;

    bool Load(CFlvStream* source, int64_t end) override;
    // The same; modernCodecs also loads H.264/AVC packets.
    bool Load(CFlvStream* source, int64_t end, bool modernCodecs);
    bool Save(CFlvStream* output) override;
    // Where the payload ends in its source: where its last part ends.
    CFlvStream* GetSourceEnd(uint64_t* end) const override;

    bool IsKeyFrame() const { return (m_header & 0xF0) == 0x10; }
    uint8_t GetFrameType() const { return m_header >> 4; }
    uint8_t GetCodecId() const { return m_header & 0x0F; }
    // False for a decoder configuration or an end of sequence.
    bool IsFrame() const;
    // True when the frame type alone does not tell whether the frame decodes
    // on its own (H.264: only an IDR picture does).
    bool NeedsIdrCheck() const;
    bool IsEndOfSequence() const;

    uint8_t m_header = 0;
    // An H.264 key frame whose NAL units, read with the usual 4-byte lengths
    // while loading, hold an IDR picture.
    bool m_holdsIdr = false;
    std::unique_ptr<CFlvVideoPacket> m_packet;
};
