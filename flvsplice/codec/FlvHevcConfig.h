#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flvsplice/common/FlvExport.h"

// H.265/HEVC decoder setup, read from bytes in memory.
namespace flvcodec {

struct HevcConfig {
    bool valid = false;         // the record parsed (the SPS may still be unreadable)
    uint8_t profileSpace = 0;   // general_profile_space
    bool tier = false;          // general_tier_flag (true: High tier)
    uint8_t profile = 0;        // general_profile_idc
    uint8_t level = 0;          // general_level_idc (30 × the level)
    uint8_t nalLengthSize = 4;  // lengthSizeMinusOne + 1 (1, 2 or 4)
    uint32_t chromaFormat = 1;
    uint32_t bitDepthLuma = 8;
    uint32_t bitDepthChroma = 8;
    uint32_t width = 0;  // picture size less the conformance window; 0 when unknown
    uint32_t height = 0;
    // The record's NAL units in its order (VPS, SPS, PPS, SEI as stored:
    // header bytes included, no start code).
    std::vector<std::vector<uint8_t>> nalUnits;
};

// Parses an HEVCDecoderConfigurationRecord (ISO/IEC 14496-15 8.3.3.1): the
// 22 fixed bytes, then the arrays of NAL units. False when the record is
// malformed (too short, version != 1, a length size of 3, a NAL unit running
// past the end). The first SPS gives the picture size; one that does not
// parse leaves width and height 0 and the record still counts as valid.
FLVSPLICE_API bool ParseHevcDecoderConfig(const uint8_t* data, size_t size, HevcConfig& out);

// Parses one SPS NAL unit (2-byte header included; emulation prevention
// removed internally; ITU-T H.265 7.3.2.2: profile_tier_level with its
// sub-layers, chroma format, picture size, conformance window, bit depths).
// False when it does not parse: width and height are then 0.
FLVSPLICE_API bool ParseHevcSps(const uint8_t* nal, size_t size, HevcConfig& out);

}  // namespace flvcodec
