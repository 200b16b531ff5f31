#include "flvsplice/flv/FlvPayloadView.h"

#include <cerrno>
#include <cstdio>

#include "flvsplice/platform/FlvStream.h"

bool CFlvPayloadView::Read(void* buffer, size_t count) {
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

int64_t CFlvPayloadView::Position() {
    m_lastError = 0;
    const int64_t at = m_source->Tell();
    if (at < 0) m_lastError = m_source->LastError();
    return at;
}

bool CFlvPayloadView::SeekToEnd() {
    m_lastError = 0;
    if (!m_source->Seek(m_end, SEEK_SET)) {
        m_lastError = m_source->LastError();
        return false;
    }
    return true;
}
