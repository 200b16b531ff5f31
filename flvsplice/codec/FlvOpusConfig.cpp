#include "flvsplice/codec/FlvOpusConfig.h"

#include <cstring>

#include "flvsplice/common/ByteOrder.h"

namespace flvcodec {

bool ParseOpusHead(const uint8_t* data, size_t size, OpusConfig& out) {
    out = OpusConfig{};
    constexpr size_t kFixed = 19;
    if (data == nullptr || size < kFixed || std::memcmp(data, "OpusHead", 8) != 0) return false;
    // Versions 1..15 keep this layout; 16 and up would not.
    if (data[8] == 0 || data[8] > 15 || data[9] == 0) return false;
    out.channels = data[9];
    out.preSkip = flvbytes::ReadLE16(data + 10);
    out.inputRate = flvbytes::ReadLE32(data + 12);
    out.outputGain = static_cast<int16_t>(flvbytes::ReadLE16(data + 16));
    out.mappingFamily = data[18];
    if (out.mappingFamily != 0) {
        if (size - kFixed < 2u + out.channels) return false;
        out.streams = data[19];
        out.coupled = data[20];
        if (out.streams == 0 || out.coupled > out.streams) return false;
        out.mapping.assign(data + 21, data + 21 + out.channels);
    } else if (out.channels > 2) {
        return false;
    }
    out.valid = true;
    return true;
}

uint32_t OpusPacketSamples(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 1) return 0;
    const unsigned config = data[0] >> 3;
    // Frame lengths in 48 kHz samples: SILK 10/20/40/60 ms, hybrid 10/20 ms,
    // CELT 2.5/5/10/20 ms.
    uint32_t frame = 0;
    if (config < 12) {
        constexpr uint32_t kSilk[4] = {480, 960, 1920, 2880};
        frame = kSilk[config & 3];
    } else if (config < 16) {
        frame = (config & 1) ? 960 : 480;
    } else {
        frame = 120u << (config & 3);
    }
    uint32_t frames = 1;
    switch (data[0] & 3) {
        case 0:
            break;
        case 1:
        case 2:
            frames = 2;
            break;
        default:
            if (size < 2) return 0;
            frames = data[1] & 0x3F;
            break;
    }
    const uint32_t samples = frame * frames;
    return samples <= 5760 ? samples : 0;
}

}  // namespace flvcodec
