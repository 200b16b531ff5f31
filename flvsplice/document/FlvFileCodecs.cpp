#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>

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

// One track's data in the body of a multitrack tag.
struct TrackData {
    uint32_t codec = 0;
    uint8_t id = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// Walks the tracks of a multitrack tag's body: for many tracks of many
// codecs each track starts with its FourCC; then the track id, and unless
// there is one track, the 24-bit size of the track's data. A track whose
// data runs past the body (read only in part) ends the walk with what the
// body holds of it.
std::vector<TrackData> SplitTracks(const std::vector<uint8_t>& body, uint8_t multitrackType,
                                   uint32_t fourCC) {
    std::vector<TrackData> tracks;
    size_t at = 0;
    while (at < body.size()) {
        TrackData track;
        track.codec = fourCC;
        if (multitrackType == 2) {
            if (body.size() - at < 4) break;
            track.codec = flvbytes::ReadBE32(body.data() + at);
            at += 4;
        }
        if (at >= body.size()) break;
        track.id = body[at++];
        size_t size = body.size() - at;
        if (multitrackType != 0) {
            if (body.size() - at < 3) break;
            size = flvbytes::ReadBE24(body.data() + at);
            at += 3;
        }
        track.data = body.data() + at;
        track.size = std::min(size, body.size() - at);
        tracks.push_back(track);
        if (multitrackType == 0 || track.size < size) break;
        at += size;
    }
    return tracks;
}

void ListTracks(const std::vector<TrackData>& found, bool video, std::vector<FlvTrack>& tracks) {
    for (const TrackData& track : found) {
        const bool known = std::any_of(tracks.begin(), tracks.end(), [&](const FlvTrack& listed) {
            return listed.video == video && listed.id == track.id;
        });
        if (!known) tracks.push_back({video, track.id, track.codec});
    }
}

// The NAL unit type of the first slice of length-prefixed NAL units (H.264,
// or HEVC), CFlvVideoPacketTyped::kNoSlice without one.
uint8_t FirstSliceType(const uint8_t* data, size_t size, unsigned lengthSize, bool hevc) {
    if (lengthSize == 0 || lengthSize > 4) return CFlvVideoPacketTyped::kNoSlice;
    for (size_t at = 0; size - at > lengthSize;) {
        uint64_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) length = (length << 8) | data[at + i];
        const uint8_t head = data[at + lengthSize];
        const uint8_t unit = hevc ? (head >> 1) & 0x3F : head & 0x1F;
        if (hevc ? unit <= 9 || (unit >= 16 && unit <= 21) : unit == 5 || unit == 1) return unit;
        if (length == 0 || length > size - at - lengthSize) break;
        at += lengthSize + size_t(length);
    }
    return CFlvVideoPacketTyped::kNoSlice;
}

// Whether a key frame of one track of a multitrack tag decodes on its own.
// HEVC counts IDR pictures only: the RASL pictures of a CRA picture would
// have to be taken out of the tags they share with the other tracks.
bool TrackDecodesAlone(const TrackData& track, uint8_t packetType, const FlvDecoderConfig* config) {
    const flvcodec::VideoCodecInfo* info = flvcodec::FindVideoCodec(track.codec);
    if (info == nullptr) return false;
    const uint8_t* data = track.data;
    size_t size = track.size;
    if (packetType == CFlvVideoPacketEnhanced::kCodedFrames && info->compositionTime) {
        if (size < 3) return false;
        data += 3;
        size -= 3;
    }
    if (config != nullptr && config->codec != track.codec) config = nullptr;
    switch (info->keyFrame) {
        case flvcodec::KeyFrame::Idr:
        case flvcodec::KeyFrame::HevcIrap: {
            const bool hevc = info->keyFrame == flvcodec::KeyFrame::HevcIrap;
            const uint8_t type =
                FirstSliceType(data, size, config ? config->NalLengthSize() : 4, hevc);
            return hevc ? type == 19 || type == 20 : type == 5;
        }
        case flvcodec::KeyFrame::Av1SequenceKey: {
            flvcodec::Av1Config found;
            return flvcodec::FindAv1SequenceHeader(data, size, found) ||
                   (config != nullptr && config->av1.width != 0);
        }
        case flvcodec::KeyFrame::FrameType:
            break;
    }
    return true;
}

// Reads a video decoder configuration record in config.bytes.
void ParseVideoConfigBytes(FlvDecoderConfig& config) {
    const uint8_t* data = config.bytes.data();
    const size_t size = config.bytes.size();
    const uint32_t codec = config.codec;
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
}

}  // namespace

bool CFlvFile::ReadSourceBytes(CFlvRawData* raw, uint64_t skip, uint64_t limit,
                               std::vector<uint8_t>& out) {
    out.clear();
    if (raw == nullptr || raw->m_size <= skip) return true;
    const uint64_t size = std::min(raw->m_size - skip, limit);
    out.resize(size);
    // The range's own file: after a join, that of the document it came from.
    CFlvStream* file = raw->m_file;
    if (file == nullptr || !file->Seek(static_cast<int64_t>(raw->m_offset + skip), SEEK_SET) ||
        file->Read(out.data(), size) != size) {
        PushSystemError(L"デコーダ設定の読み込み時にファイルREADエラーが発生しました。",
                        file != nullptr ? file->LastError() : 0);
        return false;
    }
    raw->ApplyPatches(skip, out.data(), size);
    return true;
}

bool CFlvFile::ParseVideoConfig(CFlvVideoPacketTyped* packet, uint32_t codec,
                                FlvDecoderConfig& config) {
    config.video = true;
    config.codec = codec;
    if (!ReadSourceBytes(packet->m_rawData.get(), 0, kConfigLimit, config.bytes)) return false;
    ParseVideoConfigBytes(config);
    return true;
}

bool CFlvFile::AnalyzeCodecs() {
    FlvDecoderConfig* video = nullptr;
    std::vector<uint8_t> bytes;
    // The configuration of each video track of the multitrack tags so far.
    std::map<uint8_t, FlvDecoderConfig> trackConfigs;
    bool multitrackVideo = false;
    for (CFlvTag* tag : m_tags) {
        if (CFlvVideoData* data = VideoOf(tag)) {
            CFlvVideoPacketTyped* packet = data->TypedPacket();
            if (packet == nullptr) continue;
            const CFlvVideoPacketEnhanced* enhanced = data->EnhancedPacket();
            if (enhanced != nullptr &&
                enhanced->m_multitrackType != CFlvVideoPacketEnhanced::kNoMultitrack) {
                // Configurations and key frames are read whole: their tracks'
                // own data is looked at.
                const uint8_t role = packet->GetRole();
                const bool key = tag->IsFrame() && enhanced->GetFrameType() == 1;
                if (!ReadSourceBytes(
                        packet->m_rawData.get(), 0,
                        role == flvcodec::kPacketConfig || key ? UINT64_MAX : kConfigLimit,
                        bytes)) {
                    return false;
                }
                const std::vector<TrackData> found =
                    SplitTracks(bytes, enhanced->m_multitrackType, enhanced->m_fourCC);
                ListTracks(found, true, m_tracks);
                multitrackVideo = true;
                std::vector<uint8_t>& ids = m_trackTags[tag];
                for (const TrackData& track : found) {
                    if (role == flvcodec::kPacketConfig) {
                        FlvDecoderConfig& config = trackConfigs[track.id];
                        config = FlvDecoderConfig{};
                        config.video = true;
                        config.codec = track.codec;
                        config.bytes.assign(track.data, track.data + track.size);
                        ParseVideoConfigBytes(config);
                        ids.push_back(track.id);
                    } else if (key) {
                        const auto config = trackConfigs.find(track.id);
                        if (TrackDecodesAlone(
                                track, enhanced->m_packetType,
                                config != trackConfigs.end() ? &config->second : nullptr)) {
                            ids.push_back(track.id);
                        }
                    }
                }
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
                info->keyFrame == flvcodec::KeyFrame::HevcIrap) {
                // H.264: only an IDR picture decodes on its own. HEVC: every
                // random access picture; the cuts drop the RASL pictures of
                // a CRA or BLA they start at.
                const bool hevc = info->keyFrame == flvcodec::KeyFrame::HevcIrap;
                const unsigned lengthSize =
                    video != nullptr && video->codec == codec ? video->NalLengthSize() : 4;
                uint8_t type = CFlvVideoPacketTyped::kNoSlice;
                if (!packet->FindFirstSlice(lengthSize, hevc, &type)) {
                    PushError(L"映像フレームの解析時にエラーが発生しました。", L"", packet);
                    return false;
                }
                tag->SetDecodesAlone(hevc ? flvcodec::IsHevcRandomAccess(type) : type == 5);
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
                const std::vector<TrackData> found =
                    SplitTracks(bytes, audio->m_multitrackType, audio->m_fourCC);
                ListTracks(found, false, m_tracks);
                if (audio->m_packetType == 0) {
                    std::vector<uint8_t>& ids = m_trackTags[tag];
                    for (const TrackData& track : found) ids.push_back(track.id);
                }
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
    if (multitrackVideo) FindTrackCutPoints();
    return true;
}

// A multitrack file's video may be cut where its tracks' key frames agree:
// the video tags of one timestamp together hold a key frame that decodes on
// its own of every video track of the file. The first of those tags is the
// cut point; no other tag is one (tags outside the multitrack tags belong to
// no track, so a time with one of them is none either).
void CFlvFile::FindTrackCutPoints() {
    std::vector<uint8_t> videoTracks;
    for (const FlvTrack& track : m_tracks) {
        if (track.video) videoTracks.push_back(track.id);
    }
    std::vector<CFlvTag*> frames;
    for (CFlvTag* tag : m_tags) {
        if (tag->m_tagType == CFlvTag::kVideo && tag->IsFrame()) frames.push_back(tag);
    }
    for (size_t first = 0; first < frames.size();) {
        size_t end = first;
        std::vector<uint8_t> keys;
        bool plain = false;
        for (; end < frames.size() && frames[end]->GetTimestamp() == frames[first]->GetTimestamp();
             ++end) {
            frames[end]->SetDecodesAlone(false);
            const auto found = m_trackTags.find(frames[end]);
            if (found == m_trackTags.end()) {
                plain = true;
                continue;
            }
            keys.insert(keys.end(), found->second.begin(), found->second.end());
        }
        frames[first]->SetDecodesAlone(
            !plain && std::all_of(videoTracks.begin(), videoTracks.end(), [&keys](uint8_t id) {
                return std::find(keys.begin(), keys.end(), id) != keys.end();
            }));
        first = end;
    }
}

std::vector<CFlvTag*> CFlvFile::TrackConfigTagsBefore(size_t at, bool video) const {
    const uint8_t type = video ? CFlvTag::kVideo : CFlvTag::kAudio;
    std::vector<uint8_t> found;
    std::vector<CFlvTag*> tags;
    for (size_t i = std::min(at, m_tags.size()); i-- > 0;) {
        CFlvTag* tag = m_tags[i];
        if (tag->m_tagType != type || tag->IsFrame()) continue;
        const auto ids = m_trackTags.find(tag);
        if (ids == m_trackTags.end()) continue;
        bool needed = false;
        for (uint8_t id : ids->second) {
            if (std::find(found.begin(), found.end(), id) != found.end()) continue;
            found.push_back(id);
            needed = true;
        }
        if (needed) tags.insert(tags.begin(), tag);
    }
    return tags;
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

bool CFlvFile::DropRaslPictures(std::vector<CFlvTag*>& tags, const CFlvTag* start,
                                unsigned lengthSize) {
    const auto at = std::find(tags.begin(), tags.end(), start);
    CFlvVideoData* data = at != tags.end() ? VideoOf(start) : nullptr;
    CFlvVideoPacketTyped* packet = data != nullptr ? data->TypedPacket() : nullptr;
    if (packet == nullptr || data->IsMultitrack() || !flvcodec::IsHevc(data->GetCodecKey())) {
        return true;
    }
    uint8_t type = CFlvVideoPacketTyped::kNoSlice;
    if (!packet->FindFirstSlice(lengthSize, true, &type)) {
        PushError(L"映像フレームの解析時にエラーが発生しました。", L"", packet);
        return false;
    }
    // CRA (21) and BLA_W_LP (16) are the pictures that RASL pictures follow.
    if (type != 21 && type != 16) return true;
    std::vector<const CFlvTag*> rasl;
    for (auto it = at + 1; it != tags.end(); ++it) {
        CFlvVideoData* video = VideoOf(*it);
        if (video == nullptr || !(*it)->IsFrame()) continue;
        CFlvVideoPacketTyped* frame = video->TypedPacket();
        if (frame == nullptr || video->IsMultitrack()) break;
        if (!frame->FindFirstSlice(lengthSize, true, &type)) {
            PushError(L"映像フレームの解析時にエラーが発生しました。", L"", frame);
            return false;
        }
        // The leading pictures come before the first trailing one.
        if (!flvcodec::IsHevcLeading(type)) break;
        if (flvcodec::IsHevcRasl(type)) rasl.push_back(*it);
    }
    tags.erase(std::remove_if(tags.begin(), tags.end(),
                              [&rasl](const CFlvTag* tag) {
                                  return std::find(rasl.begin(), rasl.end(), tag) != rasl.end();
                              }),
               tags.end());
    m_droppedRaslPictures += rasl.size();
    return true;
}

bool CFlvFile::RewriteCraAsBla(CFlvTag* tag, unsigned lengthSize) {
    CFlvVideoData* data = VideoOf(tag);
    CFlvVideoPacketTyped* packet = data != nullptr ? data->TypedPacket() : nullptr;
    if (packet == nullptr || !packet->m_rawData || data->IsMultitrack() ||
        !flvcodec::IsHevc(data->GetCodecKey()) || lengthSize == 0 || lengthSize > 4) {
        return true;
    }
    std::vector<uint8_t> frame;
    if (!ReadSourceBytes(packet->m_rawData.get(), 0, UINT64_MAX, frame)) return false;
    bool patched = false;
    for (size_t at = 0; frame.size() - at > lengthSize;) {
        uint64_t length = 0;
        for (unsigned i = 0; i < lengthSize; ++i) length = (length << 8) | frame[at + i];
        const uint8_t head = frame[at + lengthSize];
        if (((head >> 1) & 0x3F) == 21) {
            // The layer id's high bit stays; the type becomes BLA_W_LP (16).
            packet->m_rawData->Patch(at + lengthSize, uint8_t((head & 0x81) | (16 << 1)));
            patched = true;
        }
        if (length == 0 || length > frame.size() - at - lengthSize) break;
        at += lengthSize + size_t(length);
    }
    // Its bytes are no longer the source's: the tag is written anew.
    if (patched) tag->SetDataSize(tag->GetDataSize());
    return true;
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

int CFlvFile::KeepVideoTrack(uint8_t id) {
    if (!IsReady()) return RefuseNotOpen();
    const bool present = std::any_of(m_tracks.begin(), m_tracks.end(), [id](const FlvTrack& track) {
        return track.video && track.id == id;
    });
    if (!present) {
        PushError(L"映像トラック " + std::to_wstring(id) + L" はありません。");
        return FlvResult::ExportRefused;
    }
    // The track's data in each tag that carries it: where it lies in the
    // tag's raw data, and its composition time when it has one.
    struct Change {
        CFlvTag* tag;
        uint32_t codec;
        uint64_t offset;
        uint64_t size;
        bool compositionTime;
        uint8_t time[3];
    };
    std::vector<Change> changes;
    std::vector<CFlvTag*> kept;
    std::vector<uint8_t> body;
    for (CFlvTag* tag : m_tags) {
        CFlvVideoData* video = VideoOf(tag);
        if (video == nullptr) {
            kept.push_back(tag);
            continue;
        }
        // Video outside the multitrack tags belongs to no track.
        if (!video->IsMultitrack()) continue;
        CFlvVideoPacketEnhanced* packet = video->EnhancedPacket();
        if (packet->m_prefix) {
            PushError(L"ModExの付いたマルチトラックタグからはトラックを取り出せません。", L"",
                      packet);
            return FlvResult::ExportRefused;
        }
        if (!ReadSourceBytes(packet->m_rawData.get(), 0, UINT64_MAX, body)) {
            return FlvResult::ReadFailed;
        }
        for (const TrackData& track :
             SplitTracks(body, packet->m_multitrackType, packet->m_fourCC)) {
            if (track.id != id) continue;
            Change change{tag,        track.codec, uint64_t(track.data - body.data()),
                          track.size, false,       {}};
            const flvcodec::VideoCodecInfo* info = flvcodec::FindVideoCodec(track.codec);
            if (packet->m_packetType == CFlvVideoPacketEnhanced::kCodedFrames && info != nullptr &&
                info->compositionTime && track.size >= 3) {
                change.compositionTime = true;
                std::copy(track.data, track.data + 3, change.time);
                change.offset += 3;
                change.size -= 3;
            }
            changes.push_back(change);
            kept.push_back(tag);
            break;
        }
    }

    // The new packets come from the heap: after a join, a tag may lie in
    // another document's pool, which must then destroy them with it.
    for (const Change& change : changes) {
        CFlvVideoData* video = VideoOf(change.tag);
        CFlvElementPool::NoteOutsideMemory(video);
        const CFlvVideoPacketEnhanced* old = video->EnhancedPacket();
        auto packet = std::make_unique<CFlvVideoPacketEnhanced>();
        packet->m_fourCC = change.codec;
        packet->m_packetType = old->m_packetType;
        flvbytes::WriteBE32(packet->m_headerBytes, change.codec);
        packet->m_headerLength = 4;
        if (change.compositionTime) {
            std::copy(change.time, change.time + 3, packet->m_headerBytes + 4);
            packet->m_headerLength = 7;
        }
        packet->m_firstByte = uint8_t(0x80 | old->GetFrameType() << 4 | old->m_packetType);
        packet->m_rawData = std::make_unique<CFlvRawData>(
            old->m_rawData->m_file, old->m_rawData->m_offset + change.offset, change.size);
        video->m_header = packet->m_firstByte;
        const uint32_t size = uint32_t(1 + packet->m_headerLength + change.size);
        video->m_packet = std::move(packet);
        change.tag->SetDataSize(size);
        change.tag->SetDecodesAlone(video->IsFrame() && video->IsKeyFrame() &&
                                    !video->NeedsIdrCheck());
    }
    // The codecs' data is read again for the tags as they are now.
    m_tags = std::move(kept);
    m_tracks.clear();
    m_trackTags.clear();
    for (auto it = m_configs.begin(); it != m_configs.end();) {
        it = it->first->m_tagType == CFlvTag::kVideo ? m_configs.erase(it) : std::next(it);
    }
    MakeFlvTagArrayOfEachType();
    if (!AnalyzeCodecs()) return FlvResult::ReadFailed;
    ReparseFlvData();
    return FlvResult::Success;
}
