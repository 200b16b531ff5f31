// Writes the On2 VP6 fixtures that ffmpeg cannot encode:
//
//   make_vp6 DIR    -> DIR/vp6_pcm.flv, DIR/vp6_alpha.flv
//
// The packets carry valid FLV and VP6 frame headers (size adjustment, frame
// type, version, macroblock rows and columns) followed by arbitrary bytes, so
// the files are judged on their structure, not on decoded pictures.
// vp6_pcm.flv: 188 x 136 VP6 at 25 frames per second with a key frame every
// six frames, and 16-bit mono PCM at 11025 Hz (any bytes are valid samples).
// vp6_alpha.flv: 108 x 60 VP6 with alpha at 20 frames per second, video only.

#include <cstdio>
#include <string>

#include "FlvBuilder.h"

using namespace flvtest;

namespace {

// Frame header of a VP6 frame: a key frame carries version and profile,
// then stored and displayed macroblock rows and columns.
Bytes Vp6Frame(bool key, uint8_t rows, uint8_t cols, size_t bytes, uint8_t seed) {
    Bytes out = key ? Bytes{0x00, 0x46, rows, cols, rows, cols} : Bytes{0x80};
    return Concat(std::move(out), Pattern(bytes, seed));
}

// Sizes that vary from frame to frame, odd ones included.
size_t FrameBytes(int i, bool key) { return (key ? 400 : 60) + size_t(i % 5) * 37; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_vp6 DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    try {
        FlvBuilder vp6;
        vp6.Header(0x05);
        for (int i = 0; i < 50; ++i) {
            const uint32_t time = uint32_t(i) * 40;
            const bool key = i % 6 == 0;
            // PCM little endian (3), 11025 Hz (1), 16-bit, mono: 441 samples.
            vp6.Audio(time, AudioPayload(0x36, Pattern(882, uint8_t(i))));
            const Bytes frame = Vp6Frame(key, 9, 12, FrameBytes(i, key), uint8_t(i));
            // Size adjustment 0x48: 4 columns and 8 rows of pixels cropped.
            vp6.Video(time, VideoPayload(key ? 1 : 2, 4, Concat(Bytes{0x48}, frame)));
        }
        vp6.WriteTo(dir + "/vp6_pcm.flv");

        FlvBuilder alpha;
        alpha.Header(0x01);
        for (int i = 0; i < 40; ++i) {
            const bool key = i % 8 == 0;
            const Bytes color = Vp6Frame(key, 4, 7, FrameBytes(i, key), uint8_t(i));
            const Bytes alphaPlane = Vp6Frame(key, 4, 7, FrameBytes(i, key) / 4, uint8_t(i + 100));
            // Size adjustment 0x44, then the 24-bit offset of the alpha plane.
            Bytes packet{0x44};
            PutBE(packet, color.size(), 3);
            packet = Concat(Concat(std::move(packet), color), alphaPlane);
            alpha.Video(uint32_t(i) * 50, VideoPayload(key ? 1 : 2, 5, packet));
        }
        alpha.WriteTo(dir + "/vp6_alpha.flv");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_vp6: %s\n", e.what());
        return 1;
    }
    return 0;
}
