#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flvsplice/common/FlvExport.h"

// Opus decoder setup and packet lengths, read from bytes in memory.
namespace flvcodec {

struct OpusConfig {
    bool valid = false;  // the identification header parsed
    uint8_t channels = 0;
    uint16_t preSkip = 0;    // samples at 48 kHz the decoder drops at the start
    uint32_t inputRate = 0;  // the rate of the original input (information only)
    int16_t outputGain = 0;  // Q7.8 dB
    uint8_t mappingFamily = 0;
    // Family 1 and up: the stream counts and one mapping byte per channel.
    uint8_t streams = 1;
    uint8_t coupled = 0;
    std::vector<uint8_t> mapping;
};

// Parses the identification header ("OpusHead", version 1..15, channel count,
// pre-skip, input rate, output gain, mapping family and for families other
// than 0 its table; little-endian). False when it is none or is cut off.
FLVSPLICE_API bool ParseOpusHead(const uint8_t* data, size_t size, OpusConfig& out);

// The samples (at 48 kHz) one Opus packet decodes to, from its TOC byte and,
// for a packet of code 3, the frame count byte; 0 when the bytes are too few
// or the packet would run past 120 ms.
FLVSPLICE_API uint32_t OpusPacketSamples(const uint8_t* data, size_t size);

}  // namespace flvcodec
