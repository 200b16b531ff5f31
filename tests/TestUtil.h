#pragma once

// Shared helpers of the tests: unique temporary directories, whole-file I/O,
// wide paths, a recording progress object, and a document class that opens
// the protected getters of CFlvFile.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "FlvBuilder.h"
#include "flvsplice/common/FlvErrorHandler.h"
#include "flvsplice/common/FlvProcess.h"
#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvSystem.h"

namespace flvtest {

inline std::wstring Wide(const std::string& text) {
    auto wide = flvsys::Utf8ToWide(text);
    if (!wide) throw std::runtime_error("not UTF-8: " + text);
    return *wide;
}

// For readable failure messages.
inline std::string Narrow(const std::wstring& text) {
    auto narrow = flvsys::WideToUtf8(text);
    return narrow ? *narrow : std::string("<not convertible>");
}

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
// Every instance gets its own, so tests can run in parallel processes.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/flvsplice-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = buffer.data();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    std::wstring WFile(const std::string& name) const { return Wide(File(name)); }

private:
    std::string m_path;
};

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// Records every ReportProgress call; answers true (stop) at index stopAt.
class RecordingProcess : public CFlvProcess {
public:
    explicit RecordingProcess(int stopAt = -1) : stopAt(stopAt) {}
    bool ReportProgress(int index, int count) override {
        calls.emplace_back(index, count);
        return index == stopAt;
    }

    int stopAt;
    std::vector<std::pair<int, int>> calls;
};

// A document with the protected getters made public.
class TestDoc : public CFlvFile {
public:
    using CFlvFile::GetAudioTagArray;
    using CFlvFile::GetFlvHeader;
    using CFlvFile::GetFlvMetaData;
    using CFlvFile::GetFlvTagArray;
    using CFlvFile::GetVideoTagArray;
    using CFlvFile::IsReady;

    std::vector<CFlvTag*>& Tags() { return *GetFlvTagArray(); }
    std::vector<CFlvTag*>& AudioTags() { return *GetAudioTagArray(); }
    std::vector<CFlvTag*>& VideoTags() { return *GetVideoTagArray(); }
};

// The records of an error stack, oldest first.
inline std::vector<std::wstring> Messages(CFlvErrorHandler& errors) {
    std::vector<std::wstring> out;
    for (int i = 0; i < errors.GetErrorCount(); ++i) out.push_back(errors.GetErrorMessage(i));
    return out;
}
inline std::vector<std::wstring> Details(CFlvErrorHandler& errors) {
    std::vector<std::wstring> out;
    for (int i = 0; i < errors.GetErrorCount(); ++i) out.push_back(errors.GetErrorDetail(i));
    return out;
}

// The same, as UTF-8 text with one record per line, for failure output.
inline std::string DumpErrors(CFlvErrorHandler& errors) {
    std::string out;
    for (int i = 0; i < errors.GetErrorCount(); ++i) {
        out += "  " + Narrow(errors.GetErrorMessage(i)) + " [" + Narrow(errors.GetErrorDetail(i)) +
               "]\n";
    }
    return out;
}

}  // namespace flvtest
