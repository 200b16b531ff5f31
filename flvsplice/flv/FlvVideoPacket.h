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

// H.264/AVC (codec 7): the packet type (0 decoder configuration, 1 coded
// frame, 2 end of sequence) and the signed 24-bit composition time, then the
// configuration record or the length-prefixed NAL units as a raw range. The
// picture size is in the decoder configuration, which the document reads.
class FLVSPLICE_API CFlvVideoPacketAvc : public CFlvVideoPacket {
public:
    CFlvVideoPacketAvc() = default;
    ~CFlvVideoPacketAvc() override;
    bool Load(CFlvStream* source, int64_t end) override;
    uint32_t GetWidth() override { return 0; }
    uint32_t GetHeight() override { return 0; }
    const uint8_t* GetHeaderBytes(uint32_t& count) override;

    uint8_t GetPacketType() const { return m_headerBytes[0]; }
    // Presentation time less decode time, in milliseconds.
    int32_t GetCompositionTime() const;
    // Reads the NAL unit headers of a coded frame (lengthSize-byte lengths)
    // up to its first slice; *idr tells whether that is an IDR picture's.
    // False after a read failure.
    bool FindIdr(unsigned lengthSize, bool* idr);

    uint8_t m_headerBytes[4] = {};
};
