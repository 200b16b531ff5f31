#include "flvsplice/codec/FlvCodecTable.h"

namespace flvcodec {

namespace {

constexpr VideoCodecInfo kVideoCodecs[] = {
    {kVideoH263, "Sorenson H.263", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, "FLV1", 0, false},
    {kVideoScreen, "Screen video", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, nullptr, 0, false},
    // The size-adjustment byte is FLV's, not the codec's.
    {kVideoVP6, "On2 VP6", false, Framing::Plain, PictureSize::PacketHeader, KeyFrame::FrameType,
     "VP6F", 1, false},
    // The size-adjustment byte and the offset to the alpha data.
    {kVideoVP6Alpha, "On2 VP6 with alpha", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, "VP6F", 4, false},
    {kVideoScreen2, "Screen video 2", false, Framing::Plain, PictureSize::PacketHeader,
     KeyFrame::FrameType, nullptr, 0, false},
    {kVideoAvc, "H.264/AVC", true, Framing::PacketTypes, PictureSize::DecoderConfig, KeyFrame::Idr,
     nullptr, 0, false},
    {kVideoHevc12, "H.265/HEVC (codec 12)", true, Framing::PacketTypes, PictureSize::DecoderConfig,
     KeyFrame::HevcIrap, nullptr, 0, false},
    {kFourCCAvc, "H.264/AVC (enhanced)", true, Framing::Enhanced, PictureSize::DecoderConfig,
     KeyFrame::Idr, nullptr, 0, true},
    {kFourCCHevc, "H.265/HEVC (enhanced)", true, Framing::Enhanced, PictureSize::DecoderConfig,
     KeyFrame::HevcIrap, nullptr, 0, true},
    {kFourCCAv1, "AV1 (enhanced)", true, Framing::Enhanced, PictureSize::DecoderConfig,
     KeyFrame::Av1SequenceKey, nullptr, 0, false},
    {kFourCCVp9, "VP9 (enhanced)", true, Framing::Enhanced, PictureSize::KeyFrame,
     KeyFrame::FrameType, nullptr, 0, false},
    // Passed through: opened and copied, sizes and cut points not read.
    {kFourCCVp8, "VP8 (enhanced)", true, Framing::Enhanced, PictureSize::None, KeyFrame::FrameType,
     nullptr, 0, false},
    {kFourCCVvc, "H.266/VVC (enhanced)", true, Framing::Enhanced, PictureSize::None,
     KeyFrame::FrameType, nullptr, 0, true},
};

constexpr AudioFormatInfo kAudioFormats[16] = {
    {0, "Linear PCM, platform endian", false},
    {1, "ADPCM", false},
    {2, "MP3", false},
    {3, "Linear PCM, little endian", false},
    {4, "Nellymoser 16 kHz mono", false},
    {5, "Nellymoser 8 kHz mono", false},
    {6, "Nellymoser", false},
    {7, "G.711 A-law", false},
    {8, "G.711 mu-law", false},
    {9, "reserved", false},
    {10, "AAC", true},
    {11, "Speex", false},
    {12, "reserved", false},
    {13, "reserved", false},
    {14, "MP3 8 kHz", false},
    {15, "device-specific", false},
};

// Enhanced audio (sound format 9): the packet type is in the first byte.
constexpr AudioFormatInfo kEnhancedAudio[] = {
    {kFourCCAac, "AAC (enhanced)", true},     {kFourCCOpus, "Opus (enhanced)", true},
    {kFourCCFlac, "FLAC (enhanced)", true},   {kFourCCAc3, "AC-3 (enhanced)", true},
    {kFourCCEac3, "E-AC-3 (enhanced)", true}, {kFourCCMp3, "MP3 (enhanced)", true},
};

}  // namespace

const VideoCodecInfo* FindVideoCodec(uint32_t id) {
    for (const VideoCodecInfo& codec : kVideoCodecs) {
        if (codec.id == id) return &codec;
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
