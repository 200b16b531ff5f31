#include "flvsplice/platform/FlvOutputFile.h"

#include <cerrno>

#include "flvsplice/platform/FlvStream.h"
#include "flvsplice/platform/FlvSystem.h"

namespace {

std::string DescribePath(const std::wstring& path, const char* operation) {
    std::string text = operation;
    text += " ";
    text += flvsys::WideToUtf8(path).value_or("(unprintable path)");
    return text;
}

}  // namespace

CFlvFileException::CFlvFileException(int code, const std::wstring& path, const char* operation)
    : std::system_error(code, std::generic_category(), DescribePath(path, operation)),
      m_path(path) {}

CFlvFileException::~CFlvFileException() = default;

CFlvOutputFile::CFlvOutputFile() = default;

CFlvOutputFile::~CFlvOutputFile() {
    if (m_stream && m_stream->IsOpen()) m_stream->Close();
}

bool CFlvOutputFile::Create(const std::wstring& path, int* error) {
    m_path = path;
    m_stream = CFlvStream::CreateExclusive(path, error);
    return m_stream != nullptr;
}

bool CFlvOutputFile::IsOpen() const { return m_stream && m_stream->IsOpen(); }

void CFlvOutputFile::Throw(int code, const char* operation) {
    throw CFlvFileException(code != 0 ? code : EIO, m_path, operation);
}

void CFlvOutputFile::Write(const void* buffer, size_t count) {
    if (!m_stream) Throw(EBADF, "writing");
    if (m_stream->Write(buffer, count) != count) Throw(m_stream->LastError(), "writing");
}

void CFlvOutputFile::Seek(int64_t offset, int origin) {
    if (!m_stream) Throw(EBADF, "seeking in");
    if (!m_stream->Seek(offset, origin)) Throw(m_stream->LastError(), "seeking in");
}

int64_t CFlvOutputFile::GetPosition() {
    if (!m_stream) Throw(EBADF, "querying the position of");
    const int64_t at = m_stream->Tell();
    if (at < 0) Throw(m_stream->LastError(), "querying the position of");
    return at;
}

void CFlvOutputFile::Close() {
    if (!m_stream) Throw(EBADF, "closing");
    if (!m_stream->Close()) Throw(m_stream->LastError(), "closing");
}
