#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "flvsplice/platform/FlvStream.h"

// A view of one payload in the source stream, bounded by the payload's end
// offset: a loader reads its header bytes through it and can never read past
// the tag it belongs to. A read that would cross the end reads nothing and
// fails with error code 0, as a short read at the end of a file does.
class CFlvPayloadView {
public:
    CFlvPayloadView(CFlvStream* source, int64_t end) : m_source(source), m_end(end) {}

    // Reads exactly count bytes, or fails.
    bool Read(void* buffer, size_t count) {
        m_lastError = 0;
        const int64_t at = m_source->Tell();
        if (at < 0) {
            m_lastError = m_source->LastError();
            return false;
        }
        if (at > m_end || static_cast<uint64_t>(m_end - at) < count) return false;
        if (m_source->Read(buffer, count) != count) {
            m_lastError = m_source->LastError();
            return false;
        }
        return true;
    }
    // The stream's position, or -1.
    int64_t Position() {
        m_lastError = 0;
        const int64_t at = m_source->Tell();
        if (at < 0) m_lastError = m_source->LastError();
        return at;
    }
    // Moves the stream to the end offset.
    bool SeekToEnd() {
        m_lastError = 0;
        if (!m_source->Seek(m_end, SEEK_SET)) {
            m_lastError = m_source->LastError();
            return false;
        }
        return true;
    }
    // Moves the stream to an offset at or before the end.
    bool SeekTo(int64_t offset) {
        m_lastError = 0;
        if (offset > m_end) return false;
        if (!m_source->Seek(offset, SEEK_SET)) {
            m_lastError = m_source->LastError();
            return false;
        }
        return true;
    }
    int64_t End() const { return m_end; }
    // The system error code of the last failure (0 for a read past the end).
    int LastError() const { return m_lastError; }

private:
    CFlvStream* m_source;
    int64_t m_end;
    int m_lastError = 0;
};
