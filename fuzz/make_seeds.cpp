// Writes the built seed files of the fuzz corpus into the directory given:
// small, valid documents of every payload kind the library knows, plus a few
// that are valid only in odd ways. make_corpus.sh compiles and runs it.

#include <cstdio>
#include <string>

#include "FlvBuilder.h"

using namespace flvtest;

namespace {

void Write(const std::string& dir, const char* name, const FlvBuilder& b) {
    b.WriteTo(dir + "/" + name);
    printf("%s/%s: %zu bytes\n", dir.c_str(), name, b.Size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];

    FlvBuilder av;  // H.263 and MP3 with metadata, key frame every 4 frames
    av.Header(0x05).Script(0, OnMetaDataBody({{"duration", 0.8}, {"width", 128.0}}));
    for (uint32_t i = 0; i < 8; ++i) av.H263(i * 100, i % 4 == 0).Mp3(i * 100 + 10, 24);
    Write(dir, "h263_mp3.flv", av);

    FlvBuilder sized;  // H.263 with explicit 8-bit and 16-bit picture sizes
    sized.Header(0x01);
    for (uint32_t i = 0; i < 4; ++i) {
        sized.Video(i * 40, VideoPayload(i == 2 ? 1 : 2, 2, H263Packet(uint8_t(i & 1), 176, 144)));
    }
    Write(dir, "h263_sizes.flv", sized);

    FlvBuilder vp6;  // VP6 and ADPCM, one frame cropped by the size adjustment
    vp6.Header(0x05);
    for (uint32_t i = 0; i < 5; ++i) {
        vp6.Video(i * 33, VideoPayload(i % 3 == 0 ? 1 : 2, 4, Vp6Packet(i == 1 ? 0x42 : 0, 8, 10)))
            .Audio(i * 33, AudioPayload(0x16, Pattern(20, uint8_t(i))));
    }
    Write(dir, "vp6_adpcm.flv", vp6);

    FlvBuilder alpha;  // VP6 with alpha and Nellymoser
    alpha.Header(0x05);
    for (uint32_t i = 0; i < 4; ++i) {
        alpha.Video(i * 50, VideoPayload(i == 0 ? 1 : 2, 5, Vp6AlphaPacket(0x11, 6, 8)))
            .Audio(i * 50, AudioPayload(0x6A, Pattern(16, uint8_t(i))));
    }
    Write(dir, "vp6alpha_nelly.flv", alpha);

    FlvBuilder screen;  // screen video, both versions
    screen.Header(0x01);
    for (uint32_t i = 0; i < 4; ++i) {
        screen.Video(i * 100, VideoPayload(i == 0 ? 1 : 2, i < 2 ? 3 : 6, ScreenPacket(320, 200)));
    }
    Write(dir, "screen.flv", screen);

    FlvBuilder pcm;  // audio only: PCM, then AAC with its packet type byte
    pcm.Header(0x04);
    for (uint32_t i = 0; i < 4; ++i) pcm.Audio(i * 20, AudioPayload(0x3F, Pattern(32)));
    pcm.Audio(80, AudioPayload(0xAF, Concat(Bytes{0x00, 0x12, 0x10}, Pattern(4))));
    Write(dir, "pcm_aac.flv", pcm);

    FlvBuilder odd;  // header with extra bytes, extended and falling times
    odd.Header(0x05, Bytes{1, 2, 3, 4});
    const uint32_t times[] = {0x00FFFFF0, 0x01000010, 0x00000020, 0x01000100};
    for (uint32_t t : times) odd.H263(t, t == 0x00FFFFF0, 2, 8).Mp3(t, 8);
    odd.Script(5, Bytes{0x02, 0x00, 0x01, 'x'});
    Write(dir, "odd_times.flv", odd);

    FlvBuilder unknown;  // a video codec the library does not parse
    unknown.Header(0x01);
    for (uint32_t i = 0; i < 3; ++i) unknown.Video(i * 40, VideoPayload(1, 7, Pattern(12)));
    Write(dir, "avc.flv", unknown);

    // Enhanced multitrack video, two HEVC tracks (IDR then trailing
    // pictures, 4-byte NAL lengths, a short hvcC-like record), with FLAC.
    FlvBuilder multi;
    multi.Header(0x05);
    auto tracks = [](uint8_t first, uint8_t second, const Bytes& data) {
        Bytes out{first, second, 'h', 'v', 'c', '1'};
        for (uint8_t id = 0; id < 2; ++id) {
            out.push_back(id);
            PutBE(out, data.size(), 3);
            out = Concat(out, data);
        }
        return out;
    };
    Bytes record{1,    1,    0x60, 0,    0,    0,    0x90, 0, 0, 0,    0, 0,
                 0x5D, 0xF0, 0,    0xFC, 0xFD, 0xF8, 0xF8, 0, 0, 0x0F, 0};
    multi.Video(0, tracks(0x96, 0x10, record));
    Bytes streaminfo = Pattern(34, 3);
    multi.Audio(0, Concat(Bytes{0x90, 'f', 'L', 'a', 'C'}, streaminfo));
    for (uint32_t i = 0; i < 6; ++i) {
        Bytes frame{0, 0, 0};  // composition time
        PutBE(frame, 6, 4);
        frame = Concat(frame, Bytes{uint8_t((i % 3 == 0 ? 19 : 1) << 1), 1, 0xAF, 1, 2, 3});
        multi.Video(i * 40, tracks(i % 3 == 0 ? 0x96 : 0xA6, 0x11, frame));
        multi.Audio(i * 40, Concat(Bytes{0x91, 'f', 'L', 'a', 'C'}, Pattern(16, uint8_t(i))));
    }
    Write(dir, "hevc_multitrack_flac.flv", multi);
    return 0;
}
