#include "flvsplice/codec/FlvBitReader.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace flvcodec {

CFlvBitReader::CFlvBitReader(const uint8_t* data, size_t size)
    : m_data(data),
      // A span of more than SIZE_MAX / 8 bytes is read as far as a size_t counts bits.
      m_bitSize(size > std::numeric_limits<size_t>::max() / 8 ? std::numeric_limits<size_t>::max()
                                                              : size * 8) {}

void CFlvBitReader::Fail() {
    m_ok = false;
    m_pos = m_bitSize;
}

size_t CFlvBitReader::BitsLeft() const { return m_bitSize - m_pos; }

uint32_t CFlvBitReader::Bits(unsigned count) {
    if (count > 32 || count > BitsLeft()) {
        Fail();
        return 0;
    }
    uint32_t value = 0;
    unsigned need = count;
    while (need > 0) {
        const unsigned used = unsigned(m_pos & 7);
        const unsigned take = std::min(8 - used, need);
        const unsigned byte = m_data[m_pos >> 3];
        // take is 1..8, so neither shift reaches the width of the operand.
        const uint32_t chunk = (byte >> (8 - used - take)) & ((1u << take) - 1);
        value = (value << take) | chunk;
        need -= take;
        m_pos += take;
    }
    return value;
}

bool CFlvBitReader::Flag() { return Bits(1) != 0; }

uint32_t CFlvBitReader::Ue() {
    unsigned zeros = 0;
    while (!Flag()) {
        if (!m_ok) return 0;
        if (++zeros > 32) {
            Fail();
            return 0;
        }
    }
    if (zeros == 0) return 0;
    const uint64_t value = ((uint64_t(1) << zeros) - 1) + Bits(zeros);
    if (!m_ok || value > std::numeric_limits<uint32_t>::max()) {
        Fail();
        return 0;
    }
    return uint32_t(value);
}

int32_t CFlvBitReader::Se() {
    const uint32_t code = Ue();
    if (!m_ok) return 0;
    // code k maps to (-1)^(k+1) * ceil(k / 2).
    const uint32_t magnitude = (code >> 1) + (code & 1);
    if (code & 1) {
        if (magnitude > uint32_t(std::numeric_limits<int32_t>::max())) {
            Fail();
            return 0;
        }
        return int32_t(magnitude);
    }
    return -int32_t(magnitude);  // at most 0x7FFFFFFF
}

void CFlvBitReader::Skip(size_t bits) {
    if (bits > BitsLeft()) {
        Fail();
        return;
    }
    m_pos += bits;
}

void CFlvBitReader::ByteAlign() {
    const size_t used = m_pos & 7;
    if (used != 0) Skip(8 - used);
}

std::vector<uint8_t> ToRbsp(const uint8_t* data, size_t size) {
    std::vector<uint8_t> rbsp;
    rbsp.reserve(size);
    unsigned zeros = 0;
    for (size_t i = 0; i < size; ++i) {
        if (zeros >= 2 && data[i] == 0x03) {
            zeros = 0;
            continue;
        }
        rbsp.push_back(data[i]);
        zeros = data[i] == 0 ? zeros + 1 : 0;
    }
    return rbsp;
}

}  // namespace flvcodec
