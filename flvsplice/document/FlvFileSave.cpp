#include <cstdint>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvStream.h"

// Writes the document as a new FLV file: header, a first PreviousTagSize of 0,
// the generated onMetaData tag, then every tag of the working list, each
// followed by its PreviousTagSize.
int CFlvFile::SaveAs(const std::wstring& path, CFlvProcess* process) {
    if (!IsReady()) return RefuseNotOpen();

    int error = 0;
    std::unique_ptr<CFlvStream> output = CFlvStream::CreateExclusive(path, &error);
    if (!output) {
        PushSystemError(L"FLVファイル作成時にエラーが発生しました。", error);
        return FlvResult::CreateFailed;
    }

    int result = FlvResult::Success;
    const uint8_t zero[4] = {};
    if (!m_flvHeader->Save(output.get())) {
        PushError(L"FLVヘッダ出力時にエラーが発生しました。", L"", m_flvHeader.get());
        result = FlvResult::HeaderSaveFailed;
    } else if (output->Write(zero, 4) != 4) {
        PushSystemError(L"先頭のPreviousTagSize出力時にエラーが発生しました。",
                        output->LastError());
        result = FlvResult::TagSizeSaveFailed;
    } else if (!m_metaData->Save(output.get())) {
        PushError(L"FLVメタデータ出力時にエラーが発生しました。", L"", m_metaData.get());
        result = FlvResult::MetaDataSaveFailed;
    } else {
        for (size_t i = 0; i < m_tags.size(); ++i) {
            CFlvTag* tag = m_tags[i];
            if (!tag->Save(output.get())) {
                PushError(L"FLVタグ出力時にエラーが発生しました。", L"", tag);
                result = FlvResult::TagSaveFailed;
                break;
            }
            uint8_t previousTagSize[4];
            flvbytes::WriteBE32(previousTagSize, tag->GetDataSize() + CFlvTag::kHeaderSize);
            if (output->Write(previousTagSize, 4) != 4) {
                PushSystemError(L"PreviousTagSize出力時にエラーが発生しました。",
                                output->LastError());
                result = FlvResult::TagSizeSaveFailed;
                break;
            }
            if (process != nullptr &&
                process->ReportProgress(static_cast<int>(i), static_cast<int>(m_tags.size()))) {
                break;
            }
        }
    }

    // What is still buffered reaches the file only now: a failure here means
    // the output is incomplete, whatever the steps above said.
    if (!output->Close() && result == FlvResult::Success) {
        PushSystemError(L"FLVファイルの書き込みを完了できませんでした。", output->LastError());
        result = FlvResult::OutputIncomplete;
    }
    return result;
}
