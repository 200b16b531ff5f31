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
    if (!m_tracks.empty() || !other->m_tracks.empty()) {
        const int result = CheckTrackJoin(other);
        if (result != FlvResult::Success) return result;
    }
    std::vector<CFlvTag*> appended;
    if (m_options.modernCodecs) {
        const int result = PrepareModernJoin(other, check, &appended);
        if (result != FlvResult::Success) return result;
    } else {
        if (check && !m_metaData->CheckCompatibility(other->m_metaData.get())) {
            PushError(L"FLVファイルのフォーマットが異なるため結合できません。", L"",
                      m_metaData.get());
            return FlvResult::JoinRefused;
        }
        appended = other->m_tags;
    }
    if (m_options.keepSyncOnJoin && m_flvHeader->HasAudio() && m_flvHeader->HasVideo()) {
        KeepSyncAtSeam(&appended);
    }
    m_tags.insert(m_tags.end(), appended.begin(), appended.end());
    m_configs.insert(other->m_configs.begin(), other->m_configs.end());
    m_trackTags.insert(other->m_trackTags.begin(), other->m_trackTags.end());
    m_tagSources.insert(other->m_tagSources.begin(), other->m_tagSources.end());
    ReparseFlvData();
    return FlvResult::Success;
}

namespace {

bool SameTrack(const FlvTrack& a, const FlvTrack& b) {
    return a.video == b.video && a.id == b.id && a.fourCC == b.fourCC;
}

}  // namespace

// Multitrack files join when they have the same tracks (kind, id, codec) and
// the appended file's video starts where all its tracks' key frames agree.
int CFlvFile::CheckTrackJoin(const CFlvFile* other) {
    const std::vector<FlvTrack>& mine = m_tracks;
    const std::vector<FlvTrack>& theirs = other->m_tracks;
    const auto contains = [](const std::vector<FlvTrack>& list, const FlvTrack& track) {
        return std::any_of(list.begin(), list.end(),
                           [&track](const FlvTrack& listed) { return SameTrack(listed, track); });
    };
    const bool same = mine.size() == theirs.size() &&
                      std::all_of(mine.begin(), mine.end(),
                                  [&](const FlvTrack& t) { return contains(theirs, t); });
    if (!same) {
        PushError(
            L"マルチトラックのトラック構成（種類・トラックID・コーデック）が異なるため結合できませ"
            L"ん。");
        return FlvResult::JoinRefused;
    }
    for (const CFlvTag* tag : other->m_videoTags) {
        if (!tag->IsFrame()) continue;
        if (tag->DecodesAlone()) break;
        PushError(
            L"結合するFLVファイルの映像が、全トラックのキーフレームが揃う位置から始まっていないため"
            L"結合できません。");
        return FlvResult::JoinRefused;
    }
    return FlvResult::Success;
}

namespace {

const CFlvTag* FirstFrame(const std::vector<CFlvTag*>& tags, uint8_t type) {
    for (const CFlvTag* tag : tags) {
        if (tag->m_tagType == type && tag->IsFrame()) return tag;
    }
    return nullptr;
}

CFlvTag* LastFrame(const std::vector<CFlvTag*>& tags, uint8_t type) {
    for (auto it = tags.rbegin(); it != tags.rend(); ++it) {
        if ((*it)->m_tagType == type && (*it)->IsFrame()) return *it;
    }
    return nullptr;
}

}  // namespace

// The appended file moves as one, so that its own distance between audio and
// video is kept: its first video frame follows the last one here by that
// frame's duration. Its audio never starts before the audio here has ended:
// leading audio frames that would play wholly inside it are dropped, a
// shorter overlap starts the audio that much later, and a gap stays a gap.
// The renumbering that follows works from the tags' durations, so the seam
// is written into the duration of the last audio frame here.
void CFlvFile::KeepSyncAtSeam(std::vector<CFlvTag*>* appended) {
    CFlvTag* lastVideo = LastFrame(m_tags, CFlvTag::kVideo);
    CFlvTag* lastAudio = LastFrame(m_tags, CFlvTag::kAudio);
    const CFlvTag* firstVideo = FirstFrame(*appended, CFlvTag::kVideo);
    if (lastVideo == nullptr || lastAudio == nullptr || firstVideo == nullptr) return;

    // In the time base of this document's tags.
    const int64_t videoEnd = int64_t(lastVideo->GetTimestamp()) + lastVideo->m_duration;
    const int64_t audioEnd = int64_t(lastAudio->GetTimestamp()) + lastAudio->m_duration;
    const int64_t shift = videoEnd - int64_t(firstVideo->GetTimestamp());

    size_t dropped = 0;
    const CFlvTag* firstAudio = nullptr;
    appended->erase(
        std::remove_if(appended->begin(), appended->end(),
                       [&](const CFlvTag* tag) {
                           if (firstAudio != nullptr || tag->m_tagType != CFlvTag::kAudio ||
                               !tag->IsFrame()) {
                               return false;
                           }
                           const int64_t begin = int64_t(tag->GetTimestamp()) + shift;
                           if (begin < audioEnd && begin + tag->m_duration <= audioEnd) {
                               ++dropped;
                               return true;
                           }
                           firstAudio = tag;
                           return false;
                       }),
        appended->end());
    m_droppedAudioFrames += dropped;
    if (firstAudio == nullptr) return;
    const int64_t start = int64_t(firstAudio->GetTimestamp()) + shift;
    // A gap stays; an overlap shorter than a frame is closed.
    if (start > audioEnd) lastAudio->m_duration += uint32_t(start - audioEnd);
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
        if (startVideo == nullptr && !m_trackTags.empty() && !m_videoTags.empty()) {
            PushError(
                L"マルチトラックの映像で、全トラックのキーフレームが同じ時刻に揃う位置が無いため"
                L"切り取ることが出来ません。");
            return FlvResult::NoKeyFrame;
        }
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
    // An HEVC stream that now starts at a CRA picture loses the RASL
    // pictures that refer to what was cut away.
    if (m_options.modernCodecs && startVideo != nullptr) {
        const FlvDecoderConfig* config =
            GetDecoderConfig(ConfigTagBefore(GetFlvTagIndexFromPointer(startVideo), true));
        if (!DropRaslPictures(kept, startVideo, config ? config->NalLengthSize() : 4)) {
            return FlvResult::ReadFailed;
        }
    }
    // The decoder configurations the kept frames need. The classic way knows
    // AAC's first setup only; with the modern codecs, the configurations in
    // force where each stream's kept part starts.
    std::vector<CFlvTag*> setups;
    if (m_options.modernCodecs) {
        // Those of each track of multitrack tags too.
        if (startVideo != nullptr) {
            const size_t at = GetFlvTagIndexFromPointer(startVideo);
            setups.push_back(ConfigTagBefore(at, true));
            const std::vector<CFlvTag*> tracks = TrackConfigTagsBefore(at, true);
            setups.insert(setups.end(), tracks.begin(), tracks.end());
        }
        const auto firstAudio = std::find_if(kept.begin(), kept.end(), [](const CFlvTag* tag) {
            return tag->m_tagType == CFlvTag::kAudio;
        });
        if (firstAudio != kept.end()) {
            const size_t at = GetFlvTagIndexFromPointer(*firstAudio);
            setups.push_back(ConfigTagBefore(at, false));
            const std::vector<CFlvTag*> tracks = TrackConfigTagsBefore(at, false);
            setups.insert(setups.end(), tracks.begin(), tracks.end());
        }
    } else if (hasAudio) {
        setups.push_back(AacSequenceHeader());
    }
    setups.erase(std::remove_if(setups.begin(), setups.end(),
                                [&kept](CFlvTag* setup) {
                                    return setup == nullptr ||
                                           std::find(kept.begin(), kept.end(), setup) != kept.end();
                                }),
                 setups.end());
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
    // AAC audio (and H.264 video) cannot be decoded without its setup: the
    // cut starts with it, at the time of the first tag of its stream that it
    // keeps, taking no time itself.
    for (size_t i = setups.size(); i-- > 0;) {
        CFlvTag* setup = setups[i];
        const bool video = setup->m_tagType == CFlvTag::kVideo;
        const std::vector<CFlvTag*>& stream = video ? m_videoTags : m_audioTags;
        if (stream.empty()) continue;
        setup->SetTimestamp(stream.front()->GetTimestamp());
        setup->m_duration = 0;
        m_tags.insert(m_tags.begin(), setup);
    }
    ReparseFlvData();
    return FlvResult::Success;
}

namespace {

std::wstring SizeText(const FlvDecoderConfig& config) {
    return std::to_wstring(config.width) + L"×" + std::to_wstring(config.height);
}

// What differs between two configurations of one codec, for the record of a
// refused join.
std::wstring ConfigDifference(const FlvDecoderConfig& a, const FlvDecoderConfig& b) {
    if (a.video) {
        if (a.width != b.width || a.height != b.height) {
            return L"映像の解像度が異なります（" + SizeText(a) + L" と " + SizeText(b) + L"）。";
        }
        if (!flvcodec::IsAvc(a.codec)) return L"映像のデコーダ設定が異なります。";
        if (a.avc.profile != b.avc.profile || a.avc.level != b.avc.level) {
            return L"H.264のプロファイルまたはレベルが異なります（" +
                   std::to_wstring(a.avc.profile) + L"/" + std::to_wstring(a.avc.level) + L" と " +
                   std::to_wstring(b.avc.profile) + L"/" + std::to_wstring(b.avc.level) + L"）。";
        }
        return L"H.264のパラメータセット（SPS/PPS）が異なります。";
    }
    if (a.codec != flvcodec::kSoundAac && a.codec != flvcodec::kFourCCAac) {
        return L"音声のデコーダ設定が異なります。";
    }
    if (a.aac.sampleRate != b.aac.sampleRate) {
        return L"AACのサンプリング周波数が異なります（" + std::to_wstring(a.aac.sampleRate) +
               L" Hz と " + std::to_wstring(b.aac.sampleRate) + L" Hz）。";
    }
    if (a.aac.channels != b.aac.channels) {
        return L"AACのチャンネル数が異なります（" + std::to_wstring(a.aac.channels) + L" と " +
               std::to_wstring(b.aac.channels) + L"）。";
    }
    return L"AACのデコーダ設定（AudioSpecificConfig）が異なります。";
}

}  // namespace

// Join with the modern codecs: the codecs must be the same; a configuration
// that the appended file repeats unchanged is left out at the seam, one that
// changes stays in front of the frames that need it (refused with check);
// an end of sequence before the seam would stop a decoder there, so it goes.
int CFlvFile::PrepareModernJoin(CFlvFile* other, bool check, std::vector<CFlvTag*>* out) {
    const CFlvMetaData& mine = *m_metaData;
    const CFlvMetaData& theirs = *other->m_metaData;
    if (m_flvHeader->HasVideo() && mine.m_videoCodecId != theirs.m_videoCodecId) {
        PushError(L"映像データのコーデックが異なります。");
        PushError(L"FLVファイルのフォーマットが異なるため結合できません。");
        return FlvResult::JoinRefused;
    }
    if (m_flvHeader->HasAudio() && mine.m_audioCodecId != theirs.m_audioCodecId) {
        PushError(L"音声データのコーデックが異なります。");
        PushError(L"FLVファイルのフォーマットが異なるため結合できません。");
        return FlvResult::JoinRefused;
    }

    std::vector<CFlvTag*> appended;
    appended.reserve(other->m_tags.size());
    const CFlvTag* current[2] = {ConfigTagBefore(m_tags.size(), false),
                                 ConfigTagBefore(m_tags.size(), true)};
    bool framesSeen[2] = {false, false};
    const FlvDecoderConfig* firstVideoConfig = nullptr;
    CFlvTag* firstVideo = nullptr;
    for (CFlvTag* tag : other->m_tags) {
        const int stream = tag->m_tagType == CFlvTag::kVideo ? 1 : 0;
        const FlvDecoderConfig* config = other->GetDecoderConfig(tag);
        if (stream == 1 && !framesSeen[1]) {
            if (config != nullptr) firstVideoConfig = config;
            if (tag->IsFrame()) firstVideo = tag;
        }
        const FlvDecoderConfig* before =
            current[stream] ? GetDecoderConfig(current[stream]) : nullptr;
        if (config != nullptr && !framesSeen[stream] && before != nullptr) {
            if (before->bytes == config->bytes) continue;
            if (check) {
                PushError(ConfigDifference(*before, *config));
                PushError(L"FLVファイルのフォーマットが異なるため結合できません。");
                return FlvResult::JoinRefused;
            }
        }
        if (tag->IsFrame()) framesSeen[stream] = true;
        appended.push_back(tag);
    }
    if (check && !m_metaData->CheckCompatibility(other->m_metaData.get())) {
        PushError(L"FLVファイルのフォーマットが異なるため結合できません。", L"", m_metaData.get());
        return FlvResult::JoinRefused;
    }
    // After the seam, the RASL pictures of a CRA picture that the appended
    // HEVC stream starts at would refer to the pictures before the seam, and
    // the CRA picture would continue their numbering: it becomes a BLA one.
    const unsigned lengthSize = firstVideoConfig ? firstVideoConfig->NalLengthSize() : 4;
    if (firstVideo != nullptr && (!DropRaslPictures(appended, firstVideo, lengthSize) ||
                                  !RewriteCraAsBla(firstVideo, lengthSize))) {
        return FlvResult::ReadFailed;
    }

    *out = std::move(appended);
    m_tags.erase(std::remove_if(m_tags.begin(), m_tags.end(),
                                [](const CFlvTag* tag) {
                                    const auto* video = tag->m_tagType == CFlvTag::kVideo
                                                            ? static_cast<const CFlvVideoData*>(
                                                                  tag->m_payload.get())
                                                            : nullptr;
                                    return video != nullptr && video->IsEndOfSequence();
                                }),
                 m_tags.end());
    return FlvResult::Success;
}

int CFlvFile::DropStream(bool video) {
    if (!IsReady()) return RefuseNotOpen();
    if ((video ? m_audioTags : m_videoTags).empty()) {
        PushError(video ? L"映像を除くと出力するデータがなくなります。"
                        : L"音声を除くと出力するデータがなくなります。");
        return FlvResult::ExportRefused;
    }
    const uint8_t type = video ? CFlvTag::kVideo : CFlvTag::kAudio;
    m_tags.erase(std::remove_if(m_tags.begin(), m_tags.end(),
                                [type](const CFlvTag* tag) { return tag->m_tagType == type; }),
                 m_tags.end());
    m_flvHeader->m_flags =
        uint8_t(m_flvHeader->m_flags & ~(video ? CFlvHeader::kVideoFlag : CFlvHeader::kAudioFlag));
    m_tracks.erase(std::remove_if(m_tracks.begin(), m_tracks.end(),
                                  [video](const FlvTrack& track) { return track.video == video; }),
                   m_tracks.end());
    ReparseFlvData();
    return FlvResult::Success;
}
