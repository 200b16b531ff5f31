#include "flvsplice/codec/FlvCodecTable.h"

namespace flvcodec {

namespace {

constexpr VideoCodecInfo kVideoCodecs[] = {
    {kVideoH263, "Sorenson H.263", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, "FLV1", 0, false, Mp4Form::None},
    {kVideoScreen, "Screen video", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, nullptr, 0, false, Mp4Form::None},
    // The size-adjustment byte is FLV's, not the codec's.
    {kVideoVP6, "On2 VP6", false, Framing::Plain, PictureSize::PacketHeader, KeyFrame::FrameType,
     "VP6F", 1, false, Mp4Form::None},
    // The size-adjustment byte and the offset to the alpha data.
    {kVideoVP6Alpha, "On2 VP6 with alpha", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, "VP6F", 4, false, Mp4Form::None},
    {kVideoScreen2, "Screen video 2", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, nullptr, 0, false, Mp4Form::None},
    {kVideoAvc, "H.264/AVC", true, Framing::PacketTypes, PictureSize::DecoderConfig, KeyFrame::Idr,
     nullptr, 0, false, Mp4Form::Avc},
    {kVideoHevc12, "H.265/HEVC (codec 12)", true, Framing::PacketTypes, PictureSize::DecoderConfig,
     KeyFrame::HevcIdr, nullptr, 0, false, Mp4Form::Hevc},
    {kFourCCAvc, "H.264/AVC (enhanced)", true, Framing::Enhanced, PictureSize::DecoderConfig,
     KeyFrame::Idr, nullptr, 0, true, Mp4Form::Avc},
    {kFourCCHevc, "H.265/HEVC (enhanced)", true, Framing::Enhanced, PictureSize::DecoderConfig,
     KeyFrame::HevcIdr, nullptr, 0, true, Mp4Form::Hevc},
    {kFourCCAv1, "AV1 (enhanced)", true, Framing::Enhanced, PictureSize::DecoderConfig,
     KeyFrame::Av1SequenceKey, nullptr, 0, false, Mp4Form::Av1},
    {kFourCCVp9, "VP9 (enhanced)", true, Framing::Enhanced, PictureSize::KeyFrame,
     KeyFrame::FrameType, nullptr, 0, false, Mp4Form::Vp9},
    // Passed through: opened and copied, sizes and cut points not read.
    {kFourCCVp8, "VP8 (enhanced)", true, Framing::Enhanced, PictureSize::None, KeyFrame::FrameType,
     nullptr, 0, false, Mp4Form::None},
    {kFourCCVvc, "H.266/VVC (enhanced)", true, Framing::Enhanced, PictureSize::None,
     KeyFrame::FrameType, nullptr, 0, true, Mp4Form::None},
};

constexpr AudioFormatInfo kAudioFormats[16] = {
    {0, "Linear PCM, platform endian", false, Mp4Form::None},
    {1, "ADPCM", false, Mp4Form::None},
    {2, "MP3", false, Mp4Form::Mpeg1Audio},
    {3, "Linear PCM, little endian", false, Mp4Form::None},
    {4, "Nellymoser 16 kHz mono", false, Mp4Form::None},
    {5, "Nellymoser 8 kHz mono", false, Mp4Form::None},
    {6, "Nellymoser", false, Mp4Form::None},
    {7, "G.711 A-law", false, Mp4Form::None},
    {8, "G.711 mu-law", false, Mp4Form::None},
    {9, "reserved", false, Mp4Form::None},
    {10, "AAC", true, Mp4Form::Aac},
    {11, "Speex", false, Mp4Form::None},
    {12, "reserved", false, Mp4Form::None},
    {13, "reserved", false, Mp4Form::None},
    {14, "MP3 8 kHz", false, Mp4Form::Mpeg1Audio},
    {15, "device-specific", false, Mp4Form::None},
};

// Enhanced audio (sound format 9): the packet type is in the first byte.
constexpr AudioFormatInfo kEnhancedAudio[] = {
    {kFourCCAac, "AAC (enhanced)", true, Mp4Form::Aac},
    {kFourCCOpus, "Opus (enhanced)", true, Mp4Form::Opus},
    {kFourCCFlac, "FLAC (enhanced)", true, Mp4Form::None},
    {kFourCCAc3, "AC-3 (enhanced)", true, Mp4Form::Ac3},
    {kFourCCEac3, "E-AC-3 (enhanced)", true, Mp4Form::None},
    {kFourCCMp3, "MP3 (enhanced)", true, Mp4Form::Mpeg1Audio},
};

}  // namespace

const VideoCodecInfo* FindVideoCodec(uint32_t id) {
    for (const VideoCodecInfo& codec : kVideoCodecs) {
        if (codec.id == id) return &codec;
    }
    return nullptr;
}

const char* Mp4EntryType(Mp4Form form) {
    switch (form) {
        case Mp4Form::Avc:
            return "avc1";
        case Mp4Form::Aac:
        case Mp4Form::Mpeg1Audio:
            return "mp4a";
        case Mp4Form::Hevc:
            return "hvc1";
        case Mp4Form::Av1:
            return "av01";
        case Mp4Form::Vp9:
            return "vp09";
        case Mp4Form::Opus:
            return "Opus";
        case Mp4Form::Ac3:
            return "ac-3";
        case Mp4Form::None:
            break;
    }
    return nullptr;
}

const AudioFormatInfo& GetAudioFormat(uint8_t id) { return kAudioFormats[id & 15]; }

std::string AvcProfileName(unsigned profile) {
    switch (profile) {
        case 66:
            return "Baseline";
        case 77:
            return "Main";
        case 88:
            return "Extended";
        case 100:
            return "High";
        case 110:
            return "High 10";
        case 122:
            return "High 4:2:2";
        case 244:
            return "High 4:4:4 Predictive";
        default:
            return "profile " + std::to_string(profile);
    }
}

std::string AacObjectTypeName(unsigned type) {
    switch (type) {
        case 1:
            return "AAC Main";
        case 2:
            return "AAC LC";
        case 3:
            return "AAC SSR";
        case 4:
            return "AAC LTP";
        case 5:
            return "HE-AAC (SBR)";
        case 29:
            return "HE-AAC v2 (PS)";
        default:
            return "object type " + std::to_string(type);
    }
}

const AudioFormatInfo* FindAudioFormat(uint32_t id) {
    if (id < 16) return &kAudioFormats[id];
    for (const AudioFormatInfo& format : kEnhancedAudio) {
        if (format.id == id) return &format;
    }
    return nullptr;
}

}  // namespace flvcodec
