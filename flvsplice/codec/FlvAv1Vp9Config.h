#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flvsplice/common/FlvExport.h"

// AV1 and VP9 decoder setup and frame headers, read from bytes in memory.
namespace flvcodec {

constexpr uint8_t kObuSequenceHeader = 1;
constexpr uint8_t kObuTemporalDelimiter = 2;

struct Av1Config {
    bool valid = false;  // the AV1CodecConfigurationRecord parsed
    uint8_t profile = 0;
    uint8_t level = 0;   // seq_level_idx_0
    uint32_t width = 0;  // max_frame_width/height of the sequence header; 0 when unknown
    uint32_t height = 0;
    // The configOBUs of the record as stored (a sequence header, perhaps
    // metadata), each OBU whole.
    std::vector<uint8_t> configObus;
};

struct Vp9Config {
    bool valid = false;  // the VPCodecConfigurationRecord parsed
    // Where the record starts in the configuration: 4 after the version and
    // flags of its vpcC box (the form Enhanced RTMP stores), 0 for a bare record.
    uint8_t recordStart = 0;
    uint8_t profile = 0;
    uint8_t level = 0;
    uint8_t bitDepth = 8;
    uint32_t width = 0;  // from the first key frame's uncompressed header; 0 when unknown
    uint32_t height = 0;
};

// One OBU of a low-overhead bitstream: where its header starts, its type,
// and where its payload lies.
struct Obu {
    size_t start = 0;
    uint8_t type = 0;
    size_t payload = 0;
    size_t payloadSize = 0;
    size_t end = 0;  // the next OBU's start
};

// Reads the OBU at data[at...]. False when its header or its size field is
// cut off or its payload runs past the end. An OBU without a size field runs
// to the end.
FLVSPLICE_API bool ReadObu(const uint8_t* data, size_t size, size_t at, Obu& out);

// Parses an AV1CodecConfigurationRecord (marker, version 1, profile, level,
// then configOBUs); the sequence header among the OBUs gives the size. False
// when malformed.
FLVSPLICE_API bool ParseAv1DecoderConfig(const uint8_t* data, size_t size, Av1Config& out);

// Parses a sequence header OBU's payload (AV1 5.5: timing and decoder model
// information, operating points, frame size fields) into width and height.
// False (size untouched) when it does not parse.
FLVSPLICE_API bool ParseAv1SequenceHeader(const uint8_t* payload, size_t size, Av1Config& out);

// Finds a sequence header OBU among the OBUs of a frame; parses it into out
// when one is there and out has no size yet. True when there is one.
FLVSPLICE_API bool FindAv1SequenceHeader(const uint8_t* data, size_t size, Av1Config& out);

// Parses a VPCodecConfigurationRecord (profile, level, bit depth, colour
// fields, the size of the initialization data), with or without the version
// (1) and flags of its vpcC box in front: the bit depth byte of a bare record
// is never 0, so two zero bytes after the first tell the box form. False when
// it is too short, its box version is not 1 or its initialization data runs
// past the end.
FLVSPLICE_API bool ParseVp9DecoderConfig(const uint8_t* data, size_t size, Vp9Config& out);

// Reads the uncompressed header of a VP9 frame: true for a key frame, whose
// frame size goes into width and height.
FLVSPLICE_API bool ParseVp9KeyFrameSize(const uint8_t* data, size_t size, uint32_t& width,
                                        uint32_t& height);

}  // namespace flvcodec
