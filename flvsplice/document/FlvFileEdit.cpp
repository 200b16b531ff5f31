#include <algorithm>

#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvStream.h"

namespace {

constexpr uint8_t kSoundFormatAac = 10;
constexpr uint8_t kAacSequenceHeader = 0;

}  // namespace

// The first audio tag when it is the AAC decoder setup (AudioSpecificConfig),
// which every AAC stream needs before its first frame.
CFlvTag* CFlvFile::AacSequenceHeader() {
    if (m_audioTags.empty()) return nullptr;
    CFlvTag* tag = m_audioTags.front();
    auto* audio = dynamic_cast<CFlvAudioData*>(tag->m_payload.get());
    if (audio == nullptr || audio->GetSoundFormat() != kSoundFormatAac || !audio->m_rawData ||
        audio->m_rawData->m_size == 0) {
        return nullptr;
    }
    uint8_t packetType = 0xFF;
    if (!audio->m_rawData->ReadToBuffer(&packetType, 1)) return nullptr;
    return packetType == kAacSequenceHeader ? tag : nullptr;
}

// Join: appends the other document's tags (they stay owned by it and keep
// reading their bytes from its source file) and renumbers the timeline.
int CFlvFile::Add(CFlvFile* other, bool check) {
    if (other == nullptr || !IsReady() || !other->IsReady()) {
        PushError(L"開かれていないFLVファイルは結合できません。");
        return FlvResult::JoinRefused;
    }
    for (const CFlvFile* source : other->m_tagSources) {
        if (m_tagSources.count(source) != 0) {
            PushError(L"同じFLVファイルのデータを二重に結合することはできません。");
            return FlvResult::JoinRefused;
        }
    }
    const uint8_t flags = m_flvHeader->m_flags;
    const uint8_t otherFlags = other->m_flvHeader->m_flags;
    if ((flags & CFlvHeader::kAudioFlag) != (otherFlags & CFlvHeader::kAudioFlag)) {
        PushError(L"片方のFLVファイルに音声データが無いため結合できません。");
        return FlvResult::JoinRefused;
    }
    if ((flags & CFlvHeader::kVideoFlag) != (otherFlags & CFlvHeader::kVideoFlag)) {
        PushError(L"片方のFLVファイルに映像データが無いため結合できません。");
        return FlvResult::JoinRefused;
    }
    if (check && !m_metaData->CheckCompatibility(other->m_metaData.get())) {
        PushError(L"FLVファイルのフォーマットが異なるため結合できません。", L"", m_metaData.get());
        return FlvResult::JoinRefused;
    }
    m_tags.insert(m_tags.end(), other->m_tags.begin(), other->m_tags.end());
    m_tagSources.insert(other->m_tagSources.begin(), other->m_tagSources.end());
    ReparseFlvData();
    return FlvResult::Success;
}

// Cut: keeps the run of tags from the key frame at or before start (and the
// audio tag that covers it) to the tags that cover end, then renumbers.
int CFlvFile::Extract(unsigned int start, unsigned int end) {
    if (!m_flvHeader || !m_metaData) return RefuseNotOpen();
    if (start > end) {
        PushError(L"開始時間が終了時間より後に指定されています。");
        return FlvResult::StartAfterEnd;
    }
    const bool hasAudio = m_flvHeader->HasAudio();
    const bool hasVideo = m_flvHeader->HasVideo();

    CFlvTag* startVideo = nullptr;
    if (hasVideo) {
        startVideo = FindIncludingFlvTag(start, true, true);
        if (startVideo == nullptr) {
            PushError(L"開始時間以降に映像データが無いため映像を切り取ることが出来ません。");
            return FlvResult::NoKeyFrame;
        }
        if (startVideo->GetTimestamp() <= start) start = startVideo->GetTimestamp();
    }
    CFlvTag* startAudio = nullptr;
    if (hasAudio) {
        startAudio = FindIncludingFlvTag(start, false, true);
        if (startAudio == nullptr) {
            PushError(L"開始時間以降に音声データが無いため処理を切り取ることが出来ません。");
            return FlvResult::NoAudio;
        }
    }
    CFlvTag* endVideo = nullptr;
    if (hasVideo) {
        endVideo = FindIncludingFlvTag(end, true, false);
        if (endVideo == nullptr && !m_videoTags.empty()) endVideo = m_videoTags.back();
    }
    CFlvTag* endAudio = nullptr;
    if (hasAudio) {
        endAudio = FindIncludingFlvTag(end, false, true);
        if (endAudio == nullptr && !m_audioTags.empty()) endAudio = m_audioTags.back();
    }

    uint32_t first = 0;
    uint32_t last = 0;
    if (hasVideo && hasAudio) {
        first =
            std::min(GetFlvTagIndexFromPointer(startVideo), GetFlvTagIndexFromPointer(startAudio));
        last = std::max(GetFlvTagIndexFromPointer(endVideo), GetFlvTagIndexFromPointer(endAudio));
    } else if (hasVideo) {
        first = GetFlvTagIndexFromPointer(startVideo);
        last = GetFlvTagIndexFromPointer(endVideo);
    } else if (hasAudio) {
        first = GetFlvTagIndexFromPointer(startAudio);
        last = GetFlvTagIndexFromPointer(endAudio);
    }

    std::vector<CFlvTag*> kept;
    if (first <= last && last < m_tags.size()) {
        kept.assign(m_tags.begin() + first, m_tags.begin() + last + 1);
    }
    // When the audio tag that covers the start comes before the key frame,
    // the run also holds the video frames between them. They cannot be
    // decoded without the frames before them: the video starts at the key frame.
    if (startVideo != nullptr) {
        const auto key = std::find(kept.begin(), kept.end(), startVideo);
        kept.erase(
            std::remove_if(kept.begin(), key,
                           [](const CFlvTag* tag) { return tag->m_tagType == CFlvTag::kVideo; }),
            key);
    }
    CFlvTag* audioSetup = hasAudio ? AacSequenceHeader() : nullptr;
    if (audioSetup != nullptr && std::find(kept.begin(), kept.end(), audioSetup) != kept.end()) {
        audioSetup = nullptr;
    }
    // A cut that leaves no usable content changes nothing.
    std::vector<CFlvTag*> previous = std::move(m_tags);
    m_tags = std::move(kept);
    MakeFlvTagArrayOfEachType();
    if (!CheckContentValidity()) {
        PushError(
            L"切り取ったFLVデータに映像・音声データが含まれていないため処理を続行できません。");
        m_tags = std::move(previous);
        MakeFlvTagArrayOfEachType();
        return FlvResult::ContentInvalid;
    }
    if (audioSetup != nullptr && !m_audioTags.empty()) {
        // AAC audio cannot be decoded without its setup: the cut starts with
        // it, at the time of the first audio it keeps, taking no time itself.
        audioSetup->SetTimestamp(m_audioTags.front()->GetTimestamp());
        audioSetup->m_duration = 0;
        m_tags.insert(m_tags.begin(), audioSetup);
    }
    ReparseFlvData();
    return FlvResult::Success;
}
