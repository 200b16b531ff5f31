#include "flvsplice/common/FlvElementPool.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#if defined(FLVSPLICE_POOL_POISONS)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// The size of a huge page on x86-64 and arm64. Blocks are aligned to it but
// kept on small pages (see Take).
constexpr size_t kBlockSize = CFlvElementPool::kBlockBytes;
static_assert(kBlockSize >= 16 * 128 * 1024);

// The address range all pools share. Reserved without access rights, so it
// costs no memory; a block gets read/write access when it is first handed out
// and its pages are dropped when it comes back.
class Region {
public:
    static Region& Get() {
        // Never destroyed: a document may die during static destruction.
        static Region* region = new Region();
        return *region;
    }

    static bool Contains(const void* pointer) {
        const auto at = reinterpret_cast<uintptr_t>(pointer);
        return at - s_base.load(std::memory_order_relaxed) < s_size.load(std::memory_order_relaxed);
    }

    char* Acquire(CFlvElementPool* owner) {
        char* block = Take();
        if (block != nullptr) m_owners[Index(block)].store(owner, std::memory_order_relaxed);
        return block;
    }

    void Release(char* block) {
        m_owners[Index(block)].store(nullptr, std::memory_order_relaxed);
        // The system may take the pages back whenever it needs memory; a
        // block used again before that keeps them, and nothing has to be
        // zeroed for it (a document made after another costs that much less).
#if defined(MADV_FREE)
        if (::madvise(block, kBlockSize, MADV_FREE) != 0)
#endif
            ::madvise(block, kBlockSize, MADV_DONTNEED);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_free.push_back(block);
    }

    // The pool that holds the block under pointer, or nullptr.
    static CFlvElementPool* Owner(const void* pointer) {
        if (!Contains(pointer)) return nullptr;
        return Get().m_owners[Get().Index(pointer)].load(std::memory_order_relaxed);
    }

private:
    Region() {
        // The largest reservation the system grants; 64-bit address spaces
        // take the first one without a second thought.
        static constexpr size_t kCandidates[] = {
            sizeof(void*) >= 8 ? size_t(64) << 30 : size_t(256) << 20,
            sizeof(void*) >= 8 ? size_t(4) << 30 : size_t(64) << 20,
            size_t(64) << 20,
        };
        for (size_t size : kCandidates) {
            // One block more than needed, so the blocks can start on a
            // block-aligned address.
            void* mapped = ::mmap(nullptr, size + kBlockSize, PROT_NONE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (mapped == MAP_FAILED) continue;
            const auto at = reinterpret_cast<uintptr_t>(mapped);
            const uintptr_t aligned = (at + kBlockSize - 1) & ~uintptr_t(kBlockSize - 1);
            m_base = reinterpret_cast<char*>(aligned);
            m_size = size;
            m_owners = std::make_unique<std::atomic<CFlvElementPool*>[]>(size / kBlockSize);
            m_free.reserve(64);
            s_base.store(aligned, std::memory_order_relaxed);
            s_size.store(size, std::memory_order_relaxed);
            break;
        }
    }

    char* Take() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_free.empty()) {
            char* block = m_free.back();
            m_free.pop_back();
            return block;
        }
        if (m_base == nullptr || m_size - m_used < kBlockSize) return nullptr;
        char* block = m_base + m_used;
        if (::mprotect(block, kBlockSize, PROT_READ | PROT_WRITE) != 0) return nullptr;
        // Blocks stay on small pages. On virtual machines that hand free
        // memory back to the host (free page reporting), a huge page is nearly
        // always made of memory the host no longer backs, and its first touch
        // cost 2 to 3 times as much as that of small pages recently freed:
        // opening a file of a million tags in a fresh process took
        // 0.32-0.49 s on huge pages against 0.13-0.18 s on small ones.
        ::madvise(block, kBlockSize, MADV_NOHUGEPAGE);
        m_used += kBlockSize;
        return block;
    }

    size_t Index(const void* pointer) const {
        return static_cast<size_t>(static_cast<const char*>(pointer) - m_base) / kBlockSize;
    }

    static inline std::atomic<uintptr_t> s_base{0};
    static inline std::atomic<size_t> s_size{0};
    std::mutex m_mutex;
    char* m_base = nullptr;
    size_t m_size = 0;
    size_t m_used = 0;
    std::vector<char*> m_free;
    std::unique_ptr<std::atomic<CFlvElementPool*>[]> m_owners;  // one per block
};

// initial-exec: the pool is looked up for every element a load creates.
__attribute__((tls_model("initial-exec"))) thread_local CFlvElementPool* t_current = nullptr;

}  // namespace

CFlvElementPool::CFlvElementPool() = default;

CFlvElementPool::~CFlvElementPool() {
    for (char* block : m_blocks) {
        POOL_UNPOISON(block, kBlockSize);
        Region::Get().Release(block);
    }
}

void* CFlvElementPool::AllocateThrough(size_t size) {
    size = (size + 7) & ~size_t(7);
    if (size == 0 || size > kLargest) return nullptr;
    if (size > m_left) {
        char* block = static_cast<char*>(AllocateBlock());
        if (block == nullptr) return nullptr;
        POOL_POISON(block, kBlockSize);
        m_next = block;
        m_left = kBlockSize;
    }
    char* result = m_next;
    m_next += size;
    m_left -= size;
    POOL_UNPOISON(result, size);
    return result;
}

void* CFlvElementPool::AllocateBlock() {
    m_blocks.reserve(m_blocks.size() + 1);
    char* block = Region::Get().Acquire(this);
    if (block != nullptr) m_blocks.push_back(block);
    return block;
}

void CFlvElementPool::NoteOutsideMemory(const void* element) {
    if (CFlvElementPool* pool = Region::Owner(element)) pool->NoteHeapElement();
}

size_t CFlvElementPool::BlockBytes() const { return m_blocks.size() * kBlockSize; }

bool CFlvElementPool::Contains(const void* pointer) { return Region::Contains(pointer); }

void CFlvElementPool::Retire(void* pointer, size_t size) { POOL_POISON(pointer, size); }

CFlvElementPool* CFlvElementPool::Current() { return t_current; }

CFlvElementPool::Scope::Scope(CFlvElementPool* pool) : m_previous(t_current) { t_current = pool; }

CFlvElementPool::Scope::~Scope() { t_current = m_previous; }
