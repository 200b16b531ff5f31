#pragma once

#include <cstdint>
#include <string>

#include "flvsplice/common/FlvExport.h"

// What the library knows about each FLV video codec and sound format, in one
// place: names, how packets are framed, what makes a frame decodable on its
// own, which tags carry a decoder configuration, where the picture size comes
// from and how a codec goes into AVI. The metadata, the cut, the exports, the
// key-frame index and the command all ask here.
//
// Codecs are keyed by their codec identifier (0..15) or, for the codecs of
// enhanced tags, by their FourCC as a big-endian 32-bit number ('hvc1' is
// 0x68766331); the two ranges never meet.
namespace flvcodec {

constexpr uint32_t FourCC(const char (&text)[5]) {
    return (uint32_t(uint8_t(text[0])) << 24) | (uint32_t(uint8_t(text[1])) << 16) |
           (uint32_t(uint8_t(text[2])) << 8) | uint32_t(uint8_t(text[3]));
}

enum class PictureSize : uint8_t {
    None,           // the codec tells no size
    PacketHeader,   // the few header bytes of every packet
    DecoderConfig,  // the sequence parameter set / sequence header of the decoder configuration
    KeyFrame,       // the uncompressed header of the first key frame (VP9)
};

enum class KeyFrame : uint8_t {
    FrameType,       // the payload's frame type 1 is enough
    Idr,             // frame type 1 and an H.264 IDR picture among the frame's NAL units
    HevcIdr,         // frame type 1 and an HEVC IDR picture (NAL unit types 19 and 20)
    Av1SequenceKey,  // frame type 1 and a sequence header OBU in the frame
};

// The sample entry a codec's frames get in MP4 output (the stsd entry and
// the configuration box inside it); None: MP4 output refuses the codec.
enum class Mp4Form : uint8_t {
    None,
    Avc,         // 'avc1' + 'avcC', the record as stored
    Aac,         // 'mp4a' + 'esds' (object type 0x40) with the AudioSpecificConfig
    Mpeg1Audio,  // 'mp4a' + 'esds' (object type 0x6B or 0x69), no configuration
    Hevc,        // 'hvc1' + 'hvcC', the record as stored (never 'hev1')
    Av1,         // 'av01' + 'av1C', the record as stored
    Vp9,         // 'vp09' + 'vpcC' (a full box, version 1) around the record
    Opus,        // 'Opus' + 'dOps' made from the identification header
    Ac3,         // 'ac-3' + 'dac3' made from the first frame's header
};

enum class Framing : uint8_t {
    Plain,        // the codec's own header bytes, then the picture
    PacketTypes,  // packet type (0 configuration, 1 frame, 2 end of sequence), 24-bit
                  // composition time, then the configuration record or the NAL units
    Enhanced,     // enhanced tag: packet type in the first byte, then the FourCC
};

struct VideoCodecInfo {
    uint32_t id;  // codec identifier or FourCC
    const char* name;
    // Opened only when the host asks for the modern codecs.
    bool modern;
    Framing framing;
    PictureSize size;
    KeyFrame keyFrame;
    // The AVI four-character code, nullptr for a codec AVI does not carry,
    // and how many leading packet header bytes AVI frames leave out.
    const char* aviFourCC;
    uint32_t aviSkippedBytes;
    // Coded frames of enhanced tags carry a 24-bit composition time (packet
    // type 1; packet type 3 leaves it out).
    bool compositionTime;
    Mp4Form mp4;
};

struct AudioFormatInfo {
    uint32_t id;  // sound format or FourCC
    const char* name;
    // Payloads start with a packet type: 0 is the decoder configuration.
    bool packetTypes;
    Mp4Form mp4;
};

// nullptr for an identifier the library does not load.
FLVSPLICE_API const VideoCodecInfo* FindVideoCodec(uint32_t id);
// Every sound format 0..15 has an entry ("reserved" for those without one).
FLVSPLICE_API const AudioFormatInfo& GetAudioFormat(uint8_t id);
// The sound format 0..15 or the FourCC of enhanced audio; nullptr for an
// unknown FourCC.
FLVSPLICE_API const AudioFormatInfo* FindAudioFormat(uint32_t id);

// The sample entry's box type of an MP4 form ("avc1", "mp4a", ...); nullptr
// for None.
FLVSPLICE_API const char* Mp4EntryType(Mp4Form form);

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
// HEVC in the framing of H.264 (not in the classic codec list, but widely sent).
constexpr uint8_t kVideoHevc12 = 12;
constexpr uint8_t kSoundMp3 = 2;
constexpr uint8_t kSoundEnhanced = 9;
constexpr uint8_t kSoundAac = 10;

constexpr uint32_t kFourCCAvc = FourCC("avc1");
constexpr uint32_t kFourCCHevc = FourCC("hvc1");
constexpr uint32_t kFourCCAv1 = FourCC("av01");
constexpr uint32_t kFourCCVp9 = FourCC("vp09");
constexpr uint32_t kFourCCVp8 = FourCC("vp08");
constexpr uint32_t kFourCCVvc = FourCC("vvc1");
constexpr uint32_t kFourCCAac = FourCC("mp4a");
constexpr uint32_t kFourCCOpus = FourCC("Opus");
constexpr uint32_t kFourCCFlac = FourCC("fLaC");
constexpr uint32_t kFourCCAc3 = FourCC("ac-3");
constexpr uint32_t kFourCCEac3 = FourCC("ec-3");
constexpr uint32_t kFourCCMp3 = FourCC(".mp3");

// Packet types of codecs with packetTypes, and what the document makes of
// the packet types of enhanced tags.
constexpr uint8_t kPacketConfig = 0;
constexpr uint8_t kPacketFrame = 1;
constexpr uint8_t kPacketEndOfSequence = 2;
// Metadata, commands, configurations in other forms: kept, never a frame.
constexpr uint8_t kPacketOther = 0xFE;

// The codec of a video codec identifier or FourCC: HEVC, AV1, VP9, H.264.
constexpr bool IsHevc(uint32_t id) { return id == kVideoHevc12 || id == kFourCCHevc; }
constexpr bool IsAvc(uint32_t id) { return id == kVideoAvc || id == kFourCCAvc; }

}  // namespace flvcodec
