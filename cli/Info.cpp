#include "Info.h"

#include <cstdio>

#include "TimeText.h"
#include "flvsplice/index/FlvKeyframeIndex.h"

namespace cli {

namespace {

const char* SoundFormatName(unsigned id) {
    static const char* const kNames[16] = {"Linear PCM, platform endian",
                                           "ADPCM",
                                           "MP3",
                                           "Linear PCM, little endian",
                                           "Nellymoser 16 kHz mono",
                                           "Nellymoser 8 kHz mono",
                                           "Nellymoser",
                                           "G.711 A-law",
                                           "G.711 mu-law",
                                           "reserved",
                                           "AAC",
                                           "Speex",
                                           "reserved",
                                           "reserved",
                                           "MP3 8 kHz",
                                           "device-specific"};
    return kNames[id & 15];
}

const char* VideoCodecName(unsigned id) {
    switch (id) {
        case 1:
            return "JPEG";
        case 2:
            return "Sorenson H.263";
        case 3:
            return "Screen video";
        case 4:
            return "On2 VP6";
        case 5:
            return "On2 VP6 with alpha";
        case 6:
            return "Screen video 2";
        case 7:
            return "H.264/AVC";
        default:
            return "unknown";
    }
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
        out["audio"] = {{"format", SoundFormatName(meta.m_audioCodecId)},
                        {"format_id", meta.m_audioCodecId},
                        {"rate", kRates[meta.m_soundRate & 3]},
                        {"sample_size", meta.m_soundSize ? 16 : 8},
                        {"channels", meta.m_soundType ? 2 : 1},
                        {"tags", audioTags.size()},
                        {"data_rate_kbps", meta.m_audioDataRate},
                        {"payload_bytes", PayloadBytes(audioTags)}};
    }
    out["video"] = nullptr;
    if (header.HasVideo()) {
        size_t keyFrames = 0;
        for (const CFlvTag* tag : videoTags) keyFrames += tag->IsKeyFrame() ? 1 : 0;
        out["video"] = {{"codec", VideoCodecName(meta.m_videoCodecId)},
                        {"codec_id", meta.m_videoCodecId},
                        {"width", meta.m_width},
                        {"height", meta.m_height},
                        {"frames", videoTags.size()},
                        {"key_frames", keyFrames},
                        {"frame_rate", meta.m_frameRate},
                        {"data_rate_kbps", meta.m_videoDataRate},
                        {"payload_bytes", PayloadBytes(videoTags)}};
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
                      "  audio     %s (id %u), %u Hz, %u-bit, %s; %zu tags, %s kbit/s, %s\n",
                      a["format"].get<std::string>().c_str(), a["format_id"].get<unsigned>(),
                      a["rate"].get<unsigned>(), a["sample_size"].get<unsigned>(),
                      a["channels"].get<unsigned>() == 2 ? "stereo" : "mono",
                      a["tags"].get<size_t>(), Number(a["data_rate_kbps"], "%.1f").c_str(),
                      FormatBytes(a["payload_bytes"].get<uint64_t>()).c_str());
        text += line;
    }
    if (const auto& v = d["video"]; !v.is_null()) {
        std::snprintf(line, sizeof line,
                      "  video     %s (id %u), %u × %u; %zu frames, %zu key frames, %s fps, "
                      "%s kbit/s, %s\n",
                      v["codec"].get<std::string>().c_str(), v["codec_id"].get<unsigned>(),
                      v["width"].get<unsigned>(), v["height"].get<unsigned>(),
                      v["frames"].get<size_t>(), v["key_frames"].get<size_t>(),
                      Number(v["frame_rate"], "%.3f").c_str(),
                      Number(v["data_rate_kbps"], "%.1f").c_str(),
                      FormatBytes(v["payload_bytes"].get<uint64_t>()).c_str());
        text += line;
    }
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
