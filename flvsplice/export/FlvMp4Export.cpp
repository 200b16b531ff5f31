#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "flvsplice/codec/FlvAc3Header.h"
#include "flvsplice/codec/FlvAv1Vp9Config.h"
#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/codec/FlvOpusConfig.h"
#include "flvsplice/document/FlvFile.h"
#include "flvsplice/export/FlvMp4FragmentWriter.h"
#include "flvsplice/export/FlvMp4Writer.h"
#include "flvsplice/platform/FlvStream.h"

// The document's tags as MP4 tracks: which tags are samples, their times in
// each track's timescale, and the sample description each one uses.

namespace {

std::wstring Widen(const char* text) {
    return std::wstring(text, text + std::char_traits<char>::length(text));
}

struct Refusal {
    int code = FlvResult::Success;
    std::wstring message;
};

Refusal Refuse(int code, std::wstring message) { return {code, std::move(message)}; }

// The entry for config among those already made (equal records share one),
// or a new one at the end.
uint32_t EntryFor(FlvMp4Track& track, const FlvDecoderConfig* config,
                  const FlvMp4SampleEntry& made) {
    for (uint32_t i = 0; i < track.entries.size(); ++i) {
        // An entry made before any configuration has none.
        const FlvDecoderConfig* existing = track.entries[i].config;
        if (existing == config ||
            (existing != nullptr && config != nullptr && existing->bytes == config->bytes)) {
            return i;
        }
    }
    track.entries.push_back(made);
    return static_cast<uint32_t>(track.entries.size() - 1);
}

// Notes sample index `at` as using entry and being read from file.
void NoteRuns(FlvMp4Track& track, uint32_t at, uint32_t entry, CFlvStream* file) {
    if (track.entryRuns.empty() || track.entryRuns.back().second != entry) {
        track.entryRuns.emplace_back(at, entry);
    }
    if (track.fileRuns.empty() || track.fileRuns.back().second != file) {
        track.fileRuns.emplace_back(at, file);
    }
}

Refusal Backwards(bool video, uint32_t time, uint32_t before) {
    return Refuse(FlvResult::Mp4TimeBackwards,
                  std::wstring(video ? L"映像" : L"音声") + L"のデコード時刻が" +
                      std::to_wstring(before) + L"ミリ秒から" + std::to_wstring(time) +
                      L"ミリ秒へ戻っています。repairで修復してから出力してください。");
}

Refusal Multitrack(bool video) {
    return Refuse(FlvResult::Mp4StreamRefused,
                  std::wstring(L"複数トラックの") + (video ? L"映像" : L"音声") +
                      L"はMP4に出力できません。" + (video ? L"映像" : L"音声") +
                      L"を除いて出力してください。");
}

// Whether an entry of this form can be made from config.
bool Usable(const FlvDecoderConfig* config, flvcodec::Mp4Form form) {
    using flvcodec::Mp4Form;
    if (config == nullptr) return false;
    switch (form) {
        case Mp4Form::Avc:
            return flvcodec::IsAvc(config->codec) && config->avc.valid;
        case Mp4Form::Hevc:
            return flvcodec::IsHevc(config->codec) && config->hevc.valid;
        case Mp4Form::Av1:
            return config->codec == flvcodec::kFourCCAv1 && config->av1.valid;
        case Mp4Form::Vp9:
            return config->codec == flvcodec::kFourCCVp9 && config->vp9.valid;
        case Mp4Form::Aac:
            return (config->codec == flvcodec::kSoundAac ||
                    config->codec == flvcodec::kFourCCAac) &&
                   config->aac.valid && config->aac.sampleRate != 0;
        case Mp4Form::Opus:
            return config->codec == flvcodec::kFourCCOpus && config->opus.valid;
        case Mp4Form::Mpeg1Audio:
        case Mp4Form::Ac3:
        case Mp4Form::None:
            break;
    }
    return false;
}

// The first bytes of a frame (at most limit) after skip, read from the
// frame's own source file. False when the read fails.
bool ReadHead(const CFlvRawData& raw, uint64_t skip, uint64_t limit, std::vector<uint8_t>& out) {
    out.clear();
    if (raw.m_size <= skip) return true;
    out.resize(static_cast<size_t>(std::min(raw.m_size - skip, limit)));
    CFlvRawData reader(raw.m_file, raw.m_offset + skip, out.size());
    return reader.ReadToBuffer(out.data(), out.size());
}

Refusal Unreadable(bool video) {
    return Refuse(FlvResult::OutputIncomplete,
                  std::wstring(video ? L"映像" : L"音声") +
                      L"フレームの読み込み時にファイルREADエラーが発生しました。");
}

// A sequence header comes first in its frame: this much of a key frame is
// read to find one.
constexpr uint64_t kFrameHeadLimit = 1 << 16;

// Whether a frame the document takes for a cut point is a sync sample of
// MP4: an AV1 key frame needs its own sequence header (the one of av1C does
// not count), a VP9 frame a key frame's uncompressed header. False in ok
// when its bytes cannot be read.
bool IsSyncSample(const CFlvFile& doc, const CFlvTag* tag, const CFlvRawData& raw,
                  flvcodec::Mp4Form form, bool& ok) {
    ok = true;
    if (!doc.IsCutPoint(tag)) return false;
    if (form != flvcodec::Mp4Form::Av1 && form != flvcodec::Mp4Form::Vp9) return true;
    std::vector<uint8_t> head;
    if (!ReadHead(raw, 0, form == flvcodec::Mp4Form::Av1 ? kFrameHeadLimit : 64, head)) {
        ok = false;
        return false;
    }
    if (form == flvcodec::Mp4Form::Av1) {
        flvcodec::Av1Config found;
        return flvcodec::FindAv1SequenceHeader(head.data(), head.size(), found);
    }
    uint32_t width = 0, height = 0;
    return flvcodec::ParseVp9KeyFrameSize(head.data(), head.size(), width, height);
}

// Every track options asks for, with its samples, times and entries.
Refusal BuildTracks(const CFlvFile& doc, const std::vector<CFlvTag*>& videoTags,
                    const std::vector<CFlvTag*>& audioTags, const FlvMp4Options& options,
                    std::vector<FlvMp4Track>& tracks) {
    // A multitrack tag's data is its track loop, not one stream's sample.
    if (!doc.GetTracks().empty()) {
        return Refuse(FlvResult::Mp4StreamRefused,
                      L"マルチトラックのFLVファイルはMP4に出力できません。");
    }
    // The movie starts at the first frame of either stream, as the FLV
    // outputs do.
    uint32_t start = UINT32_MAX;
    for (const auto* list : {&videoTags, &audioTags}) {
        for (const CFlvTag* tag : *list) {
            if (tag->IsFrame()) {
                start = std::min(start, tag->GetTimestamp());
                break;
            }
        }
    }

    Refusal refusal;
    if (options.video && !videoTags.empty()) {
        FlvMp4Track track;
        track.video = true;
        track.samples.reserve(videoTags.size());
        track.timescale = 1000;
        const FlvDecoderConfig* current = nullptr;
        uint32_t first = 0, previous = 0;
        for (const CFlvTag* tag : videoTags) {
            const auto* data = static_cast<const CFlvVideoData*>(tag->m_payload.get());
            const CFlvVideoPacketEnhanced* enhanced = data->EnhancedPacket();
            if (enhanced != nullptr &&
                enhanced->m_multitrackType != CFlvVideoPacketEnhanced::kNoMultitrack) {
                refusal = Multitrack(true);
                break;
            }
            const flvcodec::VideoCodecInfo* info = flvcodec::FindVideoCodec(data->GetCodecKey());
            // Command frames name no codec.
            if (info == nullptr && !tag->IsFrame()) continue;
            const flvcodec::Mp4Form form = info ? info->mp4 : flvcodec::Mp4Form::None;
            if (form == flvcodec::Mp4Form::None) {
                refusal = Refuse(FlvResult::Mp4StreamRefused,
                                 L"映像コーデック「" + Widen(info ? info->name : "?") +
                                     L"」はMP4に出力できません。AVIに出力するか、映像を除いて"
                                     L"ください。");
                break;
            }
            if (const FlvDecoderConfig* config = doc.GetDecoderConfig(tag)) {
                current = config;
                continue;
            }
            const CFlvVideoPacketTyped* packet = data->TypedPacket();
            if (!tag->IsFrame() || packet == nullptr || !packet->m_rawData) continue;
            const CFlvRawData* raw = packet->m_rawData.get();
            if (raw->m_size == 0) continue;
            if (!Usable(current, form)) {
                refusal = Refuse(FlvResult::ExportRefused,
                                 L"最初の映像フレームの前に「" + Widen(info->name) +
                                     L"」の有効なデコーダ設定がありません。");
                break;
            }
            const uint32_t time = tag->GetTimestamp();
            if (!track.samples.empty() && time < previous) {
                refusal = Backwards(true, time, previous);
                break;
            }
            bool ok = true;
            const bool sync = IsSyncSample(doc, tag, *raw, form, ok);
            if (!ok) {
                refusal = Unreadable(true);
                break;
            }
            if (track.samples.empty()) first = time;
            previous = time;
            FlvMp4SampleEntry made;
            made.kind = form;
            made.config = current;
            made.width = current->width;
            made.height = current->height;
            const auto index = static_cast<uint32_t>(track.samples.size());
            NoteRuns(track, index, EntryFor(track, current, made), raw->m_file);
            track.samples.push_back({raw->m_offset, int64_t{time} - first,
                                     static_cast<uint32_t>(raw->m_size),
                                     packet->GetCompositionTime()});
            if (raw->HasPatches()) track.patched.emplace_back(index, raw);
            if (!sync) track.nonSync.push_back(index);
        }
        if (refusal.code == FlvResult::Success && !track.samples.empty()) {
            const auto& samples = track.samples;
            const int64_t last = samples.size() > 1 ? samples.back().decodeTime -
                                                          samples[samples.size() - 2].decodeTime
                                                    : 0;
            track.lastDuration = static_cast<uint32_t>(std::max<int64_t>(last, 1));
            track.delay = first - start;
            int64_t earliest = INT64_MAX;
            for (const FlvMp4Sample& sample : samples) {
                earliest = std::min(earliest, sample.decodeTime + sample.composition);
            }
            if (earliest < 0) {
                refusal = Refuse(FlvResult::ExportRefused,
                                 L"最初の映像フレームより前に表示されるフレームがあり、MP4の"
                                 L"編集リストで表せません。");
            }
            tracks.push_back(std::move(track));
        }
    }

    if (refusal.code == FlvResult::Success && options.audio && !audioTags.empty()) {
        FlvMp4Track track;
        track.samples.reserve(audioTags.size());
        const FlvDecoderConfig* current = nullptr;
        uint32_t first = 0, previous = 0;
        int64_t frameTicks = 0;  // the length of the last sample in the timescale
        int64_t mpegTicks = 0;   // MPEG audio: the frame length of the first frame header
        std::vector<uint8_t> head;
        for (const CFlvTag* tag : audioTags) {
            const auto* data = static_cast<const CFlvAudioData*>(tag->m_payload.get());
            if (data->IsEnhanced() && data->m_multitrackType != CFlvAudioData::kNoPacketType) {
                refusal = Multitrack(false);
                break;
            }
            const flvcodec::AudioFormatInfo* info = flvcodec::FindAudioFormat(data->GetFormatKey());
            const flvcodec::Mp4Form form = info ? info->mp4 : flvcodec::Mp4Form::None;
            if (form == flvcodec::Mp4Form::None) {
                refusal = Refuse(FlvResult::Mp4StreamRefused,
                                 L"音声形式「" + Widen(info ? info->name : "?") +
                                     L"」はMP4に出力できません。音声を除いて出力してください。");
                break;
            }
            if (const FlvDecoderConfig* config = doc.GetDecoderConfig(tag)) {
                current = config;
                continue;
            }
            if (!tag->IsFrame() || !data->m_rawData) continue;
            const CFlvRawData* raw = data->m_rawData.get();
            const uint64_t skip = data->m_bodyOffset;
            if (raw->m_size <= skip) continue;
            const uint32_t time = tag->GetTimestamp();
            if (!track.samples.empty() && time < previous) {
                refusal = Backwards(false, time, previous);
                break;
            }
            FlvMp4SampleEntry made;
            made.kind = form;
            uint32_t entry = 0;
            int64_t ticks = 0;  // this frame's length
            if (form == flvcodec::Mp4Form::Aac) {
                if (!Usable(current, form)) {
                    refusal =
                        Refuse(FlvResult::ExportRefused,
                               L"最初の音声フレームの前に有効なAACデコーダ設定がありません。");
                    break;
                }
                if (track.samples.empty()) track.timescale = current->aac.sampleRate;
                made.config = current;
                made.channels =
                    current->aac.channels != 0 ? current->aac.channels : data->GetSoundType() + 1u;
                made.sampleRate = current->aac.sbr && current->aac.extensionSampleRate != 0
                                      ? current->aac.extensionSampleRate
                                      : current->aac.sampleRate;
                made.objectType = 0x40;
                entry = EntryFor(track, current, made);
                ticks = int64_t{current->aac.frameLength960 ? 960 : 1024} * track.timescale /
                        current->aac.sampleRate;
            } else if (form == flvcodec::Mp4Form::Opus) {
                if (!Usable(current, form)) {
                    refusal = Refuse(FlvResult::ExportRefused,
                                     L"最初の音声フレームの前に有効なOpus識別ヘッダがありません。");
                    break;
                }
                if (!ReadHead(*raw, skip, 2, head)) {
                    refusal = Unreadable(false);
                    break;
                }
                ticks = flvcodec::OpusPacketSamples(head.data(), head.size());
                if (ticks == 0) {
                    refusal =
                        Refuse(FlvResult::ExportRefused, L"Opusパケットの長さを読めません（" +
                                                             std::to_wstring(time) + L"ミリ秒）。");
                    break;
                }
                // Opus always decodes at 48 kHz; the decoder drops the
                // pre-skip of the first configuration at the start.
                track.timescale = 48000;
                if (track.samples.empty()) track.mediaStart = current->opus.preSkip;
                made.config = current;
                made.channels = current->opus.channels;
                made.sampleRate = 48000;
                entry = EntryFor(track, current, made);
            } else if (form == flvcodec::Mp4Form::Ac3) {
                // AC-3 frames describe themselves: the first one's header
                // makes the entry.
                if (track.entries.empty()) {
                    flvcodec::Ac3Header ac3;
                    if (!ReadHead(*raw, skip, 16, head)) {
                        refusal = Unreadable(false);
                        break;
                    }
                    if (!flvcodec::ParseAc3Header(head.data(), head.size(), ac3)) {
                        refusal = Refuse(FlvResult::ExportRefused,
                                         L"最初のAC-3フレームのヘッダを読めません。");
                        break;
                    }
                    made.channels = ac3.channels;
                    made.sampleRate = ac3.sampleRate;
                    made.ac3Bits = flvcodec::Ac3SpecificBits(ac3);
                    track.entries.push_back(made);
                    track.timescale = ac3.sampleRate;
                }
                ticks = flvcodec::kAc3FrameSamples;
            } else {
                if (track.entries.empty()) {
                    flvmp4::MpegAudioHeader mpeg;
                    if (!ReadHead(*raw, skip, 4, head)) {
                        refusal = Unreadable(false);
                        break;
                    }
                    if (!flvmp4::ParseMpegAudioHeader(head.data(), head.size(), mpeg)) {
                        refusal = Refuse(FlvResult::ExportRefused,
                                         L"最初のMP3フレームのヘッダを読めません。");
                        break;
                    }
                    made.channels = mpeg.channels;
                    made.sampleRate = mpeg.sampleRate;
                    made.objectType = mpeg.mpeg1 ? 0x6B : 0x69;
                    track.entries.push_back(made);
                    track.timescale = mpeg.sampleRate;
                    mpegTicks = mpeg.frameSamples;
                }
                ticks = mpegTicks;
            }
            if (track.samples.empty()) first = time;
            previous = time;
            // Frames follow one another by their length while that stays
            // within 0.9 ms of the tag time (which is rounded to one);
            // further off, the frame keeps its tag time: a gap stays where
            // it is and a join's seam keeps its place.
            const int64_t tagTicks = ((int64_t{time} - first) * track.timescale + 500) / 1000;
            int64_t decodeTime = 0;
            if (!track.samples.empty()) {
                const int64_t before = track.samples.back().decodeTime;
                decodeTime = before + frameTicks;
                const int64_t tolerance = int64_t{track.timescale} * 9 / 10000;
                if (std::abs(tagTicks - decodeTime) > tolerance && tagTicks > before) {
                    decodeTime = tagTicks;
                }
            }
            frameTicks = ticks;
            const auto index = static_cast<uint32_t>(track.samples.size());
            NoteRuns(track, index, entry, raw->m_file);
            track.samples.push_back(
                {raw->m_offset + skip, decodeTime, static_cast<uint32_t>(raw->m_size - skip), 0});
        }
        if (refusal.code == FlvResult::Success && !track.samples.empty()) {
            track.lastDuration = static_cast<uint32_t>(std::max<int64_t>(frameTicks, 1));
            track.delay = first - start;
            tracks.push_back(std::move(track));
        }
    }

    return refusal;
}

int64_t MovieTime(const FlvMp4Track& track, uint32_t sample) {
    return track.delay + track.samples[sample].decodeTime * 1000 / track.timescale;
}

// The part count of a split: the runs of configurations of the track that
// changes most often (video first).
size_t LeadingTrack(const std::vector<FlvMp4Track>& tracks) {
    size_t lead = 0;
    for (size_t t = 1; t < tracks.size(); ++t) {
        if (tracks[t].entryRuns.size() > tracks[lead].entryRuns.size()) lead = t;
    }
    return lead;
}

// Samples [from, to) of track as a track of their own, starting at 0.
FlvMp4Track Slice(const FlvMp4Track& track, uint32_t from, uint32_t to) {
    FlvMp4Track out;
    out.video = track.video;
    out.timescale = track.timescale;
    // Only the first part starts where the decoder drops the pre-skip.
    out.mediaStart = from == 0 ? track.mediaStart : 0;
    const auto n = static_cast<uint32_t>(track.samples.size());
    const int64_t base = track.samples[from].decodeTime;
    for (uint32_t i = from; i < to; ++i) {
        FlvMp4Sample sample = track.samples[i];
        sample.decodeTime -= base;
        out.samples.push_back(sample);
    }
    for (const auto& [index, raw] : track.patched) {
        if (index >= from && index < to) out.patched.emplace_back(index - from, raw);
    }
    std::vector<int64_t> mapped(track.entries.size(), -1);
    for (size_t r = 0; r < track.entryRuns.size(); ++r) {
        const uint32_t start = track.entryRuns[r].first;
        const uint32_t end = r + 1 < track.entryRuns.size() ? track.entryRuns[r + 1].first : n;
        if (start >= to || end <= from) continue;
        const uint32_t entry = track.entryRuns[r].second;
        if (mapped[entry] < 0) {
            mapped[entry] = static_cast<int64_t>(out.entries.size());
            out.entries.push_back(track.entries[entry]);
        }
        out.entryRuns.emplace_back(std::max(start, from) - from,
                                   static_cast<uint32_t>(mapped[entry]));
    }
    for (size_t r = 0; r < track.fileRuns.size(); ++r) {
        const uint32_t start = track.fileRuns[r].first;
        const uint32_t end = r + 1 < track.fileRuns.size() ? track.fileRuns[r + 1].first : n;
        if (start < to && end > from) {
            out.fileRuns.emplace_back(std::max(start, from) - from, track.fileRuns[r].second);
        }
    }
    for (uint32_t i : track.nonSync) {
        if (i >= from && i < to) out.nonSync.push_back(i - from);
    }
    out.lastDuration =
        to < n ? static_cast<uint32_t>(std::max<int64_t>(
                     track.samples[to].decodeTime - track.samples[to - 1].decodeTime, 1))
               : track.lastDuration;
    return out;
}

// Part `part` (from 1) of a split at each change of configuration: the
// leading track's part-th configuration, and of every other track its
// part-th configuration when it changes as often, else the samples that
// start within the leading track's part. Empty when there is no such part.
std::vector<FlvMp4Track> TakePart(const std::vector<FlvMp4Track>& tracks, uint32_t part) {
    std::vector<FlvMp4Track> out;
    if (tracks.empty()) return out;
    const FlvMp4Track& lead = tracks[LeadingTrack(tracks)];
    const size_t parts = lead.entryRuns.size();
    if (part == 0 || part > parts) return out;
    const int64_t begin = part == 1 ? INT64_MIN : MovieTime(lead, lead.entryRuns[part - 1].first);
    const int64_t end = part == parts ? INT64_MAX : MovieTime(lead, lead.entryRuns[part].first);
    std::vector<int64_t> starts;
    for (const FlvMp4Track& track : tracks) {
        const auto n = static_cast<uint32_t>(track.samples.size());
        uint32_t from = 0, to = n;
        if (track.entryRuns.size() == parts) {
            from = track.entryRuns[part - 1].first;
            to = part < parts ? track.entryRuns[part].first : n;
        } else {
            while (from < n && MovieTime(track, from) < begin) ++from;
            to = from;
            while (to < n && MovieTime(track, to) < end) ++to;
        }
        if (from >= to) continue;
        starts.push_back(MovieTime(track, from));
        out.push_back(Slice(track, from, to));
    }
    if (starts.empty()) return out;
    // Each part's timeline starts at 0; the tracks keep their distance.
    const int64_t first = *std::min_element(starts.begin(), starts.end());
    for (size_t t = 0; t < out.size(); ++t) out[t].delay = static_cast<uint32_t>(starts[t] - first);
    return out;
}

}  // namespace

int CFlvFile::Mp4PartCount(const FlvMp4Options& options, uint32_t* count) {
    *count = 0;
    if (!IsReady()) return RefuseNotOpen();
    std::vector<FlvMp4Track> tracks;
    const Refusal refusal = BuildTracks(*this, m_videoTags, m_audioTags, options, tracks);
    if (refusal.code != FlvResult::Success) {
        PushError(refusal.message);
        return refusal.code;
    }
    if (!tracks.empty()) {
        *count = static_cast<uint32_t>(tracks[LeadingTrack(tracks)].entryRuns.size());
    }
    return FlvResult::Success;
}

int CFlvFile::DescribeMp4(const FlvMp4Options& options,
                          std::vector<FlvMp4TrackSummary>* summaries) {
    summaries->clear();
    if (!IsReady()) return RefuseNotOpen();
    std::vector<FlvMp4Track> tracks;
    Refusal refusal = BuildTracks(*this, m_videoTags, m_audioTags, options, tracks);
    if (refusal.code == FlvResult::Success && options.part > 0) {
        tracks = TakePart(tracks, options.part);
    }
    if (refusal.code != FlvResult::Success) {
        PushError(refusal.message);
        return refusal.code;
    }
    for (const FlvMp4Track& track : tracks) {
        FlvMp4TrackSummary summary;
        summary.video = track.video;
        summary.timescale = track.timescale;
        summary.samples = track.samples.size();
        summary.syncSamples = track.samples.size() - track.nonSync.size();
        summary.delay = track.delay;
        summary.firstShown = track.delay;
        if (!track.samples.empty()) {
            int64_t earliest = INT64_MAX;
            for (const FlvMp4Sample& sample : track.samples) {
                earliest = std::min(earliest, sample.decodeTime + sample.composition);
            }
            summary.firstShown += static_cast<uint64_t>(earliest) * 1000 / track.timescale;
            summary.mediaDuration =
                static_cast<uint64_t>(track.samples.back().decodeTime) + track.lastDuration;
        }
        summary.entries = track.entries;
        for (const auto& [first, entry] : track.entryRuns) {
            summary.runs.push_back({first, static_cast<uint64_t>(MovieTime(track, first)), entry});
        }
        summaries->push_back(std::move(summary));
    }
    return FlvResult::Success;
}

int CFlvFile::SaveMP4(const std::wstring& path, const FlvMp4Options& options,
                      CFlvProcess* process) {
    if (!IsReady()) return RefuseNotOpen();
    if (!m_options.modernCodecs) {
        PushError(L"MP4出力は新しいコーデックを読む設定で開いたファイルだけで行えます。");
        return FlvResult::ExportRefused;
    }
    std::vector<FlvMp4Track> tracks;
    Refusal refusal = BuildTracks(*this, m_videoTags, m_audioTags, options, tracks);
    if (refusal.code == FlvResult::Success && options.part > 0) {
        tracks = TakePart(tracks, options.part);
        if (tracks.empty()) {
            refusal = Refuse(FlvResult::ExportRefused, L"指定された部分（設定の変わり目で分けた" +
                                                           std::to_wstring(options.part) +
                                                           L"番目）はありません。");
        }
    }
    if (refusal.code == FlvResult::Success && tracks.empty()) {
        refusal = Refuse(FlvResult::ExportRefused, L"MP4に出力する映像も音声もありません。");
    }
    if (refusal.code != FlvResult::Success) {
        PushError(refusal.message);
        return refusal.code;
    }

    // Writes through writer to a file made for it alone.
    auto save = [&](auto& writer) {
        int error = 0;
        std::unique_ptr<CFlvStream> output = CFlvStream::CreateExclusive(path, &error);
        if (!output) {
            PushSystemError(L"MP4ファイル作成時にエラーが発生しました。", error);
            return FlvResult::CreateFailed;
        }
        if (!writer.Write(output.get(), process) || !output->Close()) {
            PushSystemError(L"MP4ファイルの書き込みを完了できませんでした。", output->LastError());
            return FlvResult::OutputIncomplete;
        }
        return FlvResult::Success;
    };
    const bool audioOnly = !tracks.front().video;
    if (options.fragmented) {
        for (const FlvMp4Track& track : tracks) {
            if (track.entries.size() > 1) {
                PushError(
                    L"デコーダ設定が途中で変わるため、フラグメント形式のMP4には設定ごとの"
                    L"部分に分けて出力してください。");
                return FlvResult::ExportRefused;
            }
        }
        CFlvMp4FragmentWriter writer(std::move(tracks), audioOnly);
        if (!writer.Fits()) {
            PushError(
                L"キーフレームの間隔が長すぎて、フラグメントが2GiBを超えます。"
                L"フラグメント形式でないMP4に出力してください。");
            return FlvResult::ExportRefused;
        }
        return save(writer);
    }
    CFlvMp4Writer writer(std::move(tracks), audioOnly);
    return save(writer);
}
