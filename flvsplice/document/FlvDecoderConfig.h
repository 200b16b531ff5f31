#pragma once

#include <cstdint>
#include <vector>

#include "flvsplice/codec/FlvAacConfig.h"
#include "flvsplice/codec/FlvAvcConfig.h"

// One decoder configuration as a configuration tag carries it: the record's
// bytes exactly as stored, and what the library read from them.
struct FlvDecoderConfig {
    bool video = false;
    uint8_t codec = 0;           // video codec identifier or sound format
    std::vector<uint8_t> bytes;  // AVCDecoderConfigurationRecord or AudioSpecificConfig
    flvcodec::AvcConfig avc;     // video codec 7
    flvcodec::AacConfig aac;     // sound format 10
};
