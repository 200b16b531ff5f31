#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

#include "flvsplice/common/FlvExport.h"

// Under the address sanitizer every allocation also marks its bytes as usable.
#if defined(__SANITIZE_ADDRESS__)
#define FLVSPLICE_POOL_POISONS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FLVSPLICE_POOL_POISONS 1
#endif
#endif

// Storage for the elements of one loaded document.
//
// While a Scope of a pool is active on a thread, every element created there
// (CFlvData::operator new) is carved from the pool's blocks one after the
// other, without a per-object header; a file of a million tags loads without
// a million calls to malloc, and its elements lie in memory in file order.
// Deleting a pooled element runs its destructor and gives nothing back: the
// blocks return all at once when the pool is destroyed, so the pool must
// outlive its elements (a document declares it before everything else).
//
// The blocks of all pools come from one address range that the process
// reserves once, so a delete tells a pooled element from one on the heap by
// its address alone, on any thread and outside any scope. When the range
// cannot be reserved or is used up, elements simply come from the heap.
//
// A pool also knows whether its elements hold memory anywhere else: the only
// such memory an element may own is its error records (CFlvErrorHandler
// reports them here), and an element that had to come from the heap counts
// too. While none does, the owner may drop its elements with the pool
// instead of running a million destructors that would free nothing.
class FLVSPLICE_API CFlvElementPool {
public:
    static constexpr size_t kBlockBytes = size_t(2) << 20;

    CFlvElementPool();
    ~CFlvElementPool();
    CFlvElementPool(const CFlvElementPool&) = delete;
    CFlvElementPool& operator=(const CFlvElementPool&) = delete;

    // size bytes aligned to 8, or nullptr when the pool can't serve the
    // request (the caller takes it from the heap). Inline while the current
    // block has room: a load allocates three or four elements per tag.
    void* Allocate(size_t size) {
#if !defined(FLVSPLICE_POOL_POISONS)
        const size_t rounded = (size + 7) & ~size_t(7);
        if (rounded != 0 && rounded <= kLargest && rounded <= m_left) {
            char* result = m_next;
            m_next += rounded;
            m_left -= rounded;
            return result;
        }
#endif
        return AllocateThrough(size);
    }
    // A whole block of kBlockBytes for an array of the owner's, or nullptr.
    void* AllocateBlock();
    // Bytes of blocks the pool holds.
    size_t BlockBytes() const;

    // True while no element made in this pool holds memory outside it.
    bool IsSelfContained() const { return !m_outside.load(std::memory_order_relaxed); }
    // An element of this pool could not be placed in it.
    void NoteHeapElement() { m_outside.store(true, std::memory_order_relaxed); }
    // The element at this address has come to hold memory outside its pool;
    // nothing happens for an element that is not pooled.
    static void NoteOutsideMemory(const void* element);

    // True for memory that lies in some pool's blocks.
    static bool Contains(const void* pointer);
    // Marks size bytes of a deleted pooled element as no longer in use (for
    // the address sanitizer; nothing otherwise).
    static void Retire(void* pointer, size_t size);
    // The pool that element allocations on this thread use, or nullptr.
    static CFlvElementPool* Current();

    // Makes a pool the current one on this thread for the scope's lifetime.
    class FLVSPLICE_API Scope {
    public:
        explicit Scope(CFlvElementPool* pool);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        CFlvElementPool* m_previous;
    };

private:
    // Larger requests go to the heap, so a block is never mostly wasted.
    static constexpr size_t kLargest = 128 * 1024;

    void* AllocateThrough(size_t size);

    std::vector<char*> m_blocks;
    char* m_next = nullptr;
    size_t m_left = 0;
    std::atomic<bool> m_outside{false};
};
