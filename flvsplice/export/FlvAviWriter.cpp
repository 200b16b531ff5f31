#include "flvsplice/export/FlvAviWriter.h"

#include <cstdio>
#include <cstring>

#include "flvsplice/codec/FlvCodecTable.h"
#include "flvsplice/common/ByteOrder.h"

namespace {

void PutFourCC(uint8_t* p, const char* code) { std::memcpy(p, code, 4); }

}  // namespace

CFlvAviWriter::CFlvAviWriter() = default;
CFlvAviWriter::~CFlvAviWriter() = default;

const char* CFlvAviWriter::FourCC(int codec) {
    const flvcodec::VideoCodecInfo* info = flvcodec::FindVideoCodec(uint8_t(codec));
    return info != nullptr && info->aviFourCC != nullptr ? info->aviFourCC : "NULL";
}

uint32_t CFlvAviWriter::SkippedHeaderBytes(int codec) {
    const flvcodec::VideoCodecInfo* info = flvcodec::FindVideoCodec(uint8_t(codec));
    return info != nullptr ? info->aviSkippedBytes : 0;
}

bool CFlvAviWriter::CanWrite(int codec) {
    const flvcodec::VideoCodecInfo* info = flvcodec::FindVideoCodec(uint8_t(codec));
    return codec >= 0 && codec <= 0xFF && info != nullptr && info->aviFourCC != nullptr;
}

bool CFlvAviWriter::BeginFile(const std::wstring& path, int codec, uint32_t width, uint32_t height,
                              int* error) {
    if (!CanWrite(codec)) return false;
    m_codec = codec;
    int scratch = 0;
    if (!m_aviFile.Create(path, error != nullptr ? error : &scratch)) return false;

    using flvbytes::WriteLE16;
    using flvbytes::WriteLE32;
    uint8_t h[kHeaderSize] = {};
    const char* fourCC = FourCC(codec);
    PutFourCC(h + 0, "RIFF");
    PutFourCC(h + 8, "AVI ");
    PutFourCC(h + 12, "LIST");
    WriteLE32(h + 16, 192);
    PutFourCC(h + 20, "hdrl");
    PutFourCC(h + 24, "avih");
    WriteLE32(h + 28, 56);
    WriteLE32(h + 44, 0x10);  // the file has an index
    WriteLE32(h + 56, 1);     // one stream
    WriteLE32(h + 64, width);
    WriteLE32(h + 68, height);
    PutFourCC(h + 88, "LIST");
    WriteLE32(h + 92, 116);
    PutFourCC(h + 96, "strl");
    PutFourCC(h + 100, "strh");
    WriteLE32(h + 104, 56);
    PutFourCC(h + 108, "vids");
    PutFourCC(h + 112, fourCC);
    WriteLE32(h + 148, 0xFFFFFFFF);  // quality
    WriteLE16(h + 160, width & 0xFFFF);
    WriteLE16(h + 162, height & 0xFFFF);
    PutFourCC(h + 164, "strf");
    WriteLE32(h + 168, 40);
    WriteLE32(h + 172, 40);
    WriteLE32(h + 176, width);
    WriteLE32(h + 180, height);
    WriteLE16(h + 184, 1);   // planes
    WriteLE16(h + 186, 24);  // bits per pixel
    PutFourCC(h + 188, fourCC);
    WriteLE32(h + 192, width * height * 6);
    PutFourCC(h + 212, "LIST");
    PutFourCC(h + 220, "movi");
    m_aviFile.Write(h, sizeof h);
    return true;
}

uint32_t CFlvAviWriter::ChunkSize(uint32_t headerCount, uint32_t dataSize) const {
    const uint32_t skip = SkippedHeaderBytes(m_codec);
    const uint32_t kept = headerCount > skip ? headerCount - skip : 0;
    return kept + dataSize;
}

bool CFlvAviWriter::FrameFits(uint32_t headerCount, uint32_t dataSize, uint64_t maxFileSize) const {
    const uint64_t size = ChunkSize(headerCount, dataSize);
    const uint64_t frames = m_index.size() / 3 + 1;
    const uint64_t fileSize = kHeaderSize + m_moviSize + 8 + size + (size & 1) + 8 + 16 * frames;
    return fileSize <= maxFileSize;
}

void CFlvAviWriter::WriteFrame(const uint8_t* header, uint32_t headerCount, const uint8_t* data,
                               uint32_t dataSize, uint32_t frameType) {
    const uint32_t skip = SkippedHeaderBytes(m_codec);
    const uint32_t kept = headerCount > skip ? headerCount - skip : 0;
    const uint32_t size = ChunkSize(headerCount, dataSize);
    m_index.push_back(frameType == 1 ? 0x10 : 0);
    m_index.push_back(static_cast<uint32_t>(m_moviSize + 4));
    m_index.push_back(size);

    uint8_t chunk[8];
    PutFourCC(chunk, "00dc");
    flvbytes::WriteLE32(chunk + 4, size);
    m_aviFile.Write(chunk, 4);
    m_aviFile.Write(chunk + 4, 4);
    if (kept > 0) m_aviFile.Write(header + skip, kept);
    if (dataSize > 0) m_aviFile.Write(data, dataSize);
    if (size & 1) {
        const uint8_t pad = 0;
        m_aviFile.Write(&pad, 1);
    }
    m_moviSize += uint64_t(size) + 8 + (size & 1);
}

int32_t CFlvAviWriter::WriteIndex(uint32_t frameCount) {
    uint8_t head[8];
    PutFourCC(head, "idx1");
    flvbytes::WriteLE32(head + 4, 16 * frameCount);
    m_aviFile.Write(head, sizeof head);
    uint8_t entries[16 * 256];
    uint32_t pending = 0;
    for (uint32_t i = 0; i < frameCount; ++i) {
        uint8_t* e = entries + 16 * pending;
        PutFourCC(e, "00dc");
        flvbytes::WriteLE32(e + 4, m_index[3 * size_t(i)]);
        flvbytes::WriteLE32(e + 8, m_index[3 * size_t(i) + 1]);
        flvbytes::WriteLE32(e + 12, m_index[3 * size_t(i) + 2]);
        if (++pending == 256) {
            m_aviFile.Write(entries, sizeof entries);
            pending = 0;
        }
    }
    if (pending > 0) m_aviFile.Write(entries, 16 * size_t(pending));
    return static_cast<int32_t>(16 * frameCount + 8);
}

void CFlvAviWriter::PatchField(int64_t offset, uint32_t value) {
    uint8_t bytes[4];
    flvbytes::WriteLE32(bytes, value);
    m_aviFile.Seek(offset, SEEK_SET);
    m_aviFile.Write(bytes, 4);
}

void CFlvAviWriter::FinishFile(const std::vector<uint32_t>& frameTimes) {
    const auto n = static_cast<uint32_t>(frameTimes.size());
    // Frame rate = rate / scale, in lowest terms; 25 fps for 0 or 1 frames.
    int64_t rate = 25;
    int64_t scale = 1;
    if (n >= 2) {
        rate = static_cast<int32_t>(static_cast<uint32_t>(n) * 1000u - 1000u);
        scale = static_cast<int32_t>(frameTimes[n - 1] - frameTimes[0]);
    }
    int64_t a = rate;
    int64_t b = scale;
    while (b != 0) {
        const int64_t r = a % b;
        a = b;
        b = r;
    }
    const int64_t g = a != 0 ? a : 1;

    const uint32_t indexSize = static_cast<uint32_t>(WriteIndex(n));
    PatchField(4, static_cast<uint32_t>(216 + m_moviSize + indexSize));
    PatchField(32, 0);
    PatchField(48, n);
    PatchField(128, static_cast<uint32_t>(scale / g));
    PatchField(132, static_cast<uint32_t>(rate / g));
    PatchField(140, n);
    PatchField(216, static_cast<uint32_t>(m_moviSize + 4));
    m_aviFile.Close();
}
