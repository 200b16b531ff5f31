#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flvsplice/common/FlvExport.h"

// H.264/AVC decoder setup and frame layout, read from bytes in memory.
namespace flvcodec {

struct AvcConfig {
    bool valid = false;         // the record parsed (the SPS may still be unreadable)
    uint8_t profile = 0;        // AVCProfileIndication
    uint8_t compatibility = 0;  // profile_compatibility
    uint8_t level = 0;          // AVCLevelIndication
    uint8_t nalLengthSize = 4;  // lengthSizeMinusOne + 1 (1, 2 or 4)
    uint32_t width = 0;         // cropped picture size from the first SPS; 0 when unknown
    uint32_t height = 0;
    uint32_t chromaFormat = 1;  // from the SPS
    uint32_t bitDepthLuma = 8;
    uint32_t bitDepthChroma = 8;
    // Parameter set NAL units as stored (header byte included, no start code).
    std::vector<std::vector<uint8_t>> sps;
    std::vector<std::vector<uint8_t>> pps;
    // frame_mbs_only_flag of the SPS: false when pictures may be coded as fields (interlaced).
    bool frameMbsOnly = true;
};

// Parses an AVCDecoderConfigurationRecord (ISO/IEC 14496-15 5.3.3.1; including the high-profile
// extension bytes when present, ignored when short). False when the record itself is malformed
// (too short, version != 1, a length size of 3, a parameter set running past the end). An SPS
// that does not parse leaves width/height 0 but the record still counts as valid. profile,
// compatibility and level are the record's own; chroma format and bit depths come from the
// first SPS, or from the extension bytes when that SPS does not parse.
FLVSPLICE_API bool ParseAvcDecoderConfig(const uint8_t* data, size_t size, AvcConfig& out);

// Parses one SPS NAL unit (header byte included; emulation-prevention bytes 0x000003 removed
// internally) into profile/level/chroma/bit depth/width/height of `out` (ISO/IEC
// 14496-10 7.3.2.1.1: high profiles' chroma_format_idc incl. separate_colour_plane, bit depths,
// scaling lists with their delta_scale loops, pic_order_cnt types 0/1/2 with the
// offset_for_ref_frame loop bounded, frame_mbs_only/mb_adaptive, frame cropping with
// CropUnitX/CropUnitY per chroma format and field coding). False when it does not parse (size
// fields stay 0). On success also sets compatibility (the constraint flags byte) and frameMbsOnly.
// On failure width and height are set to 0 and nothing else is touched. VUI parameters are not
// read.
FLVSPLICE_API bool ParseH264Sps(const uint8_t* nal, size_t size, AvcConfig& out);

// Writes the NAL units of a frame in length-prefixed form (lengthSize 1, 2 or 4 bytes each)
// as an Annex B byte stream (each unit behind 00 00 00 01) appended to out. False (out may
// then hold part) when a length runs past the end or is zero-length-field truncated.
// A unit of length 0 is dropped; any other lengthSize is refused.
FLVSPLICE_API bool AppendAnnexB(const uint8_t* data, size_t size, unsigned lengthSize,
                                std::vector<uint8_t>& out);

// Bit t is set for every NAL unit type t (0..31) found among the length-prefixed units of a
// frame; stops at the first length that runs past the end (what was seen stays set).
// 0 for a lengthSize other than 1, 2 or 4.
FLVSPLICE_API uint32_t H264NalTypes(const uint8_t* data, size_t size, unsigned lengthSize);

}  // namespace flvcodec
