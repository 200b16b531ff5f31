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
    static constexpr uint8_t kCodecHevc12 = 12;

    CFlvVideoData() = default;
    ~CFlvVideoData() override;

    bool Load(CFlvStream* source, int64_t end) override;
    // The same; modernCodecs also loads H.264/AVC and codec-12 HEVC packets
    // and enhanced tags.
    bool Load(CFlvStream* source, int64_t end, bool modernCodecs);
    bool Save(CFlvStream* output) override;
    // Where the payload ends in its source: where its last part ends.
    CFlvStream* GetSourceEnd(uint64_t* end) const override;

    bool IsKeyFrame() const { return GetFrameType() == 1; }
    // An enhanced tag (loaded with the modern codecs): bit 7 set, the frame
    // type in bits 6-4 and the packet type (not a codec identifier) in bits 3-0.
    bool IsEnhanced() const { return m_enhanced; }
    uint8_t GetFrameType() const { return IsEnhanced() ? (m_header >> 4) & 7 : m_header >> 4; }
    uint8_t GetCodecId() const { return m_header & 0x0F; }
    // The codec identifier, or the FourCC of an enhanced tag (0 when it names
    // none: command frames, many tracks of many codecs).
    uint32_t GetCodecKey() const;
    // The packet of a codec with packet types, or nullptr.
    CFlvVideoPacketTyped* TypedPacket() const;
    // The packet of an enhanced tag, or nullptr.
    CFlvVideoPacketEnhanced* EnhancedPacket() const;
    // An enhanced multitrack tag: its packet's raw data is the track loop,
    // not one codec's data.
    bool IsMultitrack() const;
    // False for a decoder configuration, an end of sequence, a command frame
    // or metadata.
    bool IsFrame() const;
    // True when the frame type alone does not tell whether the frame decodes
    // on its own (H.264 and HEVC: only an IDR picture does; AV1: a key frame
    // with its sequence header).
    bool NeedsIdrCheck() const;
    bool IsEndOfSequence() const;

    uint8_t m_header = 0;
    bool m_enhanced = false;
    std::unique_ptr<CFlvVideoPacket> m_packet;
};
