#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "flvsplice/common/FlvErrorHandler.h"

class CFlvStream;

// One appended piece of a spooler: a private copy of the bytes.
struct SpoolBlock {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t length = 0;
};

// Collects output bytes in memory so that their length is known before they
// are written (the onMetaData tag header carries its body's length).
class FLVSPLICE_API CFlvMemorySpooler : public CFlvErrorHandler {
public:
    CFlvMemorySpooler();
    ~CFlvMemorySpooler() override;

    void Spool(const void* bytes, uint32_t length);
    uint32_t GetSpooledSize();
    bool OutputToFile(CFlvStream* output);

    std::vector<std::unique_ptr<SpoolBlock>> m_blocks;
};
