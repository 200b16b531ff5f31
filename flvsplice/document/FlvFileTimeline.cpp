#include <algorithm>

#include "flvsplice/document/FlvFile.h"

// Timeline upkeep after the tag list changed: the per-type lists, the
// timestamps (renumbered from the tag durations, so the edited timeline starts
// at 0 without gaps) and the metadata are derived again.

void CFlvFile::ReparseFlvData() {
    MakeFlvTagArrayOfEachType();
    RefreshTimeStamp();
    m_metaData.reset();
    auto metaData = std::make_unique<CFlvMetaData>();
    metaData->AnalyzeFlvFile(this);
    m_metaData = std::move(metaData);
}

void CFlvFile::RefreshTimeStamp() {
    const bool hasAudio = m_flvHeader->HasAudio();
    const bool hasVideo = m_flvHeader->HasVideo();
    uint32_t audioStart = 0;
    uint32_t videoStart = 0;
    // A stream starts with its first frame: a configuration in front of it
    // takes its time.
    auto firstFrame = [](const std::vector<CFlvTag*>& list) {
        const auto found = std::find_if(list.begin(), list.end(),
                                        [](const CFlvTag* tag) { return tag->IsFrame(); });
        return found != list.end() ? *found : list.front();
    };
    if (hasAudio && hasVideo && !m_audioTags.empty() && !m_videoTags.empty()) {
        // The stream that starts first starts at 0; the other keeps its lead.
        const uint32_t ta = firstFrame(m_audioTags)->GetTimestamp();
        const uint32_t tv = firstFrame(m_videoTags)->GetTimestamp();
        audioStart = ta >= tv ? ta - tv : 0;
        videoStart = tv >= ta ? tv - ta : 0;
    }
    auto renumber = [](std::vector<CFlvTag*>& list, uint32_t time) {
        for (CFlvTag* tag : list) {
            tag->SetTimestamp(time);
            time += tag->m_duration;
        }
    };
    if (hasAudio) renumber(m_audioTags, audioStart);
    if (hasVideo) renumber(m_videoTags, videoStart);
}

CFlvTag* CFlvFile::FindIncludingFlvTag(uint32_t time, bool video, bool keyFramesOnly) {
    const std::vector<CFlvTag*>& list = video ? m_videoTags : m_audioTags;
    CFlvTag* previous = nullptr;
    const bool modern = m_options.modernCodecs;
    for (CFlvTag* tag : list) {
        if (modern && !tag->IsFrame()) continue;
        if (video && keyFramesOnly && !(modern ? tag->DecodesAlone() : tag->IsKeyFrame())) continue;
        const uint32_t timestamp = tag->GetTimestamp();
        if (timestamp == time) return tag;
        if (timestamp > time) return previous != nullptr ? previous : tag;
        previous = tag;
    }
    return nullptr;
}

uint32_t CFlvFile::GetFlvTagIndexFromPointer(CFlvTag* tag) {
    for (size_t i = 0; i < m_tags.size(); ++i) {
        if (m_tags[i] == tag) return static_cast<uint32_t>(i);
    }
    return 0;
}
