#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "flvsplice/flv/FlvTag.h"

// The tags a document loaded, in file order, side by side in large chunks
// that never move: the tag lists point into them, and the passes over a
// million loaded tags (lists, durations, metadata) read them as one stream.
class CFlvTagStore {
public:
    static constexpr size_t kChunkTags = 4096;

    CFlvTagStore() = default;
    ~CFlvTagStore() { clear(); }
    CFlvTagStore(const CFlvTagStore&) = delete;
    CFlvTagStore& operator=(const CFlvTagStore&) = delete;

    // A new, empty tag at the end.
    CFlvTag& emplace_back() {
        if (m_count == m_chunks.size() * kChunkTags) {
            m_chunks.push_back(std::make_unique<Slot[]>(kChunkTags));
        }
        Slot& slot = m_chunks[m_count / kChunkTags][m_count % kChunkTags];
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
        m_chunks.clear();
    }
    size_t size() const { return m_count; }

private:
    struct Slot {
        alignas(CFlvTag) unsigned char bytes[sizeof(CFlvTag)];
    };
    CFlvTag* At(size_t index) {
        return std::launder(
            reinterpret_cast<CFlvTag*>(m_chunks[index / kChunkTags][index % kChunkTags].bytes));
    }

    std::vector<std::unique_ptr<Slot[]>> m_chunks;
    size_t m_count = 0;
};
