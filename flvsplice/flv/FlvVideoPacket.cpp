#include "flvsplice/flv/FlvVideoPacket.h"

#include <cstdio>

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

// H.264/AVC

CFlvVideoPacketAvc::~CFlvVideoPacketAvc() = default;

bool CFlvVideoPacketAvc::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    return ReadHeader(view, m_headerBytes, sizeof m_headerBytes) && LoadRawData(source, view);
}

int32_t CFlvVideoPacketAvc::GetCompositionTime() const {
    const uint32_t raw = flvbytes::ReadBE24(m_headerBytes + 1);
    return (raw & 0x800000) != 0 ? int32_t(raw) - 0x1000000 : int32_t(raw);
}

bool CFlvVideoPacketAvc::FindIdr(unsigned lengthSize, bool* idr) {
    constexpr uint8_t kNalSlice = 1;
    constexpr uint8_t kNalIdr = 5;
    *idr = false;
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
        const uint8_t type = head[lengthSize] & 0x1F;
        if (type == kNalIdr) *idr = true;
        // A unit that would run past the frame ends the search.
        if (type == kNalIdr || type == kNalSlice || length == 0 ||
            length > size - at - lengthSize) {
            break;
        }
        at += lengthSize + length;
    }
    return true;
}

const uint8_t* CFlvVideoPacketAvc::GetHeaderBytes(uint32_t& count) {
    count = sizeof m_headerBytes;
    return m_headerBytes;
}

CFlvStream* CFlvVideoPacket::GetSourceEnd(uint64_t* end) const {
    return m_rawData ? m_rawData->GetSourceEnd(end) : nullptr;
}
