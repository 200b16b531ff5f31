#include "flvsplice/flv/FlvMetaData.h"

#include <cmath>
#include <cstring>
#include <string_view>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/flv/FlvAmf0.h"
#include "flvsplice/flv/FlvAudioData.h"
#include "flvsplice/flv/FlvHeader.h"
#include "flvsplice/flv/FlvMemorySpooler.h"
#include "flvsplice/flv/FlvTag.h"
#include "flvsplice/flv/FlvVideoData.h"
#include "flvsplice/platform/FlvStream.h"

CFlvMetaData::CFlvMetaData() = default;
CFlvMetaData::~CFlvMetaData() = default;

bool CFlvMetaData::Load(CFlvStream*, int64_t) { return true; }

namespace {

struct StreamFigures {
    uint32_t span = 0;   // milliseconds from the first tag to the end of the last
    uint64_t bytes = 0;  // payload bytes, header bytes included
    size_t frames = 0;
};

StreamFigures Measure(const std::vector<CFlvTag*>& tags) {
    StreamFigures figures;
    if (tags.empty()) return figures;
    // From the first frame to the end of the last one: decoder
    // configurations and ends of sequence take no time.
    const CFlvTag* first = nullptr;
    const CFlvTag* last = nullptr;
    for (const CFlvTag* tag : tags) {
        figures.bytes += tag->GetDataSize();
        if (!tag->IsFrame()) continue;
        if (first == nullptr) first = tag;
        last = tag;
        ++figures.frames;
    }
    if (first == nullptr) first = last = tags.front();
    figures.span = last->GetTimestamp() + last->m_duration - first->GetTimestamp();
    return figures;
}

double KilobitsPerSecond(uint64_t bytes, uint32_t spanMs) {
    return (static_cast<double>(bytes * 8) / 1000.0) / (static_cast<double>(spanMs) / 1000.0);
}

}  // namespace

void CFlvMetaData::AnalyzeFlvFile(CFlvHeader* header, const std::vector<CFlvTag*>& audioTags,
                                  const std::vector<CFlvTag*>& videoTags) {
    const bool hasAudio = header != nullptr && header->HasAudio();
    const bool hasVideo = header != nullptr && header->HasVideo();

    if (hasAudio) {
        const auto* audio =
            audioTags.empty()
                ? nullptr
                : dynamic_cast<const CFlvAudioData*>(audioTags.front()->m_payload.get());
        if (audio != nullptr) {
            m_audioCodecId = audio->GetFormatKey();
            m_soundRate = audio->GetSoundRate();
            m_soundSize = audio->GetSoundSize();
            m_soundType = audio->GetSoundType();
        }
        m_width = 320;
        m_height = 240;
    }
    if (hasVideo) {
        for (CFlvTag* tag : videoTags) {
            auto* video = dynamic_cast<CFlvVideoData*>(tag->m_payload.get());
            if (video == nullptr || !video->IsKeyFrame() || video->GetCodecKey() == 0) continue;
            m_videoCodecId = video->GetCodecKey();
            if (video->m_packet) {
                m_width = video->m_packet->GetWidth();
                m_height = video->m_packet->GetHeight();
            }
            break;
        }
    }

    StreamFigures audio;
    StreamFigures video;
    if (hasAudio) {
        audio = Measure(audioTags);
        m_audioDataRate = KilobitsPerSecond(audio.bytes, audio.span);
    }
    if (hasVideo) {
        video = Measure(videoTags);
        m_videoDataRate = KilobitsPerSecond(video.bytes, video.span);
        m_frameRate =
            static_cast<double>(video.frames) / (static_cast<double>(video.span) / 1000.0);
    }
    m_durationSec = static_cast<double>(std::max(audio.span, video.span)) / 1000.0;
    m_flvHeader = header;
}

std::vector<CFlvMetaData::Entry> CFlvMetaData::GetEntries() const {
    const bool hasAudio = m_flvHeader != nullptr && m_flvHeader->HasAudio();
    const bool hasVideo = m_flvHeader != nullptr && m_flvHeader->HasVideo();
    std::vector<Entry> entries;
    if (hasAudio) {
        entries.push_back({"audiocodecid", double(m_audioCodecId)});
        entries.push_back({"audiodatarate", m_audioDataRate});
    }
    if (hasVideo) {
        entries.push_back({"videocodecid", double(m_videoCodecId)});
        entries.push_back({"framerate", m_frameRate});
        entries.push_back({"videodatarate", m_videoDataRate});
    }
    entries.push_back({"height", double(m_height)});
    entries.push_back({"width", double(m_width)});
    entries.push_back({"duration", m_durationSec});
    return entries;
}

void CFlvMetaData::SpoolScriptData(CFlvMemorySpooler* spooler) {
    std::vector<uint8_t> body;
    CFlvAmf0Writer writer(&body);
    writer.String("onMetaData");
    writer.EcmaArrayStart(8);  // always 8, also when fewer entries follow
    for (const Entry& entry : GetEntries()) writer.NumberEntry(entry.key, entry.value);
    writer.ObjectEnd();
    spooler->Spool(body.data(), static_cast<uint32_t>(body.size()));
}

bool CFlvMetaData::Save(CFlvStream* output) {
    CFlvMemorySpooler spooler;
    SpoolScriptData(&spooler);
    const uint32_t bodySize = spooler.GetSpooledSize();

    uint8_t tagHeader[CFlvTag::kHeaderSize] = {};
    tagHeader[0] = CFlvTag::kScriptData;
    flvbytes::WriteBE24(tagHeader + 1, bodySize);
    if (output->Write(tagHeader, sizeof tagHeader) != sizeof tagHeader) {
        PushSystemError(L"メタデータのFLVタグヘッダ出力時にエラーが発生しました。",
                        output->LastError());
        return false;
    }
    if (!spooler.OutputToFile(output)) {
        PushError(L"メタデータのFLVスクリプトデータ出力時にエラーが発生しました。", L"", &spooler);
        return false;
    }
    uint8_t previousTagSize[4];
    flvbytes::WriteBE32(previousTagSize, bodySize + CFlvTag::kHeaderSize);
    if (output->Write(previousTagSize, 4) != 4) {
        PushSystemError(L"メタデータのPreviousTagSize出力時にエラーが発生しました。",
                        output->LastError());
        return false;
    }
    return true;
}

namespace {

// Frame rates compare as whole frames per second, rounded half away from
// zero. A value that has no integer (infinite, not a number, out of range)
// takes the one value the processor's conversion gives all of them.
int64_t RoundFrameRate(double rate) {
    const double rounded = rate >= 0 ? rate + 0.5 : rate - 0.5;
    if (!std::isfinite(rounded) || rounded >= 2147483648.0 || rounded <= -2147483649.0) {
        return INT32_MIN;
    }
    return static_cast<int64_t>(rounded);
}

}  // namespace

bool CFlvMetaData::CheckCompatibility(CFlvMetaData* other) {
    if (m_soundType != other->m_soundType) {
        PushError(L"音声のステレオ/モノが異なります。");
        return false;
    }
    if (m_soundSize != other->m_soundSize) {
        PushError(L"音声の8Bit/16Bitが異なります。");
    }
    if (RoundFrameRate(m_frameRate) != RoundFrameRate(other->m_frameRate)) {
        PushError(L"映像のフレームレートが異なります。");
        return false;
    }
    if (m_audioCodecId != other->m_audioCodecId) {
        PushError(L"音声データのコーデックが異なります。");
        return false;
    }
    if (m_videoCodecId != other->m_videoCodecId) {
        PushError(L"映像データのコーデックが異なります。");
        return false;
    }
    if (m_height != other->m_height) {
        PushError(L"映像データの高さが異なります。");
        return false;
    }
    if (m_width != other->m_width) {
        PushError(L"映像データの幅が異なります。");
        return false;
    }
    return true;
}

// Defined here rather than with the document: the metadata is the one element
// that reads a whole document.
#include "flvsplice/document/FlvFile.h"

void CFlvMetaData::AnalyzeFlvFile(CFlvFile* document) {
    AnalyzeFlvFile(document->GetFlvHeader(), *document->GetAudioTagArray(),
                   *document->GetVideoTagArray());
    // Codecs whose packets tell no size have it in their decoder configuration.
    const flvcodec::VideoCodecInfo* codec = flvcodec::FindVideoCodec(m_videoCodecId);
    if (document->GetFlvHeader()->HasVideo() && codec != nullptr &&
        (codec->size == flvcodec::PictureSize::DecoderConfig ||
         codec->size == flvcodec::PictureSize::KeyFrame)) {
        const FlvDecoderConfig* config = document->FirstDecoderConfig(true);
        m_width = config != nullptr ? config->width : 0;
        m_height = config != nullptr ? config->height : 0;
    }
}
