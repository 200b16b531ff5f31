#pragma once

#include <cstdint>
#include <string>

#include "flvsplice/common/FlvExport.h"

// What the library knows about each FLV video codec and sound format, in one
// place: names, what makes a frame decodable on its own, which tags carry a
// decoder configuration, where the picture size comes from and how a codec
// goes into AVI. The metadata, the cut, the exports, the key-frame index and
// the command all ask here.
namespace flvcodec {

enum class PictureSize : uint8_t {
    None,           // the codec tells no size
    PacketHeader,   // the few header bytes of every packet
    DecoderConfig,  // the sequence parameter set of the decoder configuration
};

enum class KeyFrame : uint8_t {
    FrameType,  // the payload's frame type 1 is enough
    Idr,        // frame type 1 and an IDR picture among the frame's NAL units
};

struct VideoCodecInfo {
    uint8_t id;
    const char* name;
    // Opened only when the host asks for the modern codecs.
    bool modern;
    // Packets start with a packet type (0: decoder configuration, 1: coded
    // frame, 2: end of sequence) and a 24-bit composition time.
    bool packetTypes;
    PictureSize size;
    KeyFrame keyFrame;
    // The AVI four-character code, nullptr for a codec AVI does not carry,
    // and how many leading packet header bytes AVI frames leave out.
    const char* aviFourCC;
    uint32_t aviSkippedBytes;
};

struct AudioFormatInfo {
    uint8_t id;
    const char* name;
    // Payloads start with a packet type: 0 is the decoder configuration.
    bool packetTypes;
};

// nullptr for an identifier the library does not load.
FLVSPLICE_API const VideoCodecInfo* FindVideoCodec(uint8_t id);
// Every sound format 0..15 has an entry ("reserved" for those without one).
FLVSPLICE_API const AudioFormatInfo& GetAudioFormat(uint8_t id);

// "High", "Main", ... for an H.264 profile_idc; "profile N" for others.
FLVSPLICE_API std::string AvcProfileName(unsigned profile);
// "AAC LC", "HE-AAC (SBR)", ... for an MPEG-4 audio object type.
FLVSPLICE_API std::string AacObjectTypeName(unsigned type);

constexpr uint8_t kVideoH263 = 2;
constexpr uint8_t kVideoScreen = 3;
constexpr uint8_t kVideoVP6 = 4;
constexpr uint8_t kVideoVP6Alpha = 5;
constexpr uint8_t kVideoScreen2 = 6;
constexpr uint8_t kVideoAvc = 7;
constexpr uint8_t kSoundMp3 = 2;
constexpr uint8_t kSoundAac = 10;

// Packet types of codecs with packetTypes.
constexpr uint8_t kPacketConfig = 0;
constexpr uint8_t kPacketFrame = 1;
constexpr uint8_t kPacketEndOfSequence = 2;

}  // namespace flvcodec
