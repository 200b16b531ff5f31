#pragma once

#include <cstdint>
#include <vector>

#include "flvsplice/codec/FlvAacConfig.h"
#include "flvsplice/codec/FlvAv1Vp9Config.h"
#include "flvsplice/codec/FlvAvcConfig.h"
#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/codec/FlvHevcConfig.h"
#include "flvsplice/codec/FlvOpusConfig.h"

// One decoder configuration as a configuration tag carries it: the record's
// bytes exactly as stored, and what the library read from them.
struct FlvDecoderConfig {
    bool video = false;
    uint32_t codec = 0;          // video codec identifier or FourCC, sound format or FourCC
    std::vector<uint8_t> bytes;  // the configuration record, AudioSpecificConfig or OpusHead
    flvcodec::AvcConfig avc;     // H.264 (codec 7, 'avc1')
    flvcodec::AacConfig aac;     // AAC (sound format 10, 'mp4a')
    flvcodec::HevcConfig hevc;   // HEVC (codec 12, 'hvc1')
    flvcodec::Av1Config av1;     // 'av01'
    flvcodec::Vp9Config vp9;     // 'vp09'
    flvcodec::OpusConfig opus;   // 'Opus'
    // The picture size the configuration (or, for VP9 and for AV1 without a
    // sequence header in its record, the first key frame) tells; 0 when unknown.
    uint32_t width = 0;
    uint32_t height = 0;
    // The length of the NAL unit lengths of H.264 and HEVC frames.
    unsigned NalLengthSize() const {
        return flvcodec::IsHevc(codec) ? hevc.nalLengthSize : avc.nalLengthSize;
    }
};
