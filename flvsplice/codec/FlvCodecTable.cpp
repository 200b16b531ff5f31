#include "flvsplice/codec/FlvCodecTable.h"

namespace flvcodec {

namespace {

constexpr VideoCodecInfo kVideoCodecs[] = {
    {kVideoH263, "Sorenson H.263", false, false, PictureSize::PacketHeader, KeyFrame::FrameType,
     "FLV1", 0},
    {kVideoScreen, "Screen video", false, false, PictureSize::PacketHeader, KeyFrame::FrameType,
     nullptr, 0},
    // The size-adjustment byte is FLV's, not the codec's.
    {kVideoVP6, "On2 VP6", false, false, PictureSize::PacketHeader, KeyFrame::FrameType, "VP6F", 1},
    // The size-adjustment byte and the offset to the alpha data.
    {kVideoVP6Alpha, "On2 VP6 with alpha", false, false, PictureSize::PacketHeader,
     KeyFrame::FrameType, "VP6F", 4},
    {kVideoScreen2, "Screen video 2", false, false, PictureSize::PacketHeader, KeyFrame::FrameType,
     nullptr, 0},
    {kVideoAvc, "H.264/AVC", true, true, PictureSize::DecoderConfig, KeyFrame::Idr, nullptr, 0},
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

}  // namespace

const VideoCodecInfo* FindVideoCodec(uint8_t id) {
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

}  // namespace flvcodec
