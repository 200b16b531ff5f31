#include "flvsplice/flv/FlvScriptDataObject.h"

#include "flvsplice/flv/FlvPayloadView.h"
#include "flvsplice/platform/FlvStream.h"

CFlvScriptDataObject::CFlvScriptDataObject() = default;
CFlvScriptDataObject::~CFlvScriptDataObject() = default;

bool CFlvScriptDataObject::Load(CFlvStream* source, int64_t end) {
    CFlvPayloadView view(source, end);
    const int64_t start = view.Position();
    if (start < 0 || start > end) {
        PushSystemError(
            L"スクリプトデータオブジェクト読み込み時にファイル位置取得エラーが発生しました。",
            view.LastError());
        return false;
    }
    m_rawData = std::make_unique<CFlvRawData>(source, static_cast<uint64_t>(start),
                                              static_cast<uint64_t>(end - start));
    if (!view.SeekToEnd()) {
        PushSystemError(
            L"スクリプトデータオブジェクト読み込み時にファイル位置取得エラーが発生しました。",
            view.LastError());
        return false;
    }
    return true;
}

bool CFlvScriptDataObject::Save(CFlvStream* output) {
    if (!m_rawData || !m_rawData->Save(output)) {
        PushError(L"スクリプトデータオブジェクト出力時にエラーが発生しました。", L"",
                  m_rawData.get());
        return false;
    }
    return true;
}
