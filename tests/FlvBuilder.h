#pragma once

// Builds FLV byte streams for the tests, valid or deliberately broken.
//
//   FlvBuilder b;
//   b.Header(0x05)                        // header + first PreviousTagSize 0
//       .Audio(0, AudioPayload(0x2F, Pattern(100)))
//       .Video(0, VideoPayload(1, 2, H263Packet(5)))
//       .Script(0, OnMetaDataBody({{"duration", 1.0}}));
//   b.WriteTo(path);
//
// Every tag is followed by its correct PreviousTagSize unless autoPrevTagSize
// is false; PrevTagSize(v) appends any value. Times above 24 bits go into the
// extension byte. tagOffsets records where each tag header starts.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace flvtest {

using Bytes = std::vector<uint8_t>;

inline void PutBE(Bytes& out, uint64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) out.push_back(uint8_t(value >> (8 * i)));
}

inline Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The first n bytes (all of them when there are fewer).
inline Bytes Head(const Bytes& bytes, size_t n) {
    return Bytes(bytes.begin(), bytes.begin() + std::min(n, bytes.size()));
}

// n bytes of a recognisable pattern (never all zero), different per seed.
inline Bytes Pattern(size_t n, uint8_t seed = 1) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t((i * 7 + seed * 31 + (i >> 8)) | 1);
    return out;
}

// Appends bit fields most significant bit first.
class BitWriter {
public:
    void Put(uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            if (m_bit == 0) m_bytes.push_back(0);
            if ((value >> i) & 1) m_bytes.back() |= uint8_t(0x80 >> m_bit);
            m_bit = (m_bit + 1) & 7;
        }
    }
    Bytes Take() {
        m_bit = 0;
        return std::move(m_bytes);
    }

private:
    Bytes m_bytes;
    int m_bit = 0;
};

// ---- payloads ----------------------------------------------------------

// Audio payload: the audio header byte, then the audio data.
inline Bytes AudioPayload(uint8_t header, const Bytes& data = {}) {
    Bytes out{header};
    return Concat(std::move(out), data);
}

// Video payload: the video header byte (frame type, codec id), then the packet.
inline Bytes VideoPayload(uint8_t frameType, uint8_t codecId, const Bytes& packet) {
    Bytes out{uint8_t((frameType << 4) | (codecId & 0x0F))};
    return Concat(std::move(out), packet);
}

// Sorenson H.263 picture header with the given size code (0..7). Size code 0
// carries width and height as 8-bit fields, size code 1 as 16-bit fields; the
// other codes ignore width and height. The header is followed by picture
// type, deblocking, quantizer and extra-info bits, padded to a byte, then tail.
inline Bytes H263Packet(uint8_t sizeCode, uint32_t width = 0, uint32_t height = 0,
                        const Bytes& tail = Pattern(16), uint8_t temporalRef = 0x5A) {
    BitWriter w;
    w.Put(1, 17);  // picture start code
    w.Put(0, 5);   // version
    w.Put(temporalRef, 8);
    w.Put(sizeCode, 3);
    if (sizeCode == 0) {
        w.Put(width, 8);
        w.Put(height, 8);
    } else if (sizeCode == 1) {
        w.Put(width, 16);
        w.Put(height, 16);
    }
    w.Put(0, 2);   // picture type: intra
    w.Put(1, 1);   // deblocking
    w.Put(13, 5);  // quantizer
    w.Put(0, 1);   // no extra information
    return Concat(w.Take(), tail);
}

// The number of H.263 header bytes the library keeps for a size code.
inline uint32_t H263HeaderLength(uint8_t sizeCode) {
    return sizeCode == 0 ? 7 : sizeCode == 1 ? 9 : 5;
}

// Screen video header: block width code, 12-bit width, block height code,
// 12-bit height; then tail.
inline Bytes ScreenPacket(uint32_t width, uint32_t height, uint8_t blockWidth = 1,
                          uint8_t blockHeight = 1, const Bytes& tail = Pattern(16)) {
    Bytes out;
    PutBE(out, (uint32_t(blockWidth & 0x0F) << 12) | (width & 0xFFF), 2);
    PutBE(out, (uint32_t(blockHeight & 0x0F) << 12) | (height & 0xFFF), 2);
    return Concat(std::move(out), tail);
}

// VP6: size adjustment (high nibble horizontal, low nibble vertical), two
// frame header bytes, macroblock rows, macroblock columns; then tail.
inline Bytes Vp6Packet(uint8_t adjustment, uint8_t rows, uint8_t cols,
                       const Bytes& tail = Pattern(16)) {
    Bytes out{adjustment, 0x00, 0x78, rows, cols};
    return Concat(std::move(out), tail);
}

// VP6 with alpha: size adjustment, 24-bit alpha offset, two frame header
// bytes, macroblock rows, macroblock columns; then tail.
inline Bytes Vp6AlphaPacket(uint8_t adjustment, uint8_t rows, uint8_t cols,
                            uint32_t alphaOffset = 0x000123, const Bytes& tail = Pattern(16)) {
    Bytes out{adjustment};
    PutBE(out, alphaOffset, 3);
    const Bytes rest{0x00, 0x78, rows, cols};
    return Concat(Concat(std::move(out), rest), tail);
}

// An AVCDecoderConfigurationRecord with one SPS and one PPS (4-byte NAL
// lengths); `variant` changes the PPS, so two records differ while the
// picture size stays.
inline Bytes AvcConfigRecord(uint8_t variant = 0) {
    return {0x01,
            0x42,
            0xC0,
            0x1E,
            0xFF,
            0xE1,
            0x00,
            0x04,
            0x67,
            0x42,
            0xC0,
            0x1E,
            0x01,
            0x00,
            0x02,
            0x68,
            uint8_t(0xCE + variant)};
}

// A video payload of codec 7: frame type, packet type, composition time.
inline Bytes AvcPayload(uint8_t frameType, uint8_t packetType, const Bytes& data,
                        uint32_t cts = 0) {
    Bytes packet{packetType};
    PutBE(packet, cts & 0xFFFFFF, 3);
    return VideoPayload(frameType, 7, Concat(packet, data));
}

// Script-data string: 16-bit length, then the characters.
inline void PutScriptString(Bytes& out, const std::string& text) {
    PutBE(out, text.size(), 2);
    out.insert(out.end(), text.begin(), text.end());
}

inline void PutScriptNumber(Bytes& out, double value) {
    out.push_back(0x00);
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    PutBE(out, bits, 8);
}

// "onMetaData" followed by an ECMA array of numbers.
inline Bytes OnMetaDataBody(const std::vector<std::pair<std::string, double>>& entries) {
    Bytes out{0x02};
    PutScriptString(out, "onMetaData");
    out.push_back(0x08);
    PutBE(out, entries.size(), 4);
    for (const auto& [key, value] : entries) {
        PutScriptString(out, key);
        PutScriptNumber(out, value);
    }
    PutBE(out, 0x000009, 3);
    return out;
}

// ---- tags and files ----------------------------------------------------

// The 11-byte tag header: type, 24-bit data size, 24-bit time, extension
// byte (bits 24-31 of time), 24-bit stream id.
inline Bytes TagHeaderBytes(uint8_t type, uint32_t dataSize, uint32_t time, uint32_t streamId = 0) {
    Bytes out{type};
    PutBE(out, dataSize & 0xFFFFFF, 3);
    PutBE(out, time & 0xFFFFFF, 3);
    out.push_back(uint8_t(time >> 24));
    PutBE(out, streamId & 0xFFFFFF, 3);
    return out;
}

// A whole tag: header plus payload (the data size is the payload's size).
inline Bytes TagBytes(uint8_t type, uint32_t time, const Bytes& payload, uint32_t streamId = 0) {
    return Concat(TagHeaderBytes(type, uint32_t(payload.size()), time, streamId), payload);
}

class FlvBuilder {
public:
    static constexpr uint8_t kAudio = 8;
    static constexpr uint8_t kVideo = 9;
    static constexpr uint8_t kScript = 18;

    Bytes bytes;
    std::vector<size_t> tagOffsets;  // offset of each tag header in bytes
    bool autoPrevTagSize = true;

    // Standard header: "FLV", version 1, the flags, data offset 9 + extra.
    FlvBuilder& Header(uint8_t flags = 0x05, const Bytes& extra = {}) {
        return RawHeader({'F', 'L', 'V'}, 1, flags, uint32_t(9 + extra.size()), extra);
    }

    // Any header: signature, version, flags and data offset as given, then
    // the extra bytes, whatever the data offset says.
    FlvBuilder& RawHeader(const Bytes& signature, uint8_t version, uint8_t flags,
                          uint32_t dataOffset, const Bytes& extra = {}) {
        bytes.insert(bytes.end(), signature.begin(), signature.end());
        bytes.push_back(version);
        bytes.push_back(flags);
        PutBE(bytes, dataOffset, 4);
        Append(extra);
        if (autoPrevTagSize) PrevTagSize(0);
        return *this;
    }

    FlvBuilder& PrevTagSize(uint32_t value) {
        PutBE(bytes, value, 4);
        return *this;
    }

    // A tag with the payload; the data size field says payload.size().
    FlvBuilder& Tag(uint8_t type, uint32_t time, const Bytes& payload, uint32_t streamId = 0) {
        return TagWithSize(type, time, uint32_t(payload.size()), payload, streamId);
    }

    // A tag whose data size field says dataSize, whatever payload follows.
    FlvBuilder& TagWithSize(uint8_t type, uint32_t time, uint32_t dataSize, const Bytes& payload,
                            uint32_t streamId = 0) {
        tagOffsets.push_back(bytes.size());
        Append(TagHeaderBytes(type, dataSize, time, streamId));
        Append(payload);
        if (autoPrevTagSize) PrevTagSize(uint32_t(11 + payload.size()));
        return *this;
    }

    FlvBuilder& Audio(uint32_t time, const Bytes& payload, uint32_t streamId = 0) {
        return Tag(kAudio, time, payload, streamId);
    }
    FlvBuilder& Video(uint32_t time, const Bytes& payload, uint32_t streamId = 0) {
        return Tag(kVideo, time, payload, streamId);
    }
    FlvBuilder& Script(uint32_t time, const Bytes& payload, uint32_t streamId = 0) {
        return Tag(kScript, time, payload, streamId);
    }

    // Shorthands for the common stream tags.
    FlvBuilder& Mp3(uint32_t time, size_t dataBytes = 32) {
        return Audio(time, AudioPayload(0x2F, Pattern(dataBytes, uint8_t(time))));
    }
    FlvBuilder& H263(uint32_t time, bool key, uint8_t sizeCode = 5, size_t dataBytes = 32) {
        return Video(
            time, VideoPayload(key ? 1 : 2, 2, H263Packet(sizeCode, 0, 0, Pattern(dataBytes, 3))));
    }

    FlvBuilder& Append(const Bytes& more) {
        bytes.insert(bytes.end(), more.begin(), more.end());
        return *this;
    }

    // Drops everything from offset size on.
    FlvBuilder& Truncate(size_t size) {
        if (size < bytes.size()) bytes.resize(size);
        return *this;
    }
    Bytes Truncated(size_t size) const {
        return Bytes(bytes.begin(), bytes.begin() + std::min(size, bytes.size()));
    }

    size_t Size() const { return bytes.size(); }

    const FlvBuilder& WriteTo(const std::string& path) const {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + path);
        return *this;
    }
};

}  // namespace flvtest
