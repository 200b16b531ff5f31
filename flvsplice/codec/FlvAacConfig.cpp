#include "flvsplice/codec/FlvAacConfig.h"

#include "flvsplice/codec/FlvBitReader.h"

namespace flvcodec {

namespace {

constexpr uint32_t kSampleRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                       22050, 16000, 12000, 11025, 8000,  7350};
constexpr uint32_t kExplicitRate = 15;
constexpr uint32_t kSbr = 5;
constexpr uint32_t kPs = 29;
constexpr uint32_t kErBsac = 22;
constexpr uint32_t kSbrSync = 0x2B7;
constexpr uint32_t kPsSync = 0x548;

uint32_t ReadObjectType(CFlvBitReader& reader) {
    const uint32_t type = reader.Bits(5);
    return type == 31 ? 32 + reader.Bits(6) : type;
}

// samplingFrequencyIndex and the rate it stands for (the 24-bit value after index 15).
// False for a reserved index or an explicit rate of 0.
bool ReadSampleRate(CFlvBitReader& reader, uint32_t& index, uint32_t& rate) {
    index = reader.Bits(4);
    if (index == kExplicitRate) {
        rate = reader.Bits(24);
    } else if (index < 13) {
        rate = kSampleRates[index];
    } else {
        return false;
    }
    return reader.Ok() && rate != 0;
}

uint32_t ChannelsOf(uint32_t channelConfig) {
    // 0 for the PCE (0) and the reserved configurations
    constexpr uint32_t kChannels[16] = {0, 1, 2, 3, 4, 5, 6, 8, 0, 0, 0, 7, 8, 0, 8, 0};
    return channelConfig < 16 ? kChannels[channelConfig] : 0;
}

// The object types whose specific config is a GASpecificConfig.
bool IsGeneralAudio(uint32_t type) {
    return (type >= 1 && type <= 4) || type == 6 || type == 7 || type == 17 ||
           (type >= 19 && type <= 23);
}

// The error-resilient object types, whose config carries epConfig.
bool IsErrorResilient(uint32_t type) {
    return (type >= 17 && type <= 27 && type != 18) || type == 39;
}

// program_config_element(): only its length matters here. Its byte_alignment() counts from
// the start of the AudioSpecificConfig, which is where the reader starts.
bool SkipProgramConfigElement(CFlvBitReader& r) {
    r.Skip(4 + 2 + 4);  // element_instance_tag, object_type, sampling_frequency_index
    const size_t front = r.Bits(4);
    const size_t side = r.Bits(4);
    const size_t back = r.Bits(4);
    const size_t lfe = r.Bits(2);
    const size_t assocData = r.Bits(3);
    const size_t validCc = r.Bits(4);
    if (r.Flag()) r.Skip(4);  // mono_mixdown_element_number
    if (r.Flag()) r.Skip(4);  // stereo_mixdown_element_number
    if (r.Flag()) r.Skip(3);  // matrix_mixdown_idx, pseudo_surround_enable
    // is_cpe + tag for front, side and back elements; tags for LFE and data elements;
    // is_ind_sw + tag for coupling channel elements.
    r.Skip((front + side + back) * 5 + lfe * 4 + assocData * 4 + validCc * 5);
    r.ByteAlign();
    r.Skip(size_t(r.Bits(8)) * 8);  // comment_field_bytes
    return r.Ok();
}

bool ReadGaSpecificConfig(CFlvBitReader& r, uint32_t type, AacConfig& out) {
    out.frameLength960 = r.Flag();
    if (r.Flag()) r.Skip(14);  // dependsOnCoreCoder: coreCoderDelay
    const bool extensionFlag = r.Flag();
    if (out.channelConfig == 0 && !SkipProgramConfigElement(r)) return false;
    if (type == 6 || type == 20) r.Skip(3);  // layerNr
    if (extensionFlag) {
        if (type == kErBsac) r.Skip(5 + 11);  // numOfSubFrame, layer_length
        if (type == 17 || type == 19 || type == 20 || type == 23) {
            r.Skip(3);  // the three aac*ResilienceFlags
        }
        r.Skip(1);  // extensionFlag3
    }
    return r.Ok();
}

// The backward-compatible extension after the core config: 0x2B7, object type 5 with its
// flag and rate, then possibly 0x548 and the PS flag (or, for ER BSAC, flag, rate and
// channels). Taken only when it reads completely; anything else there is ignored.
void ReadSyncExtension(CFlvBitReader& r, AacConfig& out) {
    if (r.BitsLeft() < 16 || r.Bits(11) != kSbrSync) return;
    const uint32_t type = ReadObjectType(r);
    if (type != kSbr && type != kErBsac) return;
    if (!r.Flag()) return;  // sbrPresentFlag
    uint32_t index = 0;
    uint32_t rate = 0;
    if (!ReadSampleRate(r, index, rate)) return;
    bool ps = false;
    if (type == kSbr) {
        if (r.BitsLeft() >= 12 && r.Bits(11) == kPsSync) ps = r.Flag();
    } else {
        r.Skip(4);  // extensionChannelConfiguration
    }
    if (!r.Ok()) return;
    out.sbr = true;
    out.ps = ps;
    out.extensionObjectType = ps ? kPs : kSbr;
    out.extensionSampleRate = rate;
}

}  // namespace

bool ParseAudioSpecificConfig(const uint8_t* data, size_t size, AacConfig& out) {
    out = AacConfig{};
    if (data == nullptr || size < 2) return false;
    CFlvBitReader r(data, size);
    uint32_t type = ReadObjectType(r);
    out.objectType = type;
    if (!r.Ok() || type == 0) return false;
    if (!ReadSampleRate(r, out.samplingIndex, out.sampleRate)) return false;
    out.channelConfig = r.Bits(4);
    if (!r.Ok()) return false;
    out.channels = ChannelsOf(out.channelConfig);

    if (type == kSbr || type == kPs) {
        out.extensionObjectType = type;
        out.sbr = true;
        out.ps = type == kPs;
        uint32_t index = 0;
        if (!ReadSampleRate(r, index, out.extensionSampleRate)) return false;
        type = ReadObjectType(r);
        if (!r.Ok() || type == 0 || type == kSbr || type == kPs) return false;
        out.objectType = type;
        if (type == kErBsac) r.Skip(4);  // extensionChannelConfiguration
    }

    if (IsGeneralAudio(type)) {
        if (!ReadGaSpecificConfig(r, type, out)) return false;
        const bool protectedConfig = IsErrorResilient(type) && r.Bits(2) >= 2;  // epConfig
        if (!r.Ok()) return false;
        if (!protectedConfig && out.extensionObjectType == 0) ReadSyncExtension(r, out);
    }
    out.valid = true;
    return true;
}

bool MakeAdtsHeader(const AacConfig& config, size_t payloadSize, uint8_t header[7]) {
    constexpr size_t kHeaderSize = 7;
    constexpr size_t kMaxFrame = 0x1FFF;  // 13-bit aac_frame_length, header included
    if (config.objectType == 0 || config.objectType > 4) return false;
    if (config.samplingIndex > 12 || config.frameLength960) return false;
    if (config.channelConfig == 0 || config.channelConfig > 7) return false;
    if (payloadSize > kMaxFrame - kHeaderSize) return false;
    const uint32_t frameLength = uint32_t(payloadSize + kHeaderSize);
    const uint32_t profile = config.objectType - 1;
    header[0] = 0xFF;  // syncword
    header[1] = 0xF1;  // syncword, ID 0 (MPEG-4), layer 0, protection_absent
    header[2] = uint8_t((profile << 6) | (config.samplingIndex << 2) | (config.channelConfig >> 2));
    // original_copy, home, copyright bits 0; then the frame length
    header[3] = uint8_t(((config.channelConfig & 0x03) << 6) | (frameLength >> 11));
    header[4] = uint8_t(frameLength >> 3);
    // adts_buffer_fullness 0x7FF, number_of_raw_data_blocks_in_frame 0
    header[5] = uint8_t(((frameLength & 0x07) << 5) | 0x1F);
    header[6] = 0xFC;
    return true;
}

}  // namespace flvcodec
