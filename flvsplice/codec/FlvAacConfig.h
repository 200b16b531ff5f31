#pragma once

#include <cstddef>
#include <cstdint>

#include "flvsplice/common/FlvExport.h"

// MPEG-4 audio (AAC) decoder setup, read from bytes in memory, and ADTS framing.
namespace flvcodec {

struct AacConfig {
    bool valid = false;
    // audioObjectType, escape (31) resolved: 32 + next 6 bits. With explicit SBR/PS signalling
    // (object type 5 or 29 first) this is the core object type that follows.
    uint32_t objectType = 0;
    uint32_t samplingIndex = 15;  // 15: explicit frequency follows
    uint32_t sampleRate = 0;      // from the index or the explicit 24-bit value (the core rate)
    uint32_t channelConfig = 0;
    // From channelConfig (1..6 -> 1..6, 7 -> 8, 11 -> 7, 12 -> 8, 14 -> 8); 0 when config 0
    // (PCE) or a reserved configuration.
    uint32_t channels = 0;
    // 5 (SBR) or 29 (PS) when signalled, explicitly (object type 5/29 first) or by the
    // backward-compatible sync extension 0x2b7.
    uint32_t extensionObjectType = 0;
    uint32_t extensionSampleRate = 0;  // the SBR output rate when signalled
    bool sbr = false;
    bool ps = false;
    bool frameLength960 = false;  // GASpecificConfig frameLengthFlag
};

// Parses an AudioSpecificConfig (ISO/IEC 14496-3 1.6.2.1). False when it is too short or the
// object type / index makes no sense; partial results are allowed.
// Object type 0, a reserved sampling index (13, 14), an explicit frequency of 0 and SBR/PS
// signalled twice make no sense. The sync extension is looked for only after a
// GASpecificConfig (object types 1-4, 6, 7, 17, 19-23) without error protection; after other
// object types the parse stops, successfully, once the common fields are read.
FLVSPLICE_API bool ParseAudioSpecificConfig(const uint8_t* data, size_t size, AacConfig& out);

// The 7-byte ADTS header (no CRC) for one raw AAC frame of payloadSize bytes. False when ADTS
// cannot express the configuration: object type 0 or above 4, explicit frequency (index 15),
// 960-sample frames, channel configuration 0 or above 7, or a frame too long for the 13-bit
// length field.
// SBR and PS are not written: ADTS has no field for them, so the header carries the core object
// type and the core sampling index (objectType and samplingIndex, as ParseAudioSpecificConfig
// leaves them for explicit signalling as well), and the decoder finds SBR/PS in the stream
// itself, as with implicit signalling. valid is not looked at, so a configuration filled in
// by hand works too. Buffer fullness says 0x7FF (variable rate).
FLVSPLICE_API bool MakeAdtsHeader(const AacConfig& config, size_t payloadSize, uint8_t header[7]);

}  // namespace flvcodec
