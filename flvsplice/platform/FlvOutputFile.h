#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "flvsplice/common/FlvExport.h"

class CFlvStream;

// Raised by CFlvOutputFile when writing, seeking or closing fails: carries the
// system error code and the path of the file.
class FLVSPLICE_API CFlvFileException : public std::system_error {
public:
    CFlvFileException(int code, const std::wstring& path, const char* operation);
    ~CFlvFileException() override;
    const std::wstring& GetPath() const { return m_path; }

private:
    std::wstring m_path;
};

// An output file for the exports: created through the same exclusive open as
// the FLV output, written forward with the odd seek back, closed at the end.
// Every failure after Create throws CFlvFileException; the destructor closes
// a file that is still open without throwing.
class FLVSPLICE_API CFlvOutputFile {
public:
    CFlvOutputFile();
    ~CFlvOutputFile();
    CFlvOutputFile(const CFlvOutputFile&) = delete;
    CFlvOutputFile& operator=(const CFlvOutputFile&) = delete;

    // False with the system error code in *error when the file cannot be made.
    bool Create(const std::wstring& path, int* error);
    void Write(const void* buffer, size_t count);
    void Seek(int64_t offset, int origin);
    int64_t GetPosition();
    void Close();
    bool IsOpen() const;

private:
    [[noreturn]] void Throw(int code, const char* operation);

    std::unique_ptr<CFlvStream> m_stream;
    std::wstring m_path;
};
