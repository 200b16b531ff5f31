#include "flvsplice/codec/FlvAvcConfig.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

#include "flvsplice/codec/FlvBitReader.h"
#include "flvsplice/common/ByteOrder.h"

namespace flvcodec {

namespace {

constexpr uint8_t kNalTypeSps = 7;

// The profiles whose SPS carries chroma_format_idc, bit depths and scaling matrices.
bool HasChromaInfo(uint32_t profile) {
    constexpr uint32_t kProfiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    return std::find(std::begin(kProfiles), std::end(kProfiles), profile) != std::end(kProfiles);
}

// scaling_list(): only the number of bits matters here. The list ends early once a delta
// makes the next scale 0 (the default matrix, or the rest repeating the last scale).
bool SkipScalingList(CFlvBitReader& reader, unsigned count) {
    int32_t last = 8;
    for (unsigned j = 0; j < count; ++j) {
        const int32_t delta = reader.Se();
        if (!reader.Ok() || delta < -128 || delta > 127) return false;
        const int32_t next = (last + delta + 256) % 256;
        if (next == 0) break;
        last = next;
    }
    return true;
}

// The fields of an SPS this module reports, before they are copied into an AvcConfig.
struct SpsFields {
    uint32_t profile = 0;
    uint32_t constraints = 0;
    uint32_t level = 0;
    uint32_t chromaFormat = 1;
    bool separateColourPlane = false;
    uint32_t bitDepthLuma = 8;
    uint32_t bitDepthChroma = 8;
    bool frameMbsOnly = true;
    uint32_t width = 0;
    uint32_t height = 0;
};

bool ReadSps(CFlvBitReader& r, SpsFields& sps) {
    sps.profile = r.Bits(8);
    sps.constraints = r.Bits(8);
    sps.level = r.Bits(8);
    if (r.Ue() > 31) return false;  // seq_parameter_set_id
    if (HasChromaInfo(sps.profile)) {
        sps.chromaFormat = r.Ue();
        if (sps.chromaFormat > 3) return false;
        if (sps.chromaFormat == 3) sps.separateColourPlane = r.Flag();
        const uint32_t lumaMinus8 = r.Ue();
        const uint32_t chromaMinus8 = r.Ue();
        if (lumaMinus8 > 6 || chromaMinus8 > 6) return false;
        sps.bitDepthLuma = lumaMinus8 + 8;
        sps.bitDepthChroma = chromaMinus8 + 8;
        r.Skip(1);       // qpprime_y_zero_transform_bypass_flag
        if (r.Flag()) {  // seq_scaling_matrix_present_flag
            const unsigned lists = sps.chromaFormat != 3 ? 8 : 12;
            for (unsigned i = 0; i < lists; ++i) {
                if (r.Flag() && !SkipScalingList(r, i < 6 ? 16 : 64)) return false;
            }
        }
    }
    if (r.Ue() > 12) return false;  // log2_max_frame_num_minus4
    const uint32_t pocType = r.Ue();
    if (pocType == 0) {
        if (r.Ue() > 12) return false;  // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
        r.Skip(1);  // delta_pic_order_always_zero_flag
        r.Se();     // offset_for_non_ref_pic
        r.Se();     // offset_for_top_to_bottom_field
        const uint32_t cycle = r.Ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && r.Ok(); ++i) r.Se();  // offset_for_ref_frame[i]
    } else if (pocType != 2) {
        return false;
    }
    r.Ue();     // max_num_ref_frames
    r.Skip(1);  // gaps_in_frame_num_value_allowed_flag
    const uint64_t widthInMbs = uint64_t(r.Ue()) + 1;
    const uint64_t heightInMapUnits = uint64_t(r.Ue()) + 1;
    sps.frameMbsOnly = r.Flag();
    if (!sps.frameMbsOnly) r.Skip(1);  // mb_adaptive_frame_field_flag
    r.Skip(1);                         // direct_8x8_inference_flag
    uint64_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.Flag()) {  // frame_cropping_flag
        cropLeft = r.Ue();
        cropRight = r.Ue();
        cropTop = r.Ue();
        cropBottom = r.Ue();
    }
    r.Skip(1);  // vui_parameters_present_flag: the fixed part must be complete
    if (!r.Ok()) return false;

    // Crop offsets count chroma samples horizontally and, with field coding, pairs of rows.
    const uint64_t fieldFactor = sps.frameMbsOnly ? 1 : 2;
    const uint32_t chromaArrayType = sps.separateColourPlane ? 0 : sps.chromaFormat;
    uint64_t cropUnitX = 1;
    uint64_t cropUnitY = fieldFactor;
    if (chromaArrayType != 0) {
        cropUnitX = chromaArrayType == 3 ? 1 : 2;
        cropUnitY = (chromaArrayType == 1 ? 2 : 1) * fieldFactor;
    }
    // Every term is below 2^32 * 4, so none of this can overflow 64 bits.
    const uint64_t codedWidth = widthInMbs * 16;
    const uint64_t codedHeight = heightInMapUnits * 16 * fieldFactor;
    const uint64_t cropX = cropUnitX * (cropLeft + cropRight);
    const uint64_t cropY = cropUnitY * (cropTop + cropBottom);
    if (cropX >= codedWidth || cropY >= codedHeight) return false;
    const uint64_t width = codedWidth - cropX;
    const uint64_t height = codedHeight - cropY;
    if (width > std::numeric_limits<uint32_t>::max() ||
        height > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    sps.width = uint32_t(width);
    sps.height = uint32_t(height);
    return true;
}

// Calls unit(pointer, length) for every non-empty length-prefixed NAL unit, in order. False
// for a lengthSize other than 1, 2 or 4 and at the first length (or length field) that runs
// past the end.
template <class Unit>
bool ForEachUnit(const uint8_t* data, size_t size, unsigned lengthSize, Unit&& unit) {
    if (lengthSize != 1 && lengthSize != 2 && lengthSize != 4) return false;
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < lengthSize) return false;
        const uint32_t length = lengthSize == 1   ? data[pos]
                                : lengthSize == 2 ? flvbytes::ReadBE16(data + pos)
                                                  : flvbytes::ReadBE32(data + pos);
        pos += lengthSize;
        if (length > size - pos) return false;
        if (length > 0) unit(data + pos, size_t(length));
        pos += length;
    }
    return true;
}

// Reads count parameter sets (16-bit length, then the NAL unit) from data[pos...].
bool ReadParameterSets(const uint8_t* data, size_t size, size_t& pos, unsigned count,
                       std::vector<std::vector<uint8_t>>& sets) {
    for (unsigned i = 0; i < count; ++i) {
        if (size - pos < 2) return false;
        const uint32_t length = flvbytes::ReadBE16(data + pos);
        pos += 2;
        if (length > size - pos) return false;
        sets.emplace_back(data + pos, data + pos + length);
        pos += length;
    }
    return true;
}

}  // namespace

bool ParseH264Sps(const uint8_t* nal, size_t size, AvcConfig& out) {
    out.width = 0;
    out.height = 0;
    if (nal == nullptr || size < 2 || (nal[0] & 0x80) != 0 || (nal[0] & 0x1F) != kNalTypeSps) {
        return false;
    }
    const std::vector<uint8_t> rbsp = ToRbsp(nal + 1, size - 1);
    CFlvBitReader reader(rbsp.data(), rbsp.size());
    SpsFields sps;
    if (!ReadSps(reader, sps)) return false;
    out.profile = uint8_t(sps.profile);
    out.compatibility = uint8_t(sps.constraints);
    out.level = uint8_t(sps.level);
    out.chromaFormat = sps.chromaFormat;
    out.bitDepthLuma = sps.bitDepthLuma;
    out.bitDepthChroma = sps.bitDepthChroma;
    out.frameMbsOnly = sps.frameMbsOnly;
    out.width = sps.width;
    out.height = sps.height;
    return true;
}

bool ParseAvcDecoderConfig(const uint8_t* data, size_t size, AvcConfig& out) {
    out = AvcConfig{};
    // version, profile, compatibility, level, length size, SPS count, PPS count
    if (data == nullptr || size < 7 || data[0] != 1) return false;
    AvcConfig config;
    config.profile = data[1];
    config.compatibility = data[2];
    config.level = data[3];
    const unsigned lengthSizeMinusOne = data[4] & 0x03;
    if (lengthSizeMinusOne == 2) return false;
    config.nalLengthSize = uint8_t(lengthSizeMinusOne + 1);
    size_t pos = 5;
    const unsigned spsCount = data[pos++] & 0x1F;
    if (!ReadParameterSets(data, size, pos, spsCount, config.sps)) return false;
    if (pos >= size) return false;
    const unsigned ppsCount = data[pos++];
    if (!ReadParameterSets(data, size, pos, ppsCount, config.pps)) return false;

    // The high profiles may append chroma format, bit depths and SPS extensions; a record that
    // stops short of them (many writers leave them out) is still whole.
    const bool extensible = config.profile == 100 || config.profile == 110 ||
                            config.profile == 122 || config.profile == 144;
    if (extensible && size - pos >= 4) {
        std::vector<std::vector<uint8_t>> extensions;
        size_t extPos = pos + 4;
        if (ReadParameterSets(data, size, extPos, data[pos + 3], extensions)) {
            config.chromaFormat = data[pos] & 0x03;
            config.bitDepthLuma = (data[pos + 1] & 0x07) + 8u;
            config.bitDepthChroma = (data[pos + 2] & 0x07) + 8u;
        }
    }

    if (!config.sps.empty()) {
        const std::vector<uint8_t>& first = config.sps.front();
        AvcConfig fromSps;
        if (ParseH264Sps(first.data(), first.size(), fromSps)) {
            config.width = fromSps.width;
            config.height = fromSps.height;
            config.chromaFormat = fromSps.chromaFormat;
            config.bitDepthLuma = fromSps.bitDepthLuma;
            config.bitDepthChroma = fromSps.bitDepthChroma;
            config.frameMbsOnly = fromSps.frameMbsOnly;
        }
    }
    config.valid = true;
    out = std::move(config);
    return true;
}

bool AppendAnnexB(const uint8_t* data, size_t size, unsigned lengthSize,
                  std::vector<uint8_t>& out) {
    static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
    return ForEachUnit(data, size, lengthSize, [&out](const uint8_t* unit, size_t length) {
        out.insert(out.end(), kStartCode, kStartCode + 4);
        out.insert(out.end(), unit, unit + length);
    });
}

uint32_t H264NalTypes(const uint8_t* data, size_t size, unsigned lengthSize) {
    uint32_t types = 0;
    ForEachUnit(data, size, lengthSize, [&types](const uint8_t* unit, size_t) {
        types |= uint32_t(1) << (unit[0] & 0x1F);
    });
    return types;
}

}  // namespace flvcodec
