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
    return WriteFlv(output.get(), m_metaData.get(), process);
}

int CFlvFile::WriteFlv(CFlvStream* output, CFlvData* metaData, CFlvProcess* process) {
    int result = FlvResult::Success;
    const uint8_t zero[4] = {};
    if (!m_flvHeader->Save(output)) {
        PushError(L"FLVヘッダ出力時にエラーが発生しました。", L"", m_flvHeader.get());
        result = FlvResult::HeaderSaveFailed;
    } else if (output->Write(zero, 4) != 4) {
        PushSystemError(L"先頭のPreviousTagSize出力時にエラーが発生しました。",
                        output->LastError());
        result = FlvResult::TagSizeSaveFailed;
    } else if (!metaData->Save(output)) {
        PushError(L"FLVメタデータ出力時にエラーが発生しました。", L"", metaData);
        result = FlvResult::MetaDataSaveFailed;
    } else {
        for (size_t i = 0; i < m_tags.size(); ++i) {
            result = WriteTag(output, m_tags[i]);
            if (result != FlvResult::Success) break;
            if (process != nullptr &&
                process->ReportProgress(static_cast<int>(i), static_cast<int>(m_tags.size()))) {
                break;
            }
        }
    }

    // What is still buffered or pending reaches the file only now: a failure
    // here means the output is incomplete, whatever the steps above said.
    if (!output->Close() && result == FlvResult::Success) {
        PushSystemError(L"FLVファイルの書き込みを完了できませんでした。", output->LastError());
        result = FlvResult::OutputIncomplete;
    }
    return result;
}

int CFlvFile::WriteTag(CFlvStream* output, CFlvTag* tag) {
    // A tag whose bytes in its file are exactly what it would write is copied
    // from there, and a run of such tags becomes one copy.
    CFlvStream* source = nullptr;
    uint64_t offset = 0;
    uint64_t size = 0;
    if (tag->GetSourceRange(&source, &offset, &size)) {
        if (!output->CopyFrom(source, offset, size)) {
            PushSystemError(L"FLVタグ出力時にエラーが発生しました。", output->LastError());
            return FlvResult::TagSaveFailed;
        }
        return FlvResult::Success;
    }
    if (!tag->Save(output)) {
        PushError(L"FLVタグ出力時にエラーが発生しました。", L"", tag);
        return FlvResult::TagSaveFailed;
    }
    uint8_t previousTagSize[4];
    flvbytes::WriteBE32(previousTagSize, tag->GetDataSize() + CFlvTag::kHeaderSize);
    if (output->Write(previousTagSize, 4) != 4) {
        PushSystemError(L"PreviousTagSize出力時にエラーが発生しました。", output->LastError());
        return FlvResult::TagSizeSaveFailed;
    }
    return FlvResult::Success;
}
