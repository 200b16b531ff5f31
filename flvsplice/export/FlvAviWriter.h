#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flvsplice/common/FlvExport.h"
#include "flvsplice/platform/FlvOutputFile.h"

// Writes one video stream of "FLV1" or "VP6F" frames into an AVI file: the
// headers first with placeholders, then one "00dc" chunk per frame, then the
// "idx1" index, and at the end the placeholders are patched in place. Write
// failures throw CFlvFileException.
class FLVSPLICE_API CFlvAviWriter {
public:
    static constexpr uint32_t kHeaderSize = 224;  // up to and including "movi"
    // The RIFF size field (the file size less 8) is 32 bits wide.
    static constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull + 8;

    CFlvAviWriter();
    ~CFlvAviWriter();

    // False, creating nothing, for a codec other than 2, 4 or 5; false with
    // the system error code in *error when the file cannot be created.
    bool BeginFile(const std::wstring& path, int codec, uint32_t width, uint32_t height,
                   int* error = nullptr);
    void WriteFrame(const uint8_t* header, uint32_t headerCount, const uint8_t* data,
                    uint32_t dataSize, uint32_t frameType);
    // Whether the file, completed with its index, stays within maxFileSize
    // after one more frame of these sizes.
    bool FrameFits(uint32_t headerCount, uint32_t dataSize, uint64_t maxFileSize) const;
    int32_t WriteIndex(uint32_t frameCount);
    void FinishFile(const std::vector<uint32_t>& frameTimes);

    // The four-character code and the number of leading header bytes that are
    // not part of the frame, by FLV codec identifier.
    static const char* FourCC(int codec);
    static uint32_t SkippedHeaderBytes(int codec);
    // Whether AVI carries the codec (Sorenson H.263 and On2 VP6).
    static bool CanWrite(int codec);

    CFlvOutputFile m_aviFile;
    int32_t m_codec = 0;
    uint64_t m_moviSize = 0;
    std::vector<uint32_t> m_index;  // flags, offset, size per frame chunk

private:
    uint32_t ChunkSize(uint32_t headerCount, uint32_t dataSize) const;
    void PatchField(int64_t offset, uint32_t value);
};
