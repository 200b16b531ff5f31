#include "flvsplice/flv/FlvHeader.h"

#include <cstring>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/platform/FlvStream.h"

CFlvHeader::CFlvHeader() = default;
CFlvHeader::~CFlvHeader() = default;

uint32_t CFlvHeader::GetDataOffset() const { return flvbytes::ReadBE32(m_dataOffset); }

bool CFlvHeader::Load(CFlvStream* source, int64_t) {
    uint8_t bytes[kStandardSize];
    if (source->Read(bytes, kStandardSize) != kStandardSize) {
        PushSystemError(L"FLVヘッダ読み込み時にファイル読み込みエラーが発生しました。",
                        source->LastError());
        return false;
    }
    std::memcpy(m_signature, bytes, 3);
    m_version = bytes[3];
    m_flags = bytes[4];
    std::memcpy(m_dataOffset, bytes + 5, 4);

    const uint32_t dataOffset = GetDataOffset();
    if (dataOffset < kStandardSize) {
        // The tag stream cannot start inside the standard header.
        PushError(L"FLVヘッダのデータオフセットが不正です。");
        return false;
    }
    m_extraSize = dataOffset - kStandardSize;
    if (m_extraSize == 0) return true;

    // Allocate only what the file can still hold.
    const int64_t size = source->Size();
    const int64_t at = source->Tell();
    if (size < 0 || at < 0 || size - at < static_cast<int64_t>(m_extraSize)) {
        PushSystemError(L"未知のFLVヘッダ読み込み時にファイル読み込みエラーが発生しました。",
                        source->LastError());
        return false;
    }
    m_extraHeader = std::make_unique<uint8_t[]>(m_extraSize);
    if (source->Read(m_extraHeader.get(), m_extraSize) != m_extraSize) {
        PushSystemError(L"未知のFLVヘッダ読み込み時にファイル読み込みエラーが発生しました。",
                        source->LastError());
        return false;
    }
    return true;
}

bool CFlvHeader::Save(CFlvStream* output) {
    uint8_t bytes[kStandardSize];
    std::memcpy(bytes, m_signature, 3);
    bytes[3] = m_version;
    bytes[4] = m_flags;
    std::memcpy(bytes + 5, m_dataOffset, 4);
    if (output->Write(bytes, kStandardSize) != kStandardSize) {
        PushSystemError(L"FLVヘッダ出力時にエラーが発生しました。", output->LastError());
        return false;
    }
    if (m_extraSize > 0 && output->Write(m_extraHeader.get(), m_extraSize) != m_extraSize) {
        PushSystemError(L"未知のFLVヘッダ出力時にエラーが発生しました。", output->LastError());
        return false;
    }
    return true;
}
