#include "flvsplice/codec/FlvAc3Header.h"

#include "flvsplice/codec/FlvBitReader.h"

namespace flvcodec {

bool ParseAc3Header(const uint8_t* data, size_t size, Ac3Header& out) {
    if (data == nullptr) return false;
    CFlvBitReader bits(data, size);
    if (bits.Bits(16) != 0x0B77) return false;
    bits.Skip(16);  // crc1
    const unsigned fscod = bits.Bits(2);
    const unsigned frmsizecod = bits.Bits(6);
    const unsigned bsid = bits.Bits(5);
    const unsigned bsmod = bits.Bits(3);
    const unsigned acmod = bits.Bits(3);
    if ((acmod & 1) != 0 && acmod != 1) bits.Skip(2);  // cmixlev
    if ((acmod & 4) != 0) bits.Skip(2);                // surmixlev
    if (acmod == 2) bits.Skip(2);                      // dsurmod
    const bool lfeon = bits.Flag();
    if (!bits.Ok() || fscod == 3 || frmsizecod >= 38 || bsid > 8) return false;
    constexpr uint32_t kRates[3] = {48000, 44100, 32000};
    constexpr uint32_t kChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
    out.sampleRate = kRates[fscod];
    out.channels = kChannels[acmod] + (lfeon ? 1 : 0);
    out.fscod = uint8_t(fscod);
    out.frmsizecod = uint8_t(frmsizecod);
    out.bsid = uint8_t(bsid);
    out.bsmod = uint8_t(bsmod);
    out.acmod = uint8_t(acmod);
    out.lfeon = lfeon;
    return true;
}

uint32_t Ac3SpecificBits(const Ac3Header& header) {
    return (uint32_t(header.fscod) << 22) | (uint32_t(header.bsid) << 17) |
           (uint32_t(header.bsmod) << 14) | (uint32_t(header.acmod) << 11) |
           (uint32_t(header.lfeon ? 1 : 0) << 10) | (uint32_t(header.frmsizecod >> 1) << 5);
}

}  // namespace flvcodec
