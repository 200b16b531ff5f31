#include "flvsplice/common/FlvData.h"

#include <atomic>
#include <new>

#include "flvsplice/common/FlvElementPool.h"

CFlvData::~CFlvData() = default;

CFlvStream* CFlvData::GetSourceEnd(uint64_t*) const { return nullptr; }

namespace {
std::atomic<long> s_onHeap{0};
}  // namespace

void* CFlvData::NewOnHeap(size_t size) {
    void* pointer = ::operator new(size);
    s_onHeap.fetch_add(1, std::memory_order_relaxed);
    return pointer;
}

bool CFlvData::AnyOnHeap() { return s_onHeap.load(std::memory_order_relaxed) != 0; }

void CFlvData::operator delete(void* pointer, size_t size) noexcept {
    if (CFlvElementPool::Contains(pointer)) {
        CFlvElementPool::Retire(pointer, size);
        return;
    }
    s_onHeap.fetch_sub(1, std::memory_order_relaxed);
    ::operator delete(pointer);
}
