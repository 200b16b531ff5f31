#include <vector>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/document/FlvFile.h"

// The elementary-stream exports of the modern codecs: AAC as ADTS and H.264
// as an Annex B byte stream, the forms every decoder and player reads alone.

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

}  // namespace

int CFlvFile::SaveAudioAdts(const std::wstring& path, CFlvProcess* process) {
    return WriteElementaryStream(path, process, false);
}

int CFlvFile::SaveVideoAnnexB(const std::wstring& path, CFlvProcess* process) {
    return WriteElementaryStream(path, process, true);
}

int CFlvFile::WriteElementaryStream(const std::wstring& path, CFlvProcess* process, bool video) {
    if (!IsReady()) return RefuseNotOpen();
    const std::vector<CFlvTag*>& stream = video ? m_videoTags : m_audioTags;

    // Everything that could refuse the export is checked before the file is
    // made: the codec, and a configuration in force for every frame that the
    // form can express.
    const wchar_t* refusal = nullptr;
    if (stream.empty()) {
        refusal = video ? L"映像データが無いため、映像ストリームを出力できません。"
                        : L"音声データが無いため、音声ストリームを出力できません。";
    } else if (!m_options.modernCodecs ||
               (video ? m_metaData->m_videoCodecId != flvcodec::kVideoAvc
                      : m_metaData->m_audioCodecId != flvcodec::kSoundAac)) {
        refusal = video ? L"H.264以外の映像はAnnex B形式で出力できません。"
                        : L"AAC以外の音声はADTS形式で出力できません。";
    } else {
        const FlvDecoderConfig* current = nullptr;
        uint8_t scratch[7];
        for (const CFlvTag* tag : stream) {
            if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) {
                current = config;
                if (!video && !flvcodec::MakeAdtsHeader(config->aac, 0, scratch)) {
                    refusal =
                        L"このAAC設定（オブジェクトタイプ、周波数、チャンネル構成、"
                        L"960サンプルフレーム）はADTSで表せません。";
                    break;
                }
            } else if (tag->IsFrame() && current == nullptr) {
                refusal = video ? L"最初の映像フレームの前にAVCデコーダ設定がありません。"
                                : L"最初の音声フレームの前にAACデコーダ設定がありません。";
                break;
            }
        }
    }
    if (refusal != nullptr) {
        PushError(refusal);
        return FlvResult::ExportRefused;
    }

    CFlvOutputFile output;
    int error = 0;
    if (!output.Create(path, &error)) {
        PushSystemError(L"FLVファイル作成時にエラーが発生しました。", error);
        return FlvResult::OpenFailed;
    }
    int result = FlvResult::Success;
    const FlvDecoderConfig* current = nullptr;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < stream.size(); ++i) {
        const CFlvTag* tag = stream[i];
        if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) {
            current = config;
        } else if (tag->IsFrame()) {
            CFlvRawData* raw = nullptr;
            if (video) {
                const auto* data = static_cast<const CFlvVideoData*>(tag->m_payload.get());
                raw = data->m_packet ? data->m_packet->m_rawData.get() : nullptr;
            } else {
                raw = static_cast<const CFlvAudioData*>(tag->m_payload.get())->m_rawData.get();
            }
            // AAC's raw data starts with its packet type.
            const uint64_t skip = video ? 0 : 1;
            if (!ReadSourceBytes(raw, skip, UINT64_MAX, frame)) {
                result = FlvResult::ReadFailed;
                break;
            }
            out.clear();
            if (video) {
                if (tag->DecodesAlone()) {
                    for (const auto* sets : {&current->avc.sps, &current->avc.pps}) {
                        for (const std::vector<uint8_t>& set : *sets) {
                            out.insert(out.end(), kStartCode, kStartCode + 4);
                            out.insert(out.end(), set.begin(), set.end());
                        }
                    }
                }
                // A frame whose NAL unit lengths do not fit its payload keeps
                // the units that do.
                flvcodec::AppendAnnexB(frame.data(), frame.size(), current->avc.nalLengthSize, out);
            } else if (!frame.empty()) {
                uint8_t header[7];
                if (flvcodec::MakeAdtsHeader(current->aac, frame.size(), header)) {
                    out.assign(header, header + sizeof header);
                    out.insert(out.end(), frame.begin(), frame.end());
                }
            }
            if (!out.empty()) output.Write(out.data(), out.size());
        }
        if (process != nullptr &&
            process->ReportProgress(static_cast<int>(i), static_cast<int>(stream.size()))) {
            break;
        }
    }
    output.Close();
    return result;
}
