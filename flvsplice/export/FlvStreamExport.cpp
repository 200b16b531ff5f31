#include <algorithm>
#include <vector>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/document/FlvFile.h"

// The elementary-stream exports of the modern codecs: AAC as ADTS, FLAC as a
// FLAC file, AC-3 and E-AC-3 as their frames, H.264 and HEVC as Annex B byte
// streams, AV1 as an OBU stream or IVF, VP9 as IVF: the forms every decoder
// and player reads alone.

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr uint8_t kTemporalDelimiter[2] = {0x12, 0x00};

bool FormTakes(FlvVideoForm form, uint32_t codec) {
    switch (form) {
        case FlvVideoForm::AnnexBAvc:
            return flvcodec::IsAvc(codec);
        case FlvVideoForm::AnnexBHevc:
            return flvcodec::IsHevc(codec);
        case FlvVideoForm::Ivf:
            return codec == flvcodec::kFourCCAv1 || codec == flvcodec::kFourCCVp9;
        case FlvVideoForm::Obu:
            return codec == flvcodec::kFourCCAv1;
    }
    return false;
}

const wchar_t* FormRefusal(FlvVideoForm form) {
    switch (form) {
        case FlvVideoForm::AnnexBAvc:
            return L"H.264以外の映像はAnnex B形式で出力できません。";
        case FlvVideoForm::AnnexBHevc:
            return L"HEVC以外の映像はH.265のAnnex B形式で出力できません。";
        case FlvVideoForm::Ivf:
            return L"AV1とVP9以外の映像はIVF形式で出力できません。";
        case FlvVideoForm::Obu:
            return L"AV1以外の映像はOBUストリームで出力できません。";
    }
    return L"";
}

// The OBUs of an AV1 frame without its temporal delimiters; *header tells
// whether a sequence header is among them. A frame whose OBUs do not parse
// keeps the OBUs that do.
void AppendAv1Frame(const std::vector<uint8_t>& frame, std::vector<uint8_t>& out, bool* header) {
    *header = false;
    flvcodec::Obu obu;
    for (size_t at = 0; flvcodec::ReadObu(frame.data(), frame.size(), at, obu); at = obu.end) {
        if (obu.type == flvcodec::kObuTemporalDelimiter) continue;
        if (obu.type == flvcodec::kObuSequenceHeader) *header = true;
        out.insert(out.end(), frame.begin() + long(obu.start), frame.begin() + long(obu.end));
    }
}

// The start of a FLAC file from the configuration of a 'fLaC' sequence
// start: the 34 bytes of a STREAMINFO alone, or metadata blocks (a
// STREAMINFO first), with or without the marker in front. The last block is
// flagged as the last one, no other is. Empty for anything else.
std::vector<uint8_t> FlacFileHead(const std::vector<uint8_t>& config) {
    constexpr size_t kStreamInfo = 34;
    static const uint8_t kMarker[4] = {'f', 'L', 'a', 'C'};
    std::vector<uint8_t> head(kMarker, kMarker + 4);
    if (config.size() == kStreamInfo) {
        const uint8_t block[4] = {0x80, 0, 0, kStreamInfo};
        head.insert(head.end(), block, block + 4);
        head.insert(head.end(), config.begin(), config.end());
        return head;
    }
    const bool marked = config.size() >= 4 && std::equal(kMarker, kMarker + 4, config.begin());
    head.insert(head.end(), config.begin() + (marked ? 4 : 0), config.end());
    size_t last = 0;
    for (size_t at = 4; at < head.size();) {
        if (head.size() - at < 4) return {};
        const uint32_t length = flvbytes::ReadBE24(head.data() + at + 1);
        if (at == 4 && ((head[at] & 0x7F) != 0 || length != kStreamInfo)) return {};
        if (head.size() - at - 4 < length) return {};
        head[at] &= 0x7F;
        last = at;
        at += 4 + length;
    }
    if (last == 0) return {};
    head[last] |= 0x80;
    return head;
}

}  // namespace

int CFlvFile::BeginExport(const wchar_t* refusal, const std::wstring& path,
                          CFlvOutputFile& output) {
    if (refusal != nullptr) {
        PushError(refusal);
        return FlvResult::ExportRefused;
    }
    int error = 0;
    if (!output.Create(path, &error)) {
        PushSystemError(L"FLVファイル作成時にエラーが発生しました。", error);
        return FlvResult::OpenFailed;
    }
    return FlvResult::Success;
}

int CFlvFile::SaveAudioStream(const std::wstring& path, FlvAudioForm form, CFlvProcess* process) {
    if (!IsReady()) return RefuseNotOpen();
    const std::vector<CFlvTag*>& stream = m_audioTags;
    const uint32_t codec = m_metaData->m_audioCodecId;
    const uint32_t wanted = form == FlvAudioForm::Flac  ? flvcodec::kFourCCFlac
                            : form == FlvAudioForm::Ac3 ? flvcodec::kFourCCAc3
                                                        : flvcodec::kFourCCEac3;
    const wchar_t* refusal = nullptr;
    std::vector<uint8_t> head;
    if (stream.empty()) {
        refusal = L"音声データが無いため、音声ストリームを出力できません。";
    } else if (!m_tracks.empty() &&
               std::any_of(m_tracks.begin(), m_tracks.end(),
                           [](const FlvTrack& track) { return !track.video; })) {
        refusal = L"マルチトラックの音声はストリームとして出力できません。";
    } else if (!m_options.modernCodecs || codec != wanted) {
        refusal = form == FlvAudioForm::Flac ? L"FLAC以外の音声はFLAC形式で出力できません。"
                  : form == FlvAudioForm::Ac3 ? L"AC-3以外の音声はAC-3形式で出力できません。"
                                              : L"E-AC-3以外の音声はE-AC-3形式で出力できません。";
    } else if (form == FlvAudioForm::Flac) {
        // A FLAC file has one STREAMINFO, in front of every frame.
        const FlvDecoderConfig* first = nullptr;
        for (const CFlvTag* tag : stream) {
            if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) {
                if (first == nullptr) {
                    first = config;
                    head = FlacFileHead(config->bytes);
                    if (head.empty()) {
                        refusal = L"FLACのデコーダ設定（STREAMINFO）を読み取れません。";
                        break;
                    }
                } else if (config->bytes != first->bytes) {
                    refusal =
                        L"FLACのSTREAMINFOが途中で変わるため、1つのFLACファイルにできません。";
                    break;
                }
            } else if (tag->IsFrame() && first == nullptr) {
                refusal = L"最初の音声フレームの前にFLACのSTREAMINFOがありません。";
                break;
            }
        }
    }
    CFlvOutputFile output;
    if (const int begun = BeginExport(refusal, path, output); begun != FlvResult::Success) {
        return begun;
    }
    if (!head.empty()) output.Write(head.data(), head.size());
    int result = FlvResult::Success;
    std::vector<uint8_t> frame;
    for (size_t i = 0; i < stream.size(); ++i) {
        const CFlvTag* tag = stream[i];
        if (tag->IsFrame() && GetDecoderConfig(tag) == nullptr) {
            const auto* audio = static_cast<const CFlvAudioData*>(tag->m_payload.get());
            if (!ReadSourceBytes(audio->m_rawData.get(), audio->m_bodyOffset, UINT64_MAX, frame)) {
                result = FlvResult::ReadFailed;
                break;
            }
            if (!frame.empty()) output.Write(frame.data(), frame.size());
        }
        if (process != nullptr &&
            process->ReportProgress(static_cast<int>(i), static_cast<int>(stream.size()))) {
            break;
        }
    }
    output.Close();
    return result;
}

int CFlvFile::SaveAudioAdts(const std::wstring& path, CFlvProcess* process) {
    return WriteElementaryStream(path, process);
}

int CFlvFile::SaveVideoAnnexB(const std::wstring& path, CFlvProcess* process) {
    return SaveVideoStream(path, FlvVideoForm::AnnexBAvc, process);
}

int CFlvFile::SaveVideoStream(const std::wstring& path, FlvVideoForm form, CFlvProcess* process) {
    if (!IsReady()) return RefuseNotOpen();
    const std::vector<CFlvTag*>& stream = m_videoTags;
    const uint32_t codec = m_metaData->m_videoCodecId;
    const wchar_t* refusal = nullptr;
    if (stream.empty()) {
        refusal = L"映像データが無いため、映像ストリームを出力できません。";
    } else if (!m_options.modernCodecs || !FormTakes(form, codec)) {
        refusal = FormRefusal(form);
    } else if (!m_tracks.empty()) {
        refusal = L"マルチトラックの映像はストリームとして出力できません。";
    } else if (form == FlvVideoForm::AnnexBAvc || form == FlvVideoForm::AnnexBHevc) {
        const FlvDecoderConfig* current = nullptr;
        for (const CFlvTag* tag : stream) {
            if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) {
                current = config;
            } else if (tag->IsFrame() && current == nullptr) {
                refusal = L"最初の映像フレームの前にデコーダ設定がありません。";
                break;
            }
        }
    }
    CFlvOutputFile output;
    if (const int begun = BeginExport(refusal, path, output); begun != FlvResult::Success) {
        return begun;
    }
    if (form == FlvVideoForm::Ivf) {
        // 32 bytes: signature, version 0, header size, FourCC, size, time
        // base (milliseconds, as FLV's timestamps), frame count.
        uint32_t frames = 0;
        for (const CFlvTag* tag : stream) frames += tag->IsFrame() ? 1 : 0;
        uint8_t header[32] = {'D', 'K', 'I', 'F'};
        flvbytes::WriteLE16(header + 6, 32);
        const char* fourCC = codec == flvcodec::kFourCCAv1 ? "AV01" : "VP90";
        for (int i = 0; i < 4; ++i) header[8 + i] = uint8_t(fourCC[i]);
        flvbytes::WriteLE16(header + 12, m_metaData->m_width & 0xFFFF);
        flvbytes::WriteLE16(header + 14, m_metaData->m_height & 0xFFFF);
        flvbytes::WriteLE32(header + 16, 1000);
        flvbytes::WriteLE32(header + 20, 1);
        flvbytes::WriteLE32(header + 24, frames);
        output.Write(header, sizeof header);
    }
    int result = FlvResult::Success;
    const FlvDecoderConfig* current = nullptr;
    bool sequenceHeaderSent = false;
    std::vector<uint8_t> frame;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < stream.size(); ++i) {
        const CFlvTag* tag = stream[i];
        if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) {
            current = config;
        } else if (tag->IsFrame()) {
            const auto* data = static_cast<const CFlvVideoData*>(tag->m_payload.get());
            if (!ReadSourceBytes(data->m_packet ? data->m_packet->m_rawData.get() : nullptr, 0,
                                 UINT64_MAX, frame)) {
                result = FlvResult::ReadFailed;
                break;
            }
            out.clear();
            if (form == FlvVideoForm::AnnexBAvc || form == FlvVideoForm::AnnexBHevc) {
                // The parameter sets in force in front of every picture that
                // starts a sequence.
                if (form == FlvVideoForm::AnnexBAvc ? tag->DecodesAlone() : tag->IsKeyFrame()) {
                    const auto& sets = form == FlvVideoForm::AnnexBAvc
                                           ? std::vector{&current->avc.sps, &current->avc.pps}
                                           : std::vector{&current->hevc.nalUnits};
                    for (const auto* list : sets) {
                        for (const std::vector<uint8_t>& set : *list) {
                            out.insert(out.end(), kStartCode, kStartCode + 4);
                            out.insert(out.end(), set.begin(), set.end());
                        }
                    }
                }
                // A frame whose NAL unit lengths do not fit its payload keeps
                // the units that do.
                flvcodec::AppendAnnexB(frame.data(), frame.size(), current->NalLengthSize(), out);
            } else if (codec == flvcodec::kFourCCAv1) {
                // A temporal unit: its delimiter, the sequence header where
                // the frame starts a sequence without one, the frame's OBUs.
                out.assign(kTemporalDelimiter, kTemporalDelimiter + 2);
                const size_t before = out.size();
                bool header = false;
                AppendAv1Frame(frame, out, &header);
                if (!header && current != nullptr && (tag->IsKeyFrame() || !sequenceHeaderSent)) {
                    std::vector<uint8_t> configObus;
                    bool unused = false;
                    AppendAv1Frame(current->av1.configObus, configObus, &unused);
                    out.insert(out.begin() + long(before), configObus.begin(), configObus.end());
                    header = !configObus.empty();
                }
                sequenceHeaderSent = sequenceHeaderSent || header;
            } else {
                out = frame;
            }
            if (form == FlvVideoForm::Ivf) {
                uint8_t header[12];
                flvbytes::WriteLE32(header, uint32_t(out.size()));
                flvbytes::WriteLE32(header + 4, tag->GetTimestamp());
                flvbytes::WriteLE32(header + 8, 0);
                output.Write(header, sizeof header);
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

int CFlvFile::WriteElementaryStream(const std::wstring& path, CFlvProcess* process) {
    if (!IsReady()) return RefuseNotOpen();
    const std::vector<CFlvTag*>& stream = m_audioTags;

    // Everything that could refuse the export is checked before the file is
    // made: the codec, and a configuration in force for every frame that the
    // form can express.
    const wchar_t* refusal = nullptr;
    if (stream.empty()) {
        refusal = L"音声データが無いため、音声ストリームを出力できません。";
    } else if (!m_options.modernCodecs || !m_tracks.empty() ||
               (m_metaData->m_audioCodecId != flvcodec::kSoundAac &&
                m_metaData->m_audioCodecId != flvcodec::kFourCCAac)) {
        refusal = L"AAC以外の音声はADTS形式で出力できません。";
    } else {
        const FlvDecoderConfig* current = nullptr;
        uint8_t scratch[7];
        for (const CFlvTag* tag : stream) {
            if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) {
                current = config;
                if (!flvcodec::MakeAdtsHeader(config->aac, 0, scratch)) {
                    refusal =
                        L"このAAC設定（オブジェクトタイプ、周波数、チャンネル構成、"
                        L"960サンプルフレーム）はADTSで表せません。";
                    break;
                }
            } else if (tag->IsFrame() && current == nullptr) {
                refusal = L"最初の音声フレームの前にAACデコーダ設定がありません。";
                break;
            }
        }
    }
    CFlvOutputFile output;
    if (const int begun = BeginExport(refusal, path, output); begun != FlvResult::Success) {
        return begun;
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
            const auto* audio = static_cast<const CFlvAudioData*>(tag->m_payload.get());
            // The raw data starts with AAC's packet type, or with the
            // enhanced header.
            if (!ReadSourceBytes(audio->m_rawData.get(), audio->m_bodyOffset, UINT64_MAX, frame)) {
                result = FlvResult::ReadFailed;
                break;
            }
            uint8_t header[7];
            if (!frame.empty() && flvcodec::MakeAdtsHeader(current->aac, frame.size(), header)) {
                out.assign(header, header + sizeof header);
                out.insert(out.end(), frame.begin(), frame.end());
                output.Write(out.data(), out.size());
            }
        }
        if (process != nullptr &&
            process->ReportProgress(static_cast<int>(i), static_cast<int>(stream.size()))) {
            break;
        }
    }
    output.Close();
    return result;
}
