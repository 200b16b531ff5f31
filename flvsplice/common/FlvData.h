#pragma once

#include <cstddef>
#include <cstdint>

#include "flvsplice/common/FlvElementPool.h"
#include "flvsplice/common/FlvErrorHandler.h"

class CFlvStream;

// The base of every FLV element. Load reads the element from a source stream
// positioned at its first byte; end is the absolute offset of the first byte
// after the element (payloads are bounded by it). Save writes the element at
// the output's current position. Both return false after pushing a record.
class FLVSPLICE_API CFlvData : public CFlvErrorHandler {
public:
    CFlvData() = default;
    ~CFlvData() override;
    virtual bool Load(CFlvStream* source, int64_t end) = 0;
    virtual bool Save(CFlvStream* output) = 0;
    // The stream an element was loaded from, with the offset just past its
    // last byte there in *end; nullptr for an element made in memory.
    virtual CFlvStream* GetSourceEnd(uint64_t* end) const;

    // Elements made while a document loads live in its pool (FlvElementPool.h);
    // all others live on the heap.
    static void* operator new(size_t size) {
        if (CFlvElementPool* pool = CFlvElementPool::Current()) {
            if (void* pointer = pool->Allocate(size)) return pointer;
            pool->NoteHeapElement();
        }
        return NewOnHeap(size);
    }
    static void operator delete(void* pointer, size_t size) noexcept;

    // True while any element made with new lives on the heap. Such an element
    // may have been given to a pooled one (a tag's payload replaced by a
    // caller), which must then be destroyed properly.
    static bool AnyOnHeap();

private:
    static void* NewOnHeap(size_t size);
};
