#include <vector>

#include "flvsplice/document/FlvFile.h"
#include "flvsplice/export/FlvAviWriter.h"

int CFlvFile::SaveAVI(const std::wstring& path, CFlvProcess* process) {
    return SaveAVI(path, process, CFlvAviWriter::kMaxFileSize);
}

// Writes the video stream into an AVI file, one chunk per video tag. The
// first video tag decides the codec and the picture size.
int CFlvFile::SaveAVI(const std::wstring& path, CFlvProcess* process, uint64_t maxFileSize) {
    if (!IsReady()) return RefuseNotOpen();

    CFlvAviWriter writer;
    std::vector<uint32_t> frameTimes;
    std::vector<uint8_t> buffer;
    int result = FlvResult::Success;
    bool begun = false;
    bool sawVideo = false;
    bool stopped = false;

    for (size_t i = 0; i < m_tags.size(); ++i) {
        CFlvTag* tag = m_tags[i];
        auto* video = tag->m_tagType == CFlvTag::kVideo
                          ? dynamic_cast<CFlvVideoData*>(tag->m_payload.get())
                          : nullptr;
        if (video != nullptr && video->m_packet) {
            sawVideo = true;
            CFlvVideoPacket* packet = video->m_packet.get();
            if (!begun) {
                // Enhanced tags carry a packet type where the codec id was.
                const int codec = video->IsEnhanced() ? -1 : video->GetCodecId();
                if (!CFlvAviWriter::CanWrite(codec)) {
                    result = FlvResult::AviCodecRefused;
                    break;
                }
                const uint32_t height = packet->GetHeight();
                const uint32_t width = packet->GetWidth();
                if (!writer.BeginFile(path, codec, width, height)) {
                    result = FlvResult::AviCreateFailed;
                    break;
                }
                begun = true;
            }
            CFlvRawData* raw = packet->m_rawData.get();
            if (raw != nullptr && raw->m_size > 0) {
                uint32_t headerCount = 0;
                const uint8_t* header = packet->GetHeaderBytes(headerCount);
                const auto dataSize = static_cast<uint32_t>(raw->m_size);
                if (!writer.FrameFits(headerCount, dataSize, maxFileSize)) {
                    PushError(
                        L"AVIファイルのサイズが上限に達したため、以降のフレームを出力できません。");
                    result = FlvResult::AviSizeLimit;
                    break;
                }
                buffer.resize(raw->m_size);
                if (!raw->ReadToBuffer(buffer.data(), buffer.size())) {
                    result = FlvResult::ReadFailed;
                    break;
                }
                writer.WriteFrame(header, headerCount, buffer.data(), dataSize,
                                  video->GetFrameType());
                frameTimes.push_back(tag->GetTimestamp());
            }
        }
        if (process != nullptr &&
            process->ReportProgress(static_cast<int>(i), static_cast<int>(m_tags.size()))) {
            stopped = true;
            break;
        }
    }

    if (begun) {
        writer.FinishFile(frameTimes);
    } else if (!sawVideo && !stopped && result == FlvResult::Success) {
        // Not a failure: there is simply nothing to export. Say so.
        PushError(L"映像データが無いため、AVIファイルは作成されませんでした。");
    }
    return result;
}
