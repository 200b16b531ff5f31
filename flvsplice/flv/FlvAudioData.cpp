#include "flvsplice/flv/FlvAudioData.h"

#include "flvsplice/codec/FlvCodecTable.h"
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
    if (modernCodecs && flvcodec::GetAudioFormat(GetSoundFormat()).packetTypes && start < end &&
        !view.Read(&m_packetType, 1)) {
        PushSystemError(L"音声パケット種別読み込み時にファイルREADエラーが発生しました。",
                        view.LastError());
        return false;
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
