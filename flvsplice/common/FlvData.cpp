#include "flvsplice/common/FlvData.h"

#include <new>

#include "flvsplice/common/FlvElementPool.h"

CFlvData::~CFlvData() = default;

CFlvStream* CFlvData::GetSourceEnd(uint64_t*) const { return nullptr; }

void CFlvData::operator delete(void* pointer, size_t size) noexcept {
    if (CFlvElementPool::Contains(pointer)) {
        CFlvElementPool::Retire(pointer, size);
        return;
    }
    ::operator delete(pointer);
}
