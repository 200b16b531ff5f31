#include <vector>

#include "flvsplice/document/FlvFile.h"

// Writes the audio stream alone: the bytes after the header byte of every
// audio payload, one after another, with nothing around them.
int CFlvFile::SaveAudio(const std::wstring& path, CFlvProcess* process) {
    if (!IsReady()) return RefuseNotOpen();

    CFlvOutputFile output;
    int error = 0;
    if (!output.Create(path, &error)) {
        PushSystemError(L"FLVファイル作成時にエラーが発生しました。", error);
        return FlvResult::OpenFailed;
    }

    int result = FlvResult::Success;
    std::vector<uint8_t> buffer;
    for (size_t i = 0; i < m_tags.size(); ++i) {
        CFlvTag* tag = m_tags[i];
        auto* audio = tag->m_tagType == CFlvTag::kAudio
                          ? dynamic_cast<CFlvAudioData*>(tag->m_payload.get())
                          : nullptr;
        if (audio != nullptr && audio->m_rawData && audio->m_rawData->m_size > 0) {
            buffer.resize(audio->m_rawData->m_size);
            if (!audio->m_rawData->ReadToBuffer(buffer.data(), buffer.size())) {
                result = FlvResult::ReadFailed;
                break;
            }
            output.Write(buffer.data(), buffer.size());
        }
        if (process != nullptr &&
            process->ReportProgress(static_cast<int>(i), static_cast<int>(m_tags.size()))) {
            break;
        }
    }
    output.Close();
    return result;
}
