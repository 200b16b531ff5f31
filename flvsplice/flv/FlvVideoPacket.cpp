#include "flvsplice/flv/FlvVideoPacket.h"

#include <cstdio>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/flv/FlvPayloadView.h"
#include "flvsplice/platform/FlvStream.h"

CFlvVideoPacket::~CFlvVideoPacket() = default;

bool CFlvVideoPacket::ReadHeader(CFlvPayloadView& view, uint8_t* buffer, size_t count) {
    if (!view.Read(buffer, count)) {
        PushSystemError(L"ビデオパケットヘッダ読み込み中にファイルREADエラーが発生しました。",
                        view.LastError());
        return false;
    }
    return true;
}

bool CFlvVideoPacket::LoadRawData(CFlvStream* source, CFlvPayloadView& view) {
    const int64_t start = view.Position();
    if (start < 0) {
        PushSystemError(
            L"ビデオパケットのRAWDATA位置取得中にファイル位置取得エラーが発生しました。",
            view.LastError());
        return false;
    }
    m_rawData = std::make_unique<CFlvRawData>(source, static_cast<uint64_t>(start),
                                              static_cast<uint64_t>(view.End() - start));
    if (!view.SeekToEnd()) {
        PushSystemError(L"ビデオパケットのRAWDATA位置移動中にファイルSEEKエラーが発生しました。",
                        view.LastError());
        return false;
    }
    return true;
}

bool CFlvVideoPacket::Save(CFlvStream* output) {
    uint32_t count = 0;
    const uint8_t* header = GetHeaderBytes(count);
    if (output->Write(header, count) != count) {
        PushSystemError(L"ビデオパケットヘッダ出力中にファイル書き込みエラーが発生しました。",
                        output->LastError());
        return false;
    }
    if (!m_rawData || !m_rawData->Save(output)) {
        PushError(L"ビデオパケットのRAWDATA出力中にエラーが発生しました。", L"", m_rawData.get());
        return false;
    }
    return true;
}

// Sorenson H.263

CFlvVideoPacketH263::~CFlvVideoPacketH263() = default;

const uint8_t* CFlvVideoPacketH263::GetHeaderBytes(uint32_t& count) {
    count = m_headerLength;
    return m_headerBytes;
}

bool CFlvVideoPacketH263::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    if (!ReadHeader(view, m_headerBytes, 5)) return false;
    m_headerLength = 5;
    const uint8_t* b = m_headerBytes;
    const uint32_t sizeCode = ((b[3] & 3u) << 1) | (b[4] >> 7);
    switch (sizeCode) {
        case 0:
            if (!view.Read(m_headerBytes + 5, 2)) {
                PushSystemError(
                    L"ビデオパケットの映像サイズ(8bit)"
                    L"を読み込み中にファイルREADエラーが発生しました。",
                    view.LastError());
                return false;
            }
            m_width = ((b[4] & 0x7Fu) << 1) | (b[5] >> 7);
            m_height = ((b[5] & 0x7Fu) << 1) | (b[6] >> 7);
            m_headerLength += 2;
            break;
        case 1:
            if (!view.Read(m_headerBytes + 5, 4)) {
                PushSystemError(
                    L"ビデオパケットの映像サイズ(16bit)"
                    L"を読み込み中にファイルREADエラーが発生しました。",
                    view.LastError());
                return false;
            }
            m_width = ((((b[4] & 0x7Fu) << 8) | b[5]) << 1) | (b[6] >> 7);
            m_height = ((((b[6] & 0x7Fu) << 8) | b[7]) << 1) | (b[8] >> 7);
            m_headerLength += 4;
            break;
        default: {
            static constexpr uint32_t kSizes[8][2] = {{0, 0},    {0, 0},     {352, 288}, {176, 144},
                                                      {128, 96}, {320, 240}, {160, 120}, {0, 0}};
            m_width = kSizes[sizeCode][0];
            m_height = kSizes[sizeCode][1];
            break;
        }
    }
    return LoadRawData(source, view);
}

// Screen video

CFlvVideoPacketScreen::~CFlvVideoPacketScreen() = default;

bool CFlvVideoPacketScreen::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    return ReadHeader(view, m_headerBytes, sizeof m_headerBytes) && LoadRawData(source, view);
}

uint32_t CFlvVideoPacketScreen::GetWidth() { return flvbytes::ReadBE16(m_headerBytes) & 0x0FFF; }

uint32_t CFlvVideoPacketScreen::GetHeight() {
    return flvbytes::ReadBE16(m_headerBytes + 2) & 0x0FFF;
}

const uint8_t* CFlvVideoPacketScreen::GetHeaderBytes(uint32_t& count) {
    count = sizeof m_headerBytes;
    return m_headerBytes;
}

// On2 VP6: the dimensions are macroblock counts less the size adjustment.

CFlvVideoPacketVP6::~CFlvVideoPacketVP6() = default;

bool CFlvVideoPacketVP6::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    return ReadHeader(view, m_headerBytes, sizeof m_headerBytes) && LoadRawData(source, view);
}

uint32_t CFlvVideoPacketVP6::GetWidth() {
    return uint32_t(m_headerBytes[4]) * 16 - (m_headerBytes[0] >> 4);
}

uint32_t CFlvVideoPacketVP6::GetHeight() {
    return uint32_t(m_headerBytes[3]) * 16 - (m_headerBytes[0] & 0x0F);
}

const uint8_t* CFlvVideoPacketVP6::GetHeaderBytes(uint32_t& count) {
    count = sizeof m_headerBytes;
    return m_headerBytes;
}

// On2 VP6 with alpha

CFlvVideoPacketVP6Alpha::~CFlvVideoPacketVP6Alpha() = default;

bool CFlvVideoPacketVP6Alpha::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    return ReadHeader(view, m_headerBytes, sizeof m_headerBytes) && LoadRawData(source, view);
}

uint32_t CFlvVideoPacketVP6Alpha::GetWidth() {
    return uint32_t(m_headerBytes[7]) * 16 - (m_headerBytes[0] >> 4);
}

uint32_t CFlvVideoPacketVP6Alpha::GetHeight() {
    return uint32_t(m_headerBytes[6]) * 16 - (m_headerBytes[0] & 0x0F);
}

const uint8_t* CFlvVideoPacketVP6Alpha::GetHeaderBytes(uint32_t& count) {
    count = sizeof m_headerBytes;
    return m_headerBytes;
}

// Packets with packet types

CFlvVideoPacketTyped::~CFlvVideoPacketTyped() = default;

bool CFlvVideoPacketTyped::FindFirstSlice(unsigned lengthSize, bool hevc, uint8_t* type) {
    *type = kNoSlice;
    if (!m_rawData || lengthSize == 0 || lengthSize > 4) return true;
    CFlvStream* file = m_rawData->m_file;
    const uint64_t size = m_rawData->m_size;
    for (uint64_t at = 0; size - at > lengthSize;) {
        uint8_t head[5];
        if (file == nullptr ||
            !file->Seek(static_cast<int64_t>(m_rawData->m_offset + at), SEEK_SET) ||
            file->Read(head, lengthSize + 1) != lengthSize + 1) {
            PushSystemError(L"映像フレームの読み込み時にファイルREADエラーが発生しました。",
                            file != nullptr ? file->LastError() : 0);
            return false;
        }
        uint64_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) length = (length << 8) | head[i];
        // HEVC: types 0..9 and 16..21 are slices; H.264: types 1 and 5.
        const uint8_t unit = hevc ? (head[lengthSize] >> 1) & 0x3F : head[lengthSize] & 0x1F;
        if (hevc ? unit <= 9 || (unit >= 16 && unit <= 21) : unit == 5 || unit == 1) {
            *type = unit;
            break;
        }
        // A unit that would run past the frame ends the search.
        if (length == 0 || length > size - at - lengthSize) break;
        at += lengthSize + length;
    }
    return true;
}

bool CFlvVideoPacketTyped::FindIdr(unsigned lengthSize, bool hevc, bool* idr) {
    uint8_t type = kNoSlice;
    const bool read = FindFirstSlice(lengthSize, hevc, &type);
    *idr = hevc ? type == 19 || type == 20 : type == 5;
    return read;
}

// H.264/AVC and codec-12 HEVC

CFlvVideoPacketAvc::~CFlvVideoPacketAvc() = default;

bool CFlvVideoPacketAvc::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    return ReadHeader(view, m_headerBytes, sizeof m_headerBytes) && LoadRawData(source, view);
}

uint8_t CFlvVideoPacketAvc::GetRole() const {
    const uint8_t type = GetPacketType();
    return type <= flvcodec::kPacketEndOfSequence ? type : flvcodec::kPacketOther;
}

int32_t CFlvVideoPacketAvc::GetCompositionTime() const {
    const uint32_t raw = flvbytes::ReadBE24(m_headerBytes + 1);
    return (raw & 0x800000) != 0 ? int32_t(raw) - 0x1000000 : int32_t(raw);
}

const uint8_t* CFlvVideoPacketAvc::GetHeaderBytes(uint32_t& count) {
    count = sizeof m_headerBytes;
    return m_headerBytes;
}

// Enhanced video

CFlvVideoPacketEnhanced::~CFlvVideoPacketEnhanced() = default;

bool CFlvVideoPacketEnhanced::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    m_packetType = m_firstByte & 0x0F;
    if (m_packetType == kModEx) {
        // Each prefix: its size less one (8 bits; 255 says 16 bits follow),
        // its data, then its type and the next packet type in one byte.
        const int64_t start = view.Position();
        if (start < 0) {
            PushSystemError(L"ModEx読み込み時にファイル位置取得エラーが発生しました。",
                            view.LastError());
            return false;
        }
        while (m_packetType == kModEx) {
            uint8_t sizeByte = 0;
            uint8_t wide[2] = {};
            if (!ReadHeader(view, &sizeByte, 1)) return false;
            uint32_t size = uint32_t(sizeByte) + 1;
            if (size == 256) {
                if (!ReadHeader(view, wide, 2)) return false;
                size = uint32_t(flvbytes::ReadBE16(wide)) + 1;
            }
            uint8_t data[3] = {};
            const int64_t at = view.Position();
            if (at < 0 || at > view.End() || uint64_t(view.End() - at) < size + 1u) {
                PushError(L"ModExデータがタグの終わりを越えています。");
                return false;
            }
            if (size >= 3 && !ReadHeader(view, data, 3)) return false;
            if (!view.SeekTo(at + int64_t(size))) {
                PushSystemError(L"ModEx読み込み時にファイルSEEKエラーが発生しました。",
                                view.LastError());
                return false;
            }
            uint8_t typeByte = 0;
            if (!ReadHeader(view, &typeByte, 1)) return false;
            // ModEx type 0: the timestamp's offset in nanoseconds.
            if ((typeByte >> 4) == 0 && size >= 3) m_nanoOffset = flvbytes::ReadBE24(data);
            m_packetType = typeByte & 0x0F;
        }
        const int64_t after = view.Position();
        if (after < 0) {
            PushSystemError(L"ModEx読み込み時にファイル位置取得エラーが発生しました。",
                            view.LastError());
            return false;
        }
        m_prefix = std::make_unique<CFlvRawData>(source, uint64_t(start), uint64_t(after - start));
    }
    m_headerLength = 0;
    if (m_packetType != kMetadata && GetFrameType() == kFrameTypeCommand) {
        if (!ReadHeader(view, m_headerBytes, 1)) return false;
        m_headerLength = 1;
        return LoadRawData(source, view);
    }
    if (m_packetType == kMultitrack) {
        if (!ReadHeader(view, m_headerBytes, 1)) return false;
        m_headerLength = 1;
        m_multitrackType = m_headerBytes[0] >> 4;
        m_packetType = m_headerBytes[0] & 0x0F;
        if (m_multitrackType == 2) return LoadRawData(source, view);
    }
    if (!ReadHeader(view, m_headerBytes + m_headerLength, 4)) return false;
    m_fourCC = flvbytes::ReadBE32(m_headerBytes + m_headerLength);
    m_headerLength += 4;
    const flvcodec::VideoCodecInfo* codec = flvcodec::FindVideoCodec(m_fourCC);
    if (m_multitrackType == kNoMultitrack && m_packetType == kCodedFrames && codec != nullptr &&
        codec->compositionTime) {
        if (!ReadHeader(view, m_headerBytes + m_headerLength, 3)) return false;
        m_headerLength += 3;
    }
    return LoadRawData(source, view);
}

bool CFlvVideoPacketEnhanced::Save(CFlvStream* output) {
    if (m_prefix && !m_prefix->Save(output)) {
        PushError(L"ModExデータ出力中にエラーが発生しました。", L"", m_prefix.get());
        return false;
    }
    return CFlvVideoPacket::Save(output);
}

const uint8_t* CFlvVideoPacketEnhanced::GetHeaderBytes(uint32_t& count) {
    count = m_headerLength;
    return m_headerBytes;
}

uint8_t CFlvVideoPacketEnhanced::GetRole() const {
    if (GetFrameType() == kFrameTypeCommand && m_packetType != kMetadata) {
        return flvcodec::kPacketOther;
    }
    switch (m_packetType) {
        case kSequenceStart:
            return flvcodec::kPacketConfig;
        case kCodedFrames:
        case kCodedFramesX:
            return flvcodec::kPacketFrame;
        case kSequenceEnd:
            return flvcodec::kPacketEndOfSequence;
        default:
            return flvcodec::kPacketOther;
    }
}

int32_t CFlvVideoPacketEnhanced::GetCompositionTime() const {
    if (m_multitrackType != kNoMultitrack || m_packetType != kCodedFrames || m_headerLength != 7) {
        return 0;
    }
    const uint32_t raw = flvbytes::ReadBE24(m_headerBytes + 4);
    return (raw & 0x800000) != 0 ? int32_t(raw) - 0x1000000 : int32_t(raw);
}

bool CFlvVideoPacketEnhanced::MakeFromClassic(uint8_t frameType, uint8_t classicPacketType,
                                              int32_t compositionTime,
                                              std::unique_ptr<CFlvRawData> raw,
                                              uint8_t* firstByte) {
    m_fourCC = flvcodec::kFourCCHevc;
    flvbytes::WriteBE32(m_headerBytes, m_fourCC);
    m_headerLength = 4;
    switch (classicPacketType) {
        case flvcodec::kPacketConfig:
            m_packetType = kSequenceStart;
            break;
        case flvcodec::kPacketEndOfSequence:
            m_packetType = kSequenceEnd;
            break;
        case flvcodec::kPacketFrame:
            // Without a composition time the shorter form says so.
            m_packetType = compositionTime == 0 ? kCodedFramesX : kCodedFrames;
            if (compositionTime != 0) {
                flvbytes::WriteBE24(m_headerBytes + 4, uint32_t(compositionTime) & 0xFFFFFF);
                m_headerLength = 7;
            }
            break;
        default:
            return false;
    }
    m_firstByte = uint8_t(0x80 | ((frameType & 7) << 4) | m_packetType);
    *firstByte = m_firstByte;
    m_prefix.reset();
    m_rawData = std::move(raw);
    return true;
}

CFlvStream* CFlvVideoPacket::GetSourceEnd(uint64_t* end) const {
    return m_rawData ? m_rawData->GetSourceEnd(end) : nullptr;
}
