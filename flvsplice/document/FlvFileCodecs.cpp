#include <algorithm>
#include <cstdio>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvStream.h"

// The codecs' own data, for documents opened with the modern codecs: decoder
// configurations and which key frames decode on their own.

namespace {

// A configuration record larger than this is not one.
constexpr uint64_t kConfigLimit = 1 << 20;
// The bytes of a frame read for its headers (OBUs, the VP9 uncompressed
// header): a sequence header comes first in its frame.
constexpr uint64_t kFrameHeadLimit = 1 << 16;

CFlvVideoData* VideoOf(const CFlvTag* tag) {
    return tag->m_tagType == CFlvTag::kVideo ? static_cast<CFlvVideoData*>(tag->m_payload.get())
                                             : nullptr;
}

CFlvAudioData* AudioOf(const CFlvTag* tag) {
    return tag->m_tagType == CFlvTag::kAudio ? static_cast<CFlvAudioData*>(tag->m_payload.get())
                                             : nullptr;
}

// Walks the tracks of a multitrack tag's body: for many tracks of many
// codecs each track starts with its FourCC; then the track id, and unless
// there is one track, the 24-bit size of the track's data.
void ListTracks(const std::vector<uint8_t>& body, uint8_t multitrackType, uint32_t fourCC,
                bool video, std::vector<FlvTrack>& tracks) {
    size_t at = 0;
    while (at < body.size()) {
        uint32_t codec = fourCC;
        if (multitrackType == 2) {
            if (body.size() - at < 4) return;
            codec = flvbytes::ReadBE32(body.data() + at);
            at += 4;
        }
        if (at >= body.size()) return;
        const uint8_t id = body[at++];
        const bool known = std::any_of(tracks.begin(), tracks.end(), [&](const FlvTrack& track) {
            return track.video == video && track.id == id;
        });
        if (!known) tracks.push_back({video, id, codec});
        if (multitrackType == 0) return;
        if (body.size() - at < 3) return;
        const size_t size = flvbytes::ReadBE24(body.data() + at);
        at += 3;
        if (body.size() - at < size) return;
        at += size;
    }
}

}  // namespace

bool CFlvFile::ReadSourceBytes(CFlvRawData* raw, uint64_t skip, uint64_t limit,
                               std::vector<uint8_t>& out) {
    out.clear();
    if (raw == nullptr || raw->m_size <= skip) return true;
    const uint64_t size = std::min(raw->m_size - skip, limit);
    out.resize(size);
    if (!m_file->Seek(static_cast<int64_t>(raw->m_offset + skip), SEEK_SET) ||
        m_file->Read(out.data(), size) != size) {
        PushSystemError(L"デコーダ設定の読み込み時にファイルREADエラーが発生しました。",
                        m_file->LastError());
        return false;
    }
    return true;
}

bool CFlvFile::ParseVideoConfig(CFlvVideoPacketTyped* packet, uint32_t codec,
                                FlvDecoderConfig& config) {
    config.video = true;
    config.codec = codec;
    if (!ReadSourceBytes(packet->m_rawData.get(), 0, kConfigLimit, config.bytes)) return false;
    const uint8_t* data = config.bytes.data();
    const size_t size = config.bytes.size();
    if (flvcodec::IsAvc(codec)) {
        flvcodec::ParseAvcDecoderConfig(data, size, config.avc);
        config.width = config.avc.width;
        config.height = config.avc.height;
    } else if (flvcodec::IsHevc(codec)) {
        flvcodec::ParseHevcDecoderConfig(data, size, config.hevc);
        config.width = config.hevc.width;
        config.height = config.hevc.height;
    } else if (codec == flvcodec::kFourCCAv1) {
        flvcodec::ParseAv1DecoderConfig(data, size, config.av1);
        config.width = config.av1.width;
        config.height = config.av1.height;
    } else if (codec == flvcodec::kFourCCVp9) {
        flvcodec::ParseVp9DecoderConfig(data, size, config.vp9);
    }
    return true;
}

bool CFlvFile::AnalyzeCodecs() {
    FlvDecoderConfig* video = nullptr;
    std::vector<uint8_t> bytes;
    for (CFlvTag* tag : m_tags) {
        if (CFlvVideoData* data = VideoOf(tag)) {
            CFlvVideoPacketTyped* packet = data->TypedPacket();
            if (packet == nullptr) continue;
            const CFlvVideoPacketEnhanced* enhanced = data->EnhancedPacket();
            if (enhanced != nullptr &&
                enhanced->m_multitrackType != CFlvVideoPacketEnhanced::kNoMultitrack) {
                if (!ReadSourceBytes(packet->m_rawData.get(), 0, kConfigLimit, bytes)) return false;
                ListTracks(bytes, enhanced->m_multitrackType, enhanced->m_fourCC, true, m_tracks);
                continue;
            }
            const uint32_t codec = data->GetCodecKey();
            const flvcodec::VideoCodecInfo* info = flvcodec::FindVideoCodec(codec);
            if (packet->GetRole() == flvcodec::kPacketConfig) {
                auto config = std::make_shared<FlvDecoderConfig>();
                if (!ParseVideoConfig(packet, codec, *config)) return false;
                video = config.get();
                m_configs[tag] = std::move(config);
                continue;
            }
            if (!tag->IsFrame() || !tag->IsKeyFrame() || info == nullptr) continue;
            if (info->keyFrame == flvcodec::KeyFrame::Idr ||
                info->keyFrame == flvcodec::KeyFrame::HevcIdr) {
                // Only an IDR picture decodes on its own.
                const unsigned lengthSize =
                    video != nullptr && video->codec == codec ? video->NalLengthSize() : 4;
                bool idr = false;
                if (!packet->FindIdr(lengthSize, info->keyFrame == flvcodec::KeyFrame::HevcIdr,
                                     &idr)) {
                    PushError(L"映像フレームの解析時にエラーが発生しました。", L"", packet);
                    return false;
                }
                tag->SetDecodesAlone(idr);
            } else if (info->keyFrame == flvcodec::KeyFrame::Av1SequenceKey ||
                       info->size == flvcodec::PictureSize::KeyFrame) {
                if (!ReadSourceBytes(packet->m_rawData.get(), 0, kFrameHeadLimit, bytes)) {
                    return false;
                }
                FlvDecoderConfig* config =
                    video != nullptr && video->codec == codec ? video : nullptr;
                if (codec == flvcodec::kFourCCAv1) {
                    // A key frame decodes alone with its sequence header.
                    flvcodec::Av1Config found;
                    const bool header =
                        flvcodec::FindAv1SequenceHeader(bytes.data(), bytes.size(), found);
                    // or with the one of the configuration in force, which
                    // a cut and the exports put in front of it.
                    tag->SetDecodesAlone(header || (config != nullptr && config->av1.width != 0));
                    if (config != nullptr && config->width == 0 && found.width != 0) {
                        config->width = found.width;
                        config->height = found.height;
                    }
                } else if (config != nullptr && config->width == 0) {
                    flvcodec::ParseVp9KeyFrameSize(bytes.data(), bytes.size(), config->width,
                                                   config->height);
                }
            }
        } else if (CFlvAudioData* audio = AudioOf(tag)) {
            if (audio->IsEnhanced() && audio->m_multitrackType != CFlvAudioData::kNoPacketType) {
                if (!ReadSourceBytes(audio->m_rawData.get(), audio->m_bodyOffset, kConfigLimit,
                                     bytes)) {
                    return false;
                }
                ListTracks(bytes, audio->m_multitrackType, audio->m_fourCC, false, m_tracks);
                continue;
            }
            if (audio->m_packetType != 0) continue;
            const uint32_t format = audio->GetFormatKey();
            if (format != flvcodec::kSoundAac && !audio->IsEnhanced()) continue;
            auto config = std::make_shared<FlvDecoderConfig>();
            config->codec = format;
            if (!ReadSourceBytes(audio->m_rawData.get(), audio->m_bodyOffset, kConfigLimit,
                                 config->bytes)) {
                return false;
            }
            if (format == flvcodec::kSoundAac || format == flvcodec::kFourCCAac) {
                flvcodec::ParseAudioSpecificConfig(config->bytes.data(), config->bytes.size(),
                                                   config->aac);
            } else if (format == flvcodec::kFourCCOpus) {
                flvcodec::ParseOpusHead(config->bytes.data(), config->bytes.size(), config->opus);
            }
            m_configs[tag] = std::move(config);
        }
    }
    return true;
}

const FlvDecoderConfig* CFlvFile::GetDecoderConfig(const CFlvTag* tag) const {
    const auto found = m_configs.find(tag);
    return found != m_configs.end() ? found->second.get() : nullptr;
}

const FlvDecoderConfig* CFlvFile::FirstDecoderConfig(bool video) const {
    for (const CFlvTag* tag : video ? m_videoTags : m_audioTags) {
        if (const FlvDecoderConfig* config = GetDecoderConfig(tag)) return config;
    }
    return nullptr;
}

bool CFlvFile::IsCutPoint(const CFlvTag* tag) const {
    if (!m_options.modernCodecs) return tag->IsKeyFrame();
    return tag->IsFrame() && tag->DecodesAlone();
}

CFlvTag* CFlvFile::ConfigTagBefore(size_t at, bool video) const {
    const uint8_t type = video ? CFlvTag::kVideo : CFlvTag::kAudio;
    for (size_t i = std::min(at, m_tags.size()); i-- > 0;) {
        CFlvTag* tag = m_tags[i];
        if (tag->m_tagType == type && m_configs.count(tag) != 0) return tag;
    }
    return nullptr;
}

int CFlvFile::ConvertToEnhanced() {
    if (!IsReady()) return RefuseNotOpen();
    std::vector<CFlvTag*> classic;
    for (CFlvTag* tag : m_videoTags) {
        const CFlvVideoData* video = VideoOf(tag);
        if (video->IsEnhanced() || video->GetCodecId() != flvcodec::kVideoHevc12) continue;
        const auto* packet = dynamic_cast<const CFlvVideoPacketAvc*>(video->m_packet.get());
        if (packet == nullptr || packet->GetRole() == flvcodec::kPacketOther) {
            PushError(L"拡張FLVで表せないHEVCパケットがあるため変換できません。");
            return FlvResult::ExportRefused;
        }
        classic.push_back(tag);
    }
    if (classic.empty()) return FlvResult::Success;
    if (m_tagSources.size() > 1) {
        PushError(L"結合したFLVファイルは拡張FLVに変換できません。");
        return FlvResult::ExportRefused;
    }
    CFlvElementPool::Scope scope(&m_pool);
    for (CFlvTag* tag : classic) {
        auto* video = VideoOf(tag);
        auto* packet = static_cast<CFlvVideoPacketAvc*>(video->m_packet.get());
        auto enhanced = std::make_unique<CFlvVideoPacketEnhanced>();
        uint8_t first = 0;
        enhanced->MakeFromClassic(video->GetFrameType(), packet->GetPacketType(),
                                  packet->GetCompositionTime(), std::move(packet->m_rawData),
                                  &first);
        uint32_t header = 0;
        enhanced->GetHeaderBytes(header);
        const uint64_t raw = enhanced->m_rawData ? enhanced->m_rawData->m_size : 0;
        video->m_header = first;
        video->m_enhanced = true;
        video->m_packet = std::move(enhanced);
        tag->SetDataSize(uint32_t(1 + header + raw));
        if (const auto found = m_configs.find(tag); found != m_configs.end()) {
            auto config = std::make_shared<FlvDecoderConfig>(*found->second);
            config->codec = flvcodec::kFourCCHevc;
            found->second = std::move(config);
        }
    }
    ReparseFlvData();
    return FlvResult::Success;
}
