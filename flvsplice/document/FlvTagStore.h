#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "flvsplice/common/FlvElementPool.h"
#include "flvsplice/flv/FlvTag.h"

// The tags a document loaded, in file order, side by side in large chunks
// that never move: the tag lists point into them, and the passes over a
// million loaded tags (lists, durations, metadata) read them as one stream.
// The chunks are whole blocks of the document's pool (from the heap when the
// pool has none to give).
class CFlvTagStore {
public:
    static constexpr size_t kChunkTags = CFlvElementPool::kBlockBytes / sizeof(CFlvTag);

    explicit CFlvTagStore(CFlvElementPool* pool) : m_pool(pool) {}
    ~CFlvTagStore() { clear(); }
    CFlvTagStore(const CFlvTagStore&) = delete;
    CFlvTagStore& operator=(const CFlvTagStore&) = delete;

    // A new, empty tag at the end.
    CFlvTag& emplace_back() {
        if (m_count == m_chunks.size() * kChunkTags) AddChunk();
        Slot& slot = m_chunks[m_count / kChunkTags].slots[m_count % kChunkTags];
        CFlvTag* tag = ::new (static_cast<void*>(&slot)) CFlvTag();
        ++m_count;
        return *tag;
    }
    // Destroys the last tag.
    void pop_back() {
        --m_count;
        At(m_count)->~CFlvTag();
    }
    // Destroys every tag, the last first.
    void clear() {
        while (m_count > 0) pop_back();
        ReleaseChunks();
    }
    // Forgets every tag without destroying it. Only for a pool that is self
    // contained (CFlvElementPool::IsSelfContained): then nothing the tags
    // hold lies outside the pool, which takes it all back when it dies.
    void abandon() {
        m_count = 0;
        ReleaseChunks();
    }
    size_t size() const { return m_count; }

private:
    struct Slot {
        alignas(CFlvTag) unsigned char bytes[sizeof(CFlvTag)];
    };
    struct Chunk {
        Slot* slots;
        bool onHeap;
    };
    CFlvTag* At(size_t index) {
        return std::launder(reinterpret_cast<CFlvTag*>(
            m_chunks[index / kChunkTags].slots[index % kChunkTags].bytes));
    }
    void AddChunk() {
        m_chunks.reserve(m_chunks.size() + 1);
        if (void* block = m_pool->AllocateBlock()) {
            m_chunks.push_back({static_cast<Slot*>(block), false});
            return;
        }
        m_chunks.push_back({new Slot[kChunkTags], true});
        m_pool->NoteHeapElement();
    }
    void ReleaseChunks() {
        for (const Chunk& chunk : m_chunks) {
            if (chunk.onHeap) delete[] chunk.slots;
        }
        m_chunks.clear();
    }

    CFlvElementPool* m_pool;
    std::vector<Chunk> m_chunks;
    size_t m_count = 0;
};
