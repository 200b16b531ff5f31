#pragma once

#include <cstddef>
#include <cstdint>

#include "flvsplice/common/FlvExport.h"

// AC-3 frame headers, read from bytes in memory.
namespace flvcodec {

struct Ac3Header {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;  // the coding mode's channels and the LFE channel
    uint8_t fscod = 0;
    uint8_t frmsizecod = 0;
    uint8_t bsid = 0;
    uint8_t bsmod = 0;
    uint8_t acmod = 0;
    bool lfeon = false;
};

// Samples of every AC-3 frame (six blocks of 256).
constexpr uint32_t kAc3FrameSamples = 1536;

// Parses the syncinfo and the start of the bit stream information of an AC-3
// frame (ATSC A/52 5.3: sync word 0x0B77, the rate and frame size codes,
// bsid, bsmod, acmod, the mix levels acmod implies, lfeon). False for
// another sync word, a reserved rate or frame size code, a bsid above 8
// (E-AC-3 has 16), or too few bytes.
FLVSPLICE_API bool ParseAc3Header(const uint8_t* data, size_t size, Ac3Header& out);

// The 24 bits of the AC3SpecificBox (dac3) for the header: fscod, bsid,
// bsmod, acmod, lfeon, bit_rate_code and 5 reserved bits.
FLVSPLICE_API uint32_t Ac3SpecificBits(const Ac3Header& header);

}  // namespace flvcodec
