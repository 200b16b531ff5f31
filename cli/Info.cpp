#include "Info.h"

#include <cstdio>

#include "TimeText.h"
#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/export/FlvMp4Writer.h"
#include "flvsplice/index/FlvKeyframeIndex.h"

namespace cli {

namespace {

const char* VideoCodecName(uint32_t id) {
    if (const flvcodec::VideoCodecInfo* codec = flvcodec::FindVideoCodec(id)) {
        return codec->name;
    }
    return id == 1 ? "JPEG" : "unknown";
}

const char* AudioFormatName(uint32_t id) {
    const flvcodec::AudioFormatInfo* format = flvcodec::FindAudioFormat(id);
    return format != nullptr ? format->name : "unknown";
}

// When the stream's first frame plays, in seconds of the file's own timeline
// (null for a stream without frames).
nlohmann::ordered_json StartTime(const std::vector<CFlvTag*>& tags) {
    for (const CFlvTag* tag : tags) {
        if (tag->IsFrame()) return tag->GetTimestamp() / 1000.0;
    }
    return nullptr;
}

uint64_t PayloadBytes(const std::vector<CFlvTag*>& tags) {
    uint64_t sum = 0;
    for (const CFlvTag* tag : tags) sum += tag->GetDataSize();
    return sum;
}

// A rate of a stream that spans no time is infinite or NaN; JSON has null.
std::string Number(const nlohmann::ordered_json& value, const char* format) {
    if (!value.is_number()) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, format, value.get<double>());
    return text;
}

std::string ChannelsText(unsigned channels) {
    return channels == 1   ? "mono"
           : channels == 2 ? "stereo"
                           : std::to_string(channels) + " channels";
}

std::string ProfileText(const nlohmann::ordered_json& v) {
    if (!v.contains("profile")) return "";
    char text[64];
    std::snprintf(text, sizeof text, " %s@L%.1f", v["profile"].get<std::string>().c_str(),
                  v["level"].get<double>());
    return text;
}

// The RFC 6381 codecs string, where the stream has one.
std::string CodecsText(const nlohmann::ordered_json& v) {
    return v.contains("codecs") ? ", codecs " + v["codecs"].get<std::string>() : "";
}

// "unknown size" where the decoder configuration did not tell it.
std::string SizeText(const nlohmann::ordered_json& v) {
    const unsigned width = v["width"].get<unsigned>();
    const unsigned height = v["height"].get<unsigned>();
    if (width == 0 && height == 0) return "unknown size";
    return std::to_string(width) + " × " + std::to_string(height);
}

std::string Grouped(uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string grouped;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    return grouped;
}

}  // namespace

nlohmann::ordered_json DescribeDocument(Document& document) {
    const CFlvHeader& header = *document.GetFlvHeader();
    const CFlvMetaData& meta = *document.GetFlvMetaData();
    const auto& audioTags = *document.GetAudioTagArray();
    const auto& videoTags = *document.GetVideoTagArray();

    nlohmann::ordered_json out;
    out["header"] = {{"version", header.m_version},
                     {"flags", header.m_flags},
                     {"audio", header.HasAudio()},
                     {"video", header.HasVideo()}};
    out["audio"] = nullptr;
    if (header.HasAudio()) {
        static constexpr unsigned kRates[4] = {5512, 11025, 22050, 44100};
        size_t frames = 0;
        for (const CFlvTag* tag : audioTags) frames += tag->IsFrame() ? 1 : 0;
        out["audio"] = {{"format", AudioFormatName(meta.m_audioCodecId)},
                        {"format_id", meta.m_audioCodecId},
                        {"rate", kRates[meta.m_soundRate & 3]},
                        {"sample_size", meta.m_soundSize ? 16 : 8},
                        {"channels", meta.m_soundType ? 2 : 1},
                        {"tags", audioTags.size()},
                        {"frames", frames},
                        {"start", StartTime(audioTags)},
                        {"data_rate_kbps", meta.m_audioDataRate},
                        {"payload_bytes", PayloadBytes(audioTags)}};
        // AAC's header byte always says 44 kHz stereo: its configuration
        // tells the truth.
        if (const FlvDecoderConfig* config = document.FirstDecoderConfig(false)) {
            if (config->aac.valid) {
                out["audio"]["rate"] = config->aac.sbr && config->aac.extensionSampleRate != 0
                                           ? config->aac.extensionSampleRate
                                           : config->aac.sampleRate;
                out["audio"]["channels"] = config->aac.channels;
                out["audio"]["object_type"] = config->aac.objectType;
                out["audio"]["profile"] =
                    flvcodec::AacObjectTypeName(config->aac.ps    ? 29
                                                : config->aac.sbr ? 5
                                                                  : config->aac.objectType);
            }
            if (const std::string codecs = flvmp4::CodecsString(*config); !codecs.empty()) {
                out["audio"]["codecs"] = codecs;
            }
        } else if (meta.m_audioCodecId == flvcodec::kFourCCAc3) {
            // AC-3 needs no configuration tag: its frames describe themselves.
            out["audio"]["codecs"] = "ac-3";
        } else if (meta.m_audioCodecId == flvcodec::kSoundMp3 || meta.m_audioCodecId == 14) {
            // MPEG-1 rates are the 44 kHz ones; the lower rates are MPEG-2's.
            out["audio"]["codecs"] = flvmp4::Mpeg1AudioCodecsString(
                meta.m_audioCodecId == flvcodec::kSoundMp3 && audioTags.size() > 0 &&
                static_cast<const CFlvAudioData*>(audioTags.front()->m_payload.get())
                        ->GetSoundRate() == 3);
        }
    }
    out["video"] = nullptr;
    if (header.HasVideo()) {
        size_t keyFrames = 0;
        size_t frames = 0;
        for (const CFlvTag* tag : videoTags) {
            if (!tag->IsFrame()) continue;
            ++frames;
            keyFrames += document.IsCutPoint(tag) ? 1 : 0;
        }
        out["video"] = {{"codec", VideoCodecName(meta.m_videoCodecId)},
                        {"codec_id", meta.m_videoCodecId},
                        {"width", meta.m_width},
                        {"height", meta.m_height},
                        {"frames", frames},
                        {"key_frames", keyFrames},
                        {"frame_rate", meta.m_frameRate},
                        {"start", StartTime(videoTags)},
                        {"data_rate_kbps", meta.m_videoDataRate},
                        {"payload_bytes", PayloadBytes(videoTags)}};
        if (const FlvDecoderConfig* config = document.FirstDecoderConfig(true)) {
            // Profile and level as H.264 and HEVC name them; AV1's and VP9's
            // are in their codecs string.
            if (flvcodec::IsAvc(config->codec) && config->avc.valid) {
                out["video"]["profile"] = flvcodec::AvcProfileName(config->avc.profile);
                out["video"]["profile_id"] = config->avc.profile;
                out["video"]["level"] = config->avc.level / 10.0;
            } else if (flvcodec::IsHevc(config->codec) && config->hevc.valid) {
                const uint8_t profile = config->hevc.profile;
                out["video"]["profile"] = profile == 1   ? "Main"
                                          : profile == 2 ? "Main 10"
                                          : profile == 3 ? "Main Still Picture"
                                          : profile == 4 ? "Rext"
                                                         : "profile " + std::to_string(profile);
                out["video"]["profile_id"] = profile;
                out["video"]["level"] = config->hevc.level / 30.0;
            }
            if (const std::string codecs = flvmp4::CodecsString(*config); !codecs.empty()) {
                out["video"]["codecs"] = codecs;
            }
        }
    }
    if (!document.GetTracks().empty()) {
        auto& tracks = out["tracks"] = nlohmann::ordered_json::array();
        for (const FlvTrack& track : document.GetTracks()) {
            std::string fourCC;
            for (int shift = 24; shift >= 0; shift -= 8) {
                const char c = char((track.fourCC >> shift) & 0xFF);
                fourCC += c >= 0x20 && c < 0x7F ? c : '?';
            }
            tracks.push_back(
                {{"kind", track.video ? "video" : "audio"}, {"id", track.id}, {"codec", fourCC}});
        }
    }
    out["duration"] = meta.m_durationSec;
    out["tags"] = document.GetFlvTagArray()->size();
    out["payload_bytes"] = PayloadBytes(*document.GetFlvTagArray());
    return out;
}

nlohmann::ordered_json DescribeIndex(const std::wstring& path) {
    const FlvKeyframeIndexReport report = InspectKeyframeIndex(path);
    nlohmann::ordered_json out = {{"present", report.present},
                                  {"consistent", report.consistent},
                                  {"entries", report.entries},
                                  {"key_frames", report.keyFrames}};
    if (!report.consistent) out["problem"] = report.problem;
    return out;
}

std::string DescribeAsText(const std::string& name, const nlohmann::ordered_json& d) {
    std::string text = name;
    if (d.contains("size")) text += "  (" + Grouped(d["size"].get<uint64_t>()) + " bytes)";
    text += "\n";
    char line[512];
    const auto& h = d["header"];
    std::snprintf(line, sizeof line, "  header    FLV version %u, flags 0x%02X (%s)\n",
                  h["version"].get<unsigned>(), h["flags"].get<unsigned>(),
                  h["audio"].get<bool>() && h["video"].get<bool>() ? "audio + video"
                  : h["audio"].get<bool>()                         ? "audio only"
                                                                   : "video only");
    text += line;
    if (const auto& a = d["audio"]; !a.is_null()) {
        std::snprintf(line, sizeof line,
                      "  audio     %s (id %u)%s, %u Hz, %u-bit, %s; %zu tags, %s kbit/s, %s%s\n",
                      a["format"].get<std::string>().c_str(), a["format_id"].get<unsigned>(),
                      a.contains("profile") ? (" " + a["profile"].get<std::string>()).c_str() : "",
                      a["rate"].get<unsigned>(), a["sample_size"].get<unsigned>(),
                      ChannelsText(a["channels"].get<unsigned>()).c_str(), a["tags"].get<size_t>(),
                      Number(a["data_rate_kbps"], "%.1f").c_str(),
                      FormatBytes(a["payload_bytes"].get<uint64_t>()).c_str(),
                      CodecsText(a).c_str());
        text += line;
    }
    if (const auto& v = d["video"]; !v.is_null()) {
        std::snprintf(line, sizeof line,
                      "  video     %s (id %u)%s, %s; %zu frames, %zu key frames, %s fps, "
                      "%s kbit/s, %s%s\n",
                      v["codec"].get<std::string>().c_str(), v["codec_id"].get<unsigned>(),
                      ProfileText(v).c_str(), SizeText(v).c_str(), v["frames"].get<size_t>(),
                      v["key_frames"].get<size_t>(), Number(v["frame_rate"], "%.3f").c_str(),
                      Number(v["data_rate_kbps"], "%.1f").c_str(),
                      FormatBytes(v["payload_bytes"].get<uint64_t>()).c_str(),
                      CodecsText(v).c_str());
        text += line;
    }
    if (d.contains("tracks")) {
        for (const auto& track : d["tracks"]) {
            text += "  track     " + track["kind"].get<std::string>() + " " +
                    std::to_string(track["id"].get<unsigned>()) + ": " +
                    track["codec"].get<std::string>() + "\n";
        }
    }
    // Where each stream starts: the distance a join keeps between them.
    std::string starts;
    for (const char* kind : {"audio", "video"}) {
        if (d[kind].is_null() || !d[kind]["start"].is_number()) continue;
        const auto ms = static_cast<uint64_t>(d[kind]["start"].get<double>() * 1000 + 0.5);
        starts += std::string(starts.empty() ? "" : ", ") + kind + " at " + FormatTime(ms);
    }
    if (!starts.empty()) text += "  starts    " + starts + "\n";
    const double seconds = d["duration"].is_number() ? d["duration"].get<double>() : 0;
    std::snprintf(line, sizeof line, "  duration  %s s (%s)\n",
                  Number(d["duration"], "%.3f").c_str(),
                  FormatTime(static_cast<uint64_t>(seconds * 1000 + 0.5)).c_str());
    text += line;
    text += "  payload   " + Grouped(d["payload_bytes"].get<uint64_t>()) + " bytes in " +
            std::to_string(d["tags"].get<size_t>()) + " tags\n";
    if (d.contains("index")) {
        const auto& index = d["index"];
        if (!index["present"].get<bool>()) {
            text += "  index     none\n";
        } else if (index["consistent"].get<bool>()) {
            text += "  index     " + std::to_string(index["entries"].get<size_t>()) +
                    " key frames, agrees with the file\n";
        } else {
            text += "  index     " + std::to_string(index["entries"].get<size_t>()) +
                    " entries, DISAGREES with the file: " + index["problem"].get<std::string>() +
                    "\n";
        }
    }
    return text;
}

}  // namespace cli
