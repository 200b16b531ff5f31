#include "flvsplice/flv/FlvAudioData.h"

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/flv/FlvPayloadView.h"
#include "flvsplice/platform/FlvStream.h"

CFlvAudioData::~CFlvAudioData() = default;

bool CFlvAudioData::Load(CFlvStream* source, int64_t end) { return Load(source, end, false); }

bool CFlvAudioData::Load(CFlvStream* source, int64_t end, bool modernCodecs) {
    CFlvPayloadView view(source, end);
    if (!view.Read(&m_header, 1)) {
        PushSystemError(L"音声ヘッダ読み込み時にファイルREADエラーが発生しました。",
                        view.LastError());
        return false;
    }
    const int64_t start = view.Position();
    if (start < 0) {
        PushSystemError(L"音声ヘッダ読み込み時にファイル位置取得エラーが発生しました。",
                        view.LastError());
        return false;
    }
    if (modernCodecs && GetSoundFormat() == flvcodec::kSoundEnhanced) {
        if (!LoadEnhancedHeader(view)) return false;
        const int64_t body = view.Position();
        if (body < 0) {
            PushSystemError(L"音声ヘッダ読み込み時にファイル位置取得エラーが発生しました。",
                            view.LastError());
            return false;
        }
        m_bodyOffset = static_cast<uint32_t>(body - start);
    } else if (modernCodecs && flvcodec::GetAudioFormat(GetSoundFormat()).packetTypes &&
               start < end) {
        if (!view.Read(&m_packetType, 1)) {
            PushSystemError(L"音声パケット種別読み込み時にファイルREADエラーが発生しました。",
                            view.LastError());
            return false;
        }
        m_bodyOffset = 1;
    }
    m_rawData = std::make_unique<CFlvRawData>(source, static_cast<uint64_t>(start),
                                              static_cast<uint64_t>(end - start));
    if (!view.SeekToEnd()) {
        PushSystemError(L"音声ヘッダ読み込み時にファイルSEEKエラーが発生しました。",
                        view.LastError());
        return false;
    }
    return true;
}

bool CFlvAudioData::LoadEnhancedHeader(CFlvPayloadView& view) {
    const wchar_t* const readError =
        L"拡張音声ヘッダ読み込み時にファイルREADエラーが発生しました。";
    uint8_t type = m_header & 0x0F;
    // ModEx prefixes: size less one (8 bits; 255 says 16 bits follow), the
    // data, then the prefix type and the next packet type in one byte.
    while (type == kModEx) {
        uint8_t sizeByte = 0;
        uint8_t wide[2] = {};
        if (!view.Read(&sizeByte, 1)) {
            PushSystemError(readError, view.LastError());
            return false;
        }
        uint32_t size = uint32_t(sizeByte) + 1;
        if (size == 256) {
            if (!view.Read(wide, 2)) {
                PushSystemError(readError, view.LastError());
                return false;
            }
            size = uint32_t(flvbytes::ReadBE16(wide)) + 1;
        }
        const int64_t at = view.Position();
        if (at < 0 || at > view.End() || uint64_t(view.End() - at) < size + 1u) {
            PushError(L"ModExデータがタグの終わりを越えています。");
            return false;
        }
        uint8_t typeByte = 0;
        if (!view.SeekTo(at + int64_t(size)) || !view.Read(&typeByte, 1)) {
            PushSystemError(readError, view.LastError());
            return false;
        }
        type = typeByte & 0x0F;
    }
    if (type == kMultitrack) {
        uint8_t multitrack = 0;
        if (!view.Read(&multitrack, 1)) {
            PushSystemError(readError, view.LastError());
            return false;
        }
        m_multitrackType = multitrack >> 4;
        type = multitrack & 0x0F;
    }
    if (m_multitrackType != 2) {
        uint8_t fourCC[4];
        if (!view.Read(fourCC, 4)) {
            PushSystemError(readError, view.LastError());
            return false;
        }
        m_fourCC = flvbytes::ReadBE32(fourCC);
    }
    m_enhancedType = type;
    m_packetType = type == 0 ? 0 : type == 1 ? 1 : kNotAFrame;
    return true;
}

bool CFlvAudioData::Save(CFlvStream* output) {
    if (output->Write(&m_header, 1) != 1) {
        PushSystemError(L"音声ヘッダ書き込み時にエラーが発生しました。", output->LastError());
        return false;
    }
    if (!m_rawData || !m_rawData->Save(output)) {
        PushError(L"音声データ書き込み時にエラーが発生しました。", L"", m_rawData.get());
        return false;
    }
    return true;
}

CFlvStream* CFlvAudioData::GetSourceEnd(uint64_t* end) const {
    return m_rawData ? m_rawData->GetSourceEnd(end) : nullptr;
}
