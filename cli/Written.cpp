#include "Written.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Info.h"
#include "Report.h"
#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/export/FlvMp4Writer.h"

namespace cli {

namespace {

// Seconds from milliseconds, as every time of the reports is given.
double Seconds(uint64_t ms) { return static_cast<double>(ms) / 1000.0; }

nlohmann::ordered_json PictureOrSound(nlohmann::ordered_json out, bool video, uint32_t width,
                                      uint32_t height, uint32_t channels, uint32_t rate) {
    if (video) {
        out["width"] = width;
        out["height"] = height;
    } else {
        out["channels"] = channels;
        out["sample_rate"] = rate;
    }
    return out;
}

// The codec table's name, as info gives it.
std::string CodecName(const FlvMp4SampleEntry& entry, bool video) {
    if (video) {
        const flvcodec::VideoCodecInfo* codec =
            entry.config != nullptr ? flvcodec::FindVideoCodec(entry.config->codec) : nullptr;
        return codec != nullptr ? codec->name : "unknown";
    }
    // MPEG audio and AC-3 entries are made from a frame header, not a configuration.
    const uint32_t id = entry.config != nullptr                      ? entry.config->codec
                        : entry.kind == FlvMp4SampleEntry::Kind::Ac3 ? flvcodec::kFourCCAc3
                                                                     : flvcodec::kSoundMp3;
    const flvcodec::AudioFormatInfo* format = flvcodec::FindAudioFormat(id);
    return format != nullptr ? format->name : "unknown";
}

}  // namespace

nlohmann::ordered_json DescribeMp4Tracks(Document& document, const FlvMp4Options& options) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    std::vector<FlvMp4TrackSummary> tracks;
    if (document.DescribeMp4(options, &tracks) != FlvResult::Success) return out;
    for (const FlvMp4TrackSummary& track : tracks) {
        nlohmann::ordered_json configurations = nlohmann::ordered_json::array();
        for (const FlvMp4TrackSummary::Run& run : track.runs) {
            const FlvMp4SampleEntry& entry = track.entries[run.entry];
            configurations.push_back(PictureOrSound({{"from", Seconds(run.start)},
                                                     {"first_sample", run.firstSample},
                                                     {"sample_description", run.entry + 1},
                                                     {"codecs", flvmp4::EntryCodecsString(entry)}},
                                                    track.video, entry.width, entry.height,
                                                    entry.channels, entry.sampleRate));
        }
        if (track.entries.empty()) continue;
        nlohmann::ordered_json described = {{"kind", track.video ? "video" : "audio"},
                                            {"codec", CodecName(track.entries[0], track.video)},
                                            {"codecs", flvmp4::EntryCodecsString(track.entries[0])},
                                            {"samples", track.samples}};
        if (track.video) described["sync_samples"] = track.syncSamples;
        described["start"] = Seconds(track.firstShown);
        described["duration"] =
            static_cast<double>(track.mediaDuration) / static_cast<double>(track.timescale);
        described["timescale"] = track.timescale;
        described["sample_descriptions"] = track.entries.size();
        described["configurations"] = std::move(configurations);
        out.push_back(std::move(described));
    }
    return out;
}

nlohmann::ordered_json DescribeFlvStreams(const std::string& path) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    Document document;
    if (document.Open(ToWidePath(path)) != FlvResult::Success) return out;
    const nlohmann::ordered_json info = DescribeDocument(document);
    for (const bool video : {true, false}) {
        const char* kind = video ? "video" : "audio";
        if (!info.contains(kind) || info[kind].is_null()) continue;
        const std::vector<CFlvTag*>& tags =
            *(video ? document.GetVideoTagArray() : document.GetAudioTagArray());
        uint64_t frames = 0, keyFrames = 0, first = UINT64_MAX, end = 0;
        nlohmann::ordered_json configurations = nlohmann::ordered_json::array();
        for (const CFlvTag* tag : tags) {
            if (const FlvDecoderConfig* config = document.GetDecoderConfig(tag)) {
                const uint32_t rate = config->aac.sbr && config->aac.extensionSampleRate != 0
                                          ? config->aac.extensionSampleRate
                                          : config->aac.sampleRate;
                configurations.push_back(
                    PictureOrSound({{"at", Seconds(tag->GetTimestamp())},
                                    {"codecs", flvmp4::CodecsString(*config)}},
                                   video, config->width != 0 ? config->width : config->avc.width,
                                   config->height != 0 ? config->height : config->avc.height,
                                   config->aac.channels, rate));
                continue;
            }
            if (!tag->IsFrame()) continue;
            ++frames;
            keyFrames += video && document.IsCutPoint(tag) ? 1 : 0;
            first = std::min<uint64_t>(first, tag->GetTimestamp());
            end = std::max<uint64_t>(end, uint64_t{tag->GetTimestamp()} + tag->m_duration);
        }
        nlohmann::ordered_json stream = {{"kind", kind},
                                         {"codec", info[kind][video ? "codec" : "format"]}};
        if (info[kind].contains("codecs")) stream["codecs"] = info[kind]["codecs"];
        stream["frames"] = frames;
        if (video) stream["key_frames"] = keyFrames;
        stream["start"] = frames != 0 ? Seconds(first) : 0.0;
        stream["duration"] = frames != 0 ? Seconds(end - first) : 0.0;
        stream["configurations"] = std::move(configurations);
        out.push_back(std::move(stream));
    }
    return out;
}

}  // namespace cli
