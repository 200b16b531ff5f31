#include "flvsplice/codec/FlvAv1Vp9Config.h"

#include "flvsplice/codec/FlvBitReader.h"
#include "flvsplice/common/ByteOrder.h"

namespace flvcodec {

namespace {

// leb128(): at most 8 bytes, a value that fits 32 bits.
bool ReadLeb128(const uint8_t* data, size_t size, size_t& at, uint64_t& value) {
    value = 0;
    for (unsigned i = 0; i < 8; ++i) {
        if (at >= size) return false;
        const uint8_t byte = data[at++];
        value |= uint64_t(byte & 0x7F) << (7 * i);
        if ((byte & 0x80) == 0) return value <= 0xFFFFFFFFu;
    }
    return false;
}

// uvlc(): leading zeros, then as many bits.
uint32_t Uvlc(CFlvBitReader& bits) {
    unsigned zeros = 0;
    while (bits.Ok() && !bits.Flag()) {
        if (++zeros >= 32) return UINT32_MAX;
    }
    return zeros == 0 ? 0 : bits.Bits(zeros) + ((1u << zeros) - 1);
}

}  // namespace

bool ReadObu(const uint8_t* data, size_t size, size_t at, Obu& out) {
    if (data == nullptr || at >= size) return false;
    out.start = at;
    const uint8_t header = data[at++];
    if ((header & 0x80) != 0) return false;  // obu_forbidden_bit
    out.type = (header >> 3) & 0x0F;
    if ((header & 0x04) != 0) {  // obu_extension_flag
        if (at >= size) return false;
        ++at;
    }
    uint64_t payloadSize = size - at;
    if ((header & 0x02) != 0 && !ReadLeb128(data, size, at, payloadSize)) return false;
    if (payloadSize > size - at) return false;
    out.payload = at;
    out.payloadSize = size_t(payloadSize);
    out.end = at + size_t(payloadSize);
    return true;
}

bool ParseAv1SequenceHeader(const uint8_t* payload, size_t size, Av1Config& out) {
    CFlvBitReader bits(payload, size);
    bits.Skip(3);  // seq_profile
    bits.Skip(1);  // still_picture
    const bool reduced = bits.Flag();
    if (reduced) {
        bits.Skip(5);  // seq_level_idx[0]
    } else {
        bool decoderModel = false;
        unsigned bufferDelayBits = 0;
        if (bits.Flag()) {                // timing_info_present_flag
            bits.Skip(64);                // num_units_in_display_tick, time_scale
            if (bits.Flag()) Uvlc(bits);  // num_ticks_per_picture_minus_1
            decoderModel = bits.Flag();
            if (decoderModel) {
                bufferDelayBits = bits.Bits(5) + 1;
                bits.Skip(32 + 5 + 5);
            }
        }
        const bool displayDelay = bits.Flag();
        const unsigned points = bits.Bits(5) + 1;
        for (unsigned i = 0; i < points && bits.Ok(); ++i) {
            bits.Skip(12);                       // operating_point_idc
            if (bits.Bits(5) > 7) bits.Skip(1);  // seq_tier
            if (decoderModel && bits.Flag()) bits.Skip(2 * bufferDelayBits + 1);
            if (displayDelay && bits.Flag()) bits.Skip(4);
        }
    }
    const unsigned widthBits = bits.Bits(4) + 1;
    const unsigned heightBits = bits.Bits(4) + 1;
    const uint32_t width = bits.Bits(widthBits);
    const uint32_t height = bits.Bits(heightBits);
    if (!bits.Ok()) return false;
    out.width = width + 1;
    out.height = height + 1;
    return true;
}

bool FindAv1SequenceHeader(const uint8_t* data, size_t size, Av1Config& out) {
    Obu obu;
    for (size_t at = 0; ReadObu(data, size, at, obu); at = obu.end) {
        if (obu.type == kObuSequenceHeader) {
            if (out.width == 0) ParseAv1SequenceHeader(data + obu.payload, obu.payloadSize, out);
            return true;
        }
    }
    return false;
}

bool ParseAv1DecoderConfig(const uint8_t* data, size_t size, Av1Config& out) {
    out = Av1Config{};
    // marker 1, version 1.
    if (data == nullptr || size < 4 || data[0] != 0x81) return false;
    out.profile = data[1] >> 5;
    out.level = data[1] & 0x1F;
    out.configObus.assign(data + 4, data + size);
    out.valid = true;
    FindAv1SequenceHeader(out.configObus.data(), out.configObus.size(), out);
    return true;
}

bool ParseVp9DecoderConfig(const uint8_t* data, size_t size, Vp9Config& out) {
    out = Vp9Config{};
    constexpr size_t kRecord = 8;  // through codecIntializationDataSize
    if (data == nullptr || size < 4) return false;
    const bool boxed = data[2] == 0 && data[3] == 0;
    if (boxed && (data[0] != 1 || data[1] != 0)) return false;
    const size_t start = boxed ? 4 : 0;
    if (size - start < kRecord) return false;
    const uint8_t* record = data + start;
    if (flvbytes::ReadBE16(record + 6) > size - start - kRecord) return false;
    out.recordStart = uint8_t(start);
    out.profile = record[0];
    out.level = record[1];
    out.bitDepth = record[2] >> 4;
    out.valid = true;
    return true;
}

bool ParseVp9KeyFrameSize(const uint8_t* data, size_t size, uint32_t& width, uint32_t& height) {
    CFlvBitReader bits(data, size);
    if (bits.Bits(2) != 2) return false;  // frame_marker
    const unsigned low = bits.Bits(1);
    const unsigned profile = (bits.Bits(1) << 1) | low;
    if (profile == 3) bits.Skip(1);
    if (bits.Flag()) return false;                // show_existing_frame
    if (bits.Flag()) return false;                // frame_type: 1 is not a key frame
    bits.Skip(2);                                 // show_frame, error_resilient_mode
    if (bits.Bits(24) != 0x498342) return false;  // frame_sync_code
    if (profile >= 2) bits.Skip(1);               // ten_or_twelve_bit
    const unsigned colorSpace = bits.Bits(3);
    if (colorSpace != 7) {  // not sRGB
        bits.Skip(1);       // color_range
        if (profile == 1 || profile == 3) bits.Skip(3);
    } else if (profile == 1 || profile == 3) {
        bits.Skip(1);
    }
    const uint32_t w = bits.Bits(16) + 1;
    const uint32_t h = bits.Bits(16) + 1;
    if (!bits.Ok()) return false;
    width = w;
    height = h;
    return true;
}

}  // namespace flvcodec
