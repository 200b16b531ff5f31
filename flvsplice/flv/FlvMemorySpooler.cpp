#include "flvsplice/flv/FlvMemorySpooler.h"

#include <cstring>

#include "flvsplice/platform/FlvStream.h"

CFlvMemorySpooler::CFlvMemorySpooler() = default;
CFlvMemorySpooler::~CFlvMemorySpooler() = default;

void CFlvMemorySpooler::Spool(const void* bytes, uint32_t length) {
    auto block = std::make_unique<SpoolBlock>();
    block->bytes = std::make_unique<uint8_t[]>(length);
    if (length > 0) std::memcpy(block->bytes.get(), bytes, length);
    block->length = length;
    m_blocks.push_back(std::move(block));
}

uint32_t CFlvMemorySpooler::GetSpooledSize() {
    uint32_t total = 0;
    for (const auto& block : m_blocks) total += block->length;
    return total;
}

bool CFlvMemorySpooler::OutputToFile(CFlvStream* output) {
    for (const auto& block : m_blocks) {
        if (output->Write(block->bytes.get(), block->length) != block->length) {
            PushSystemError(L"スプールしたメモリを出力中にファイル書き込みエラーが発生しました。",
                            output->LastError());
            return false;
        }
    }
    return true;
}
