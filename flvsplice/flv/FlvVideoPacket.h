#pragma once

#include <cstdint>
#include <memory>

#include "flvsplice/common/FlvData.h"
#include "flvsplice/flv/FlvRawData.h"

class CFlvPayloadView;

// The codec packet of a video payload: the few header bytes that give the
// picture size, kept exactly as read, and the rest of the payload as a raw
// range. Nothing is decoded beyond the size fields.
class FLVSPLICE_API CFlvVideoPacket : public CFlvData {
public:
    CFlvVideoPacket() = default;
    ~CFlvVideoPacket() override;

    bool Save(CFlvStream* output) override;
    // Where the payload ends in its source: where its last part ends.
    CFlvStream* GetSourceEnd(uint64_t* end) const override;
    virtual uint32_t GetWidth() = 0;
    virtual uint32_t GetHeight() = 0;
    // The kept header bytes; their number goes to count. Owned by the packet.
    virtual const uint8_t* GetHeaderBytes(uint32_t& count) = 0;

    std::unique_ptr<CFlvRawData> m_rawData;

protected:
    // Reads the fixed header bytes through the view.
    bool ReadHeader(CFlvPayloadView& view, uint8_t* buffer, size_t count);
    // After the header bytes: the raw range up to the end, and the seek there.
    bool LoadRawData(CFlvStream* source, CFlvPayloadView& view);
};

// Sorenson H.263 (codec 2): 5 header bytes, 7 with 8-bit custom sizes, 9 with
// 16-bit custom sizes.
class FLVSPLICE_API CFlvVideoPacketH263 : public CFlvVideoPacket {
public:
    CFlvVideoPacketH263() = default;
    ~CFlvVideoPacketH263() override;
    bool Load(CFlvStream* source, int64_t end) override;
    uint32_t GetWidth() override { return m_width; }
    uint32_t GetHeight() override { return m_height; }
    const uint8_t* GetHeaderBytes(uint32_t& count) override;

    uint8_t m_headerBytes[9] = {};
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    uint32_t m_headerLength = 0;
};

// Screen video and screen video 2 (codecs 3 and 6): 4 header bytes.
class FLVSPLICE_API CFlvVideoPacketScreen : public CFlvVideoPacket {
public:
    CFlvVideoPacketScreen() = default;
    ~CFlvVideoPacketScreen() override;
    bool Load(CFlvStream* source, int64_t end) override;
    uint32_t GetWidth() override;
    uint32_t GetHeight() override;
    const uint8_t* GetHeaderBytes(uint32_t& count) override;

    uint8_t m_headerBytes[4] = {};
};

// On2 VP6 (codec 4): size adjustment, two frame header bytes, macroblock
// rows and columns.
class FLVSPLICE_API CFlvVideoPacketVP6 : public CFlvVideoPacket {
public:
    CFlvVideoPacketVP6() = default;
    ~CFlvVideoPacketVP6() override;
    bool Load(CFlvStream* source, int64_t end) override;
    uint32_t GetWidth() override;
    uint32_t GetHeight() override;
    const uint8_t* GetHeaderBytes(uint32_t& count) override;

    uint8_t m_headerBytes[5] = {};
};

// On2 VP6 with alpha (codec 5): size adjustment, 24-bit alpha offset, two
// frame header bytes, macroblock rows and columns.
class FLVSPLICE_API CFlvVideoPacketVP6Alpha : public CFlvVideoPacket {
public:
    CFlvVideoPacketVP6Alpha() = default;
    ~CFlvVideoPacketVP6Alpha() override;
    bool Load(CFlvStream* source, int64_t end) override;
    uint32_t GetWidth() override;
    uint32_t GetHeight() override;
    const uint8_t* GetHeaderBytes(uint32_t& count) override;

    uint8_t m_headerBytes[8] = {};
};

// The packets of codecs that have packet types (decoder configuration, coded
// frame, end of sequence, ...): H.264 and HEVC in the classic framing, and
// every enhanced tag.
class FLVSPLICE_API CFlvVideoPacketTyped : public CFlvVideoPacket {
public:
    CFlvVideoPacketTyped() = default;
    ~CFlvVideoPacketTyped() override;
    uint32_t GetWidth() override { return 0; }
    uint32_t GetHeight() override { return 0; }
    // What the packet holds: flvcodec::kPacketConfig, kPacketFrame,
    // kPacketEndOfSequence or kPacketOther.
    virtual uint8_t GetRole() const = 0;
    // Presentation time less decode time, in milliseconds (0 when the packet
    // carries none).
    virtual int32_t GetCompositionTime() const = 0;
    static constexpr uint8_t kNoSlice = 0xFF;
    // Reads the NAL unit headers of a coded frame (lengthSize-byte lengths)
    // up to its first slice and gives that slice's NAL unit type (H.264, or
    // HEVC when hevc), kNoSlice when there is none. False after a read
    // failure.
    bool FindFirstSlice(unsigned lengthSize, bool hevc, uint8_t* type);
    // The same, telling whether the first slice is an IDR picture's (H.264
    // type 5; HEVC types 19 and 20).
    bool FindIdr(unsigned lengthSize, bool hevc, bool* idr);
};

// H.264/AVC (codec 7) and HEVC in the same framing (codec 12): the packet
// type (0 decoder configuration, 1 coded frame, 2 end of sequence) and the
// signed 24-bit composition time, then the configuration record or the
// length-prefixed NAL units as a raw range. The picture size is in the
// decoder configuration, which the document reads.
class FLVSPLICE_API CFlvVideoPacketAvc : public CFlvVideoPacketTyped {
public:
    CFlvVideoPacketAvc() = default;
    ~CFlvVideoPacketAvc() override;
    bool Load(CFlvStream* source, int64_t end) override;
    const uint8_t* GetHeaderBytes(uint32_t& count) override;

    uint8_t GetPacketType() const { return m_headerBytes[0]; }
    uint8_t GetRole() const override;
    int32_t GetCompositionTime() const override;
    bool FindIdr(unsigned lengthSize, bool* idr) {
        return CFlvVideoPacketTyped::FindIdr(lengthSize, false, idr);
    }

    uint8_t m_headerBytes[4] = {};
};

// An enhanced video tag (bit 7 of the first byte set): after the first byte
// (frame type, packet type), the ModEx prefixes when the packet type says
// ModEx (kept as a raw range: they can be long), then the header bytes kept
// exactly: a command byte for a command frame, or the multitrack byte and
// FourCC, or the FourCC and, for coded frames of codecs with composition
// times, the 24-bit composition time. The rest is a raw range: the
// configuration record, the coded data, or the tracks of a multitrack tag.
class FLVSPLICE_API CFlvVideoPacketEnhanced : public CFlvVideoPacketTyped {
public:
    static constexpr uint8_t kSequenceStart = 0;
    static constexpr uint8_t kCodedFrames = 1;
    static constexpr uint8_t kSequenceEnd = 2;
    static constexpr uint8_t kCodedFramesX = 3;
    static constexpr uint8_t kMetadata = 4;
    static constexpr uint8_t kMpeg2TsSequenceStart = 5;
    static constexpr uint8_t kMultitrack = 6;
    static constexpr uint8_t kModEx = 7;
    static constexpr uint8_t kFrameTypeCommand = 5;
    static constexpr uint8_t kNoMultitrack = 0xFF;

    CFlvVideoPacketEnhanced() = default;
    ~CFlvVideoPacketEnhanced() override;
    // The first byte of the payload, which the video data read: set before Load.
    void SetFirstByte(uint8_t first) { m_firstByte = first; }
    bool Load(CFlvStream* source, int64_t end) override;
    bool Save(CFlvStream* output) override;
    const uint8_t* GetHeaderBytes(uint32_t& count) override;
    uint8_t GetRole() const override;
    int32_t GetCompositionTime() const override;
    // Builds the packet of an enhanced tag from the fields of a codec-12 HEVC
    // packet: the packet type and composition time, and the raw range of the
    // coded data (taken over). False for a packet type it cannot express.
    bool MakeFromClassic(uint8_t frameType, uint8_t classicPacketType, int32_t compositionTime,
                         std::unique_ptr<CFlvRawData> raw, uint8_t* firstByte);

    uint8_t GetFrameType() const { return (m_firstByte >> 4) & 7; }
    // The packet type after the ModEx prefixes (inside a multitrack tag, the
    // packet type of its tracks).
    uint8_t m_packetType = 0;
    uint32_t m_fourCC = 0;  // 0 for a command frame and for many tracks of many codecs
    uint8_t m_multitrackType = kNoMultitrack;
    // The offset of a ModEx timestamp prefix, in nanoseconds (0 without one).
    uint32_t m_nanoOffset = 0;
    std::unique_ptr<CFlvRawData> m_prefix;
    uint8_t m_firstByte = 0;
    uint8_t m_headerLength = 0;
    uint8_t m_headerBytes[9] = {};
};
