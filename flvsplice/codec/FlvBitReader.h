#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "flvsplice/common/FlvExport.h"

namespace flvcodec {

// Reads bit fields most significant bit first from a bounded byte span. A read past the end
// fails: it returns 0 and sets a sticky failure flag that Ok() reports, so a parser can read a
// whole structure and check once. After a failure no bits are left and every further read
// returns 0.
class FLVSPLICE_API CFlvBitReader {
public:
    CFlvBitReader(const uint8_t* data, size_t size);

    uint32_t Bits(unsigned count);  // 0..32 bits; more than 32 fails
    bool Flag();                    // one bit
    // Unsigned exp-Golomb. Fails on more than 32 leading zeros and on a value that does not fit
    // in 32 bits.
    uint32_t Ue();
    // Signed exp-Golomb (ISO/IEC 14496-10 9.1.1); fails on a value outside int32_t.
    int32_t Se();
    void Skip(size_t bits);
    // Skips to the next byte boundary of the span (nothing when already on one).
    void ByteAlign();
    size_t BitsLeft() const;
    bool Ok() const { return m_ok; }

private:
    void Fail();

    const uint8_t* m_data;
    size_t m_bitSize;
    size_t m_pos = 0;
    bool m_ok = true;
};

// The bytes of a NAL unit (after its header) with the emulation-prevention
// byte of every 0x000003 dropped, for H.264 and HEVC parameter sets.
FLVSPLICE_API std::vector<uint8_t> ToRbsp(const uint8_t* data, size_t size);

}  // namespace flvcodec
