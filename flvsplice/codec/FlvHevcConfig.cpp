#include "flvsplice/codec/FlvHevcConfig.h"

#include "flvsplice/codec/FlvBitReader.h"
#include "flvsplice/common/ByteOrder.h"

namespace flvcodec {

namespace {

constexpr uint8_t kNalSps = 33;
constexpr size_t kFixedBytes = 23;  // through numOfArrays

// profile_tier_level(1, maxSubLayersMinus1): the general part (96 bits), the
// sub-layer flags, their padding to 8 entries and the sub-layers' parts.
void SkipProfileTierLevel(CFlvBitReader& bits, unsigned maxSubLayersMinus1) {
    bits.Skip(96);
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = bits.Flag();
        levelPresent[i] = bits.Flag();
    }
    if (maxSubLayersMinus1 > 0) bits.Skip(2 * (8 - maxSubLayersMinus1));
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) bits.Skip(88);
        if (levelPresent[i]) bits.Skip(8);
    }
}

}  // namespace

bool ParseHevcSps(const uint8_t* nal, size_t size, HevcConfig& out) {
    out.width = 0;
    out.height = 0;
    if (nal == nullptr || size < 3 || ((nal[0] >> 1) & 0x3F) != kNalSps) return false;
    const std::vector<uint8_t> rbsp = ToRbsp(nal + 2, size - 2);
    CFlvBitReader bits(rbsp.data(), rbsp.size());
    bits.Skip(4);  // sps_video_parameter_set_id
    const unsigned maxSubLayersMinus1 = bits.Bits(3);
    bits.Skip(1);  // sps_temporal_id_nesting_flag
    if (maxSubLayersMinus1 > 6) return false;
    SkipProfileTierLevel(bits, maxSubLayersMinus1);
    bits.Ue();  // sps_seq_parameter_set_id
    const uint32_t chroma = bits.Ue();
    if (chroma > 3) return false;
    bool separatePlanes = false;
    if (chroma == 3) separatePlanes = bits.Flag();
    const uint32_t width = bits.Ue();
    const uint32_t height = bits.Ue();
    uint64_t cropX = 0;
    uint64_t cropY = 0;
    if (bits.Flag()) {  // conformance_window_flag
        const uint32_t left = bits.Ue();
        const uint32_t right = bits.Ue();
        const uint32_t top = bits.Ue();
        const uint32_t bottom = bits.Ue();
        // The offsets count chroma samples.
        const unsigned subWidth = !separatePlanes && (chroma == 1 || chroma == 2) ? 2 : 1;
        const unsigned subHeight = !separatePlanes && chroma == 1 ? 2 : 1;
        cropX = (uint64_t(left) + right) * subWidth;
        cropY = (uint64_t(top) + bottom) * subHeight;
    }
    const uint32_t depthLuma = bits.Ue();
    const uint32_t depthChroma = bits.Ue();
    if (!bits.Ok() || cropX >= width || cropY >= height || depthLuma > 8 || depthChroma > 8) {
        return false;
    }
    out.chromaFormat = chroma;
    out.bitDepthLuma = depthLuma + 8;
    out.bitDepthChroma = depthChroma + 8;
    out.width = uint32_t(width - cropX);
    out.height = uint32_t(height - cropY);
    return true;
}

bool ParseHevcDecoderConfig(const uint8_t* data, size_t size, HevcConfig& out) {
    out = HevcConfig{};
    if (data == nullptr || size < kFixedBytes || data[0] != 1) return false;
    out.profileSpace = data[1] >> 6;
    out.tier = (data[1] & 0x20) != 0;
    out.profile = data[1] & 0x1F;
    out.level = data[12];
    out.chromaFormat = data[16] & 3;
    out.bitDepthLuma = (data[17] & 7) + 8u;
    out.bitDepthChroma = (data[18] & 7) + 8u;
    const unsigned lengthSize = (data[21] & 3) + 1u;
    if (lengthSize == 3) return false;
    out.nalLengthSize = uint8_t(lengthSize);
    const unsigned arrays = data[22];
    size_t at = kFixedBytes;
    const uint8_t* sps = nullptr;
    size_t spsSize = 0;
    for (unsigned a = 0; a < arrays; ++a) {
        if (size - at < 3) return false;
        const uint8_t type = data[at] & 0x3F;
        const unsigned count = flvbytes::ReadBE16(data + at + 1);
        at += 3;
        for (unsigned n = 0; n < count; ++n) {
            if (size - at < 2) return false;
            const size_t length = flvbytes::ReadBE16(data + at);
            at += 2;
            if (size - at < length) return false;
            if (type == kNalSps && sps == nullptr) {
                sps = data + at;
                spsSize = length;
            }
            out.nalUnits.emplace_back(data + at, data + at + length);
            at += length;
        }
    }
    out.valid = true;
    if (sps != nullptr) {
        HevcConfig fromSps = out;
        if (ParseHevcSps(sps, spsSize, fromSps)) {
            out.width = fromSps.width;
            out.height = fromSps.height;
            out.chromaFormat = fromSps.chromaFormat;
            out.bitDepthLuma = fromSps.bitDepthLuma;
            out.bitDepthChroma = fromSps.bitDepthChroma;
        }
    }
    return true;
}

}  // namespace flvcodec
