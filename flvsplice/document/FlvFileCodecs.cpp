#include <algorithm>
#include <cstdio>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvStream.h"

// The codecs' own data, for documents opened with the modern codecs: decoder
// configurations and which key frames decode on their own.

namespace {

// A configuration record larger than this is not one.
constexpr uint64_t kConfigLimit = 1 << 20;

CFlvVideoPacketAvc* AvcPacket(const CFlvTag* tag) {
    if (tag->m_tagType != CFlvTag::kVideo) return nullptr;
    auto* video = static_cast<CFlvVideoData*>(tag->m_payload.get());
    return video != nullptr ? dynamic_cast<CFlvVideoPacketAvc*>(video->m_packet.get()) : nullptr;
}

CFlvAudioData* AudioOf(const CFlvTag* tag) {
    return tag->m_tagType == CFlvTag::kAudio ? static_cast<CFlvAudioData*>(tag->m_payload.get())
                                             : nullptr;
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

bool CFlvFile::AnalyzeCodecs() {
    // Loading decided IDR pictures with 4-byte NAL unit lengths; a stream
    // whose configuration says otherwise is read again.
    unsigned lengthSize = 4;
    for (CFlvTag* tag : m_tags) {
        if (tag->IsFrame()) {
            if (lengthSize == 4 || !tag->IsKeyFrame()) continue;
            CFlvVideoPacketAvc* avc = AvcPacket(tag);
            bool idr = false;
            if (avc != nullptr && !avc->FindIdr(lengthSize, &idr)) {
                PushError(L"映像フレームの解析時にエラーが発生しました。", L"", avc);
                return false;
            }
            if (avc != nullptr) tag->SetDecodesAlone(idr);
            continue;
        }
        auto config = std::make_shared<FlvDecoderConfig>();
        if (CFlvVideoPacketAvc* avc = AvcPacket(tag)) {
            if (avc->GetPacketType() != flvcodec::kPacketConfig) continue;
            config->video = true;
            config->codec = flvcodec::kVideoAvc;
            if (!ReadSourceBytes(avc->m_rawData.get(), 0, kConfigLimit, config->bytes)) {
                return false;
            }
            flvcodec::ParseAvcDecoderConfig(config->bytes.data(), config->bytes.size(),
                                            config->avc);
            lengthSize = config->avc.valid ? config->avc.nalLengthSize : 4;
        } else if (CFlvAudioData* audio = AudioOf(tag)) {
            if (audio->m_packetType != 0 || audio->GetSoundFormat() != flvcodec::kSoundAac) {
                continue;
            }
            config->codec = flvcodec::kSoundAac;
            if (!ReadSourceBytes(audio->m_rawData.get(), 1, kConfigLimit, config->bytes)) {
                return false;
            }
            flvcodec::ParseAudioSpecificConfig(config->bytes.data(), config->bytes.size(),
                                               config->aac);
        } else {
            continue;
        }
        m_configs[tag] = std::move(config);
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
