#pragma once

// Shared by the fuzz targets and the regression replay test: what each
// target does with one input (RunDocument, RunErrors) and its helpers.

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "flvsplice/common/FlvErrorHandler.h"
#include "flvsplice/common/FlvResult.h"
#include "flvsplice/document/FlvFile.h"
#include "flvsplice/export/FlvMp4Writer.h"
#include "flvsplice/platform/FlvSystem.h"

namespace flvfuzz {

// Every code a public operation may return.
inline bool IsDefinedResult(int code) {
    return code == FlvResult::Success ||
           (code >= FlvResult::OpenFailed && code <= FlvResult::ExportRefused) ||
           code == FlvResult::Mp4StreamRefused || code == FlvResult::Mp4TimeBackwards;
}

// A directory of this process's own, removed with its contents at exit:
// under $TMPDIR, else in memory (/dev/shm) where there is one, else /tmp.
class ScratchDir {
public:
    ScratchDir() {
        const char* base = getenv("TMPDIR");
        std::error_code ignored;
        std::string pattern = base && *base                                        ? base
                              : std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm"
                                                                                   : "/tmp";
        pattern += "/flvsplice-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) abort();
        m_path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string File(const char* name) const { return m_path + "/" + name; }
    static std::wstring Wide(const std::string& ascii) {
        return std::wstring(ascii.begin(), ascii.end());
    }

private:
    std::string m_path;
};

inline std::string ReadBytes(const std::string& path) {
    std::string out;
    if (FILE* in = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;) out.append(buffer, n);
        fclose(in);
    }
    return out;
}

inline bool WriteBytes(const std::string& path, const uint8_t* data, size_t size) {
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    const bool ok = fwrite(data, 1, size, out) == size;
    return fclose(out) == 0 && ok;
}

// Stops the operation at one tag index (none when stopAt is negative).
class StopAt : public CFlvProcess {
public:
    explicit StopAt(int stopAt) : m_stopAt(stopAt) {}
    bool ReportProgress(int index, int) override { return index == m_stopAt; }

private:
    int m_stopAt;
};

// Reports an operation that returned a code outside the documented set, or
// a broken promise of the error stack (code 0).
using Failure = void (*)(const char* operation, int code);

// The outputs of an export are CFlvFileException's business when the output
// file fails; for these scratch files that means the disk is full.
template <typename Op>
int Guarded(Op op) {
    try {
        return op();
    } catch (const CFlvFileException&) {
        return FlvResult::Success;
    }
}

// A document whose AVI export can be bounded to a small size.
class Document : public CFlvFile {
public:
    using CFlvFile::SaveAVI;
};

// Opens the bytes as a document and, when that works, saves it (a whole save
// must open again and save to the same bytes) and exports it, cuts it to a
// range taken from the last 8 bytes, joins a second document of the same
// bytes to it (a join that would bring tags in twice must be refused), and
// saves and exports the result, the AVI perhaps with a small size bound. The
// saved file of the edited document is opened once more.
inline void RunDocument(const ScratchDir& dir, const uint8_t* data, size_t size, Failure fail) {
    const std::string in1 = dir.File("in1.flv"), in2 = dir.File("in2.flv");
    if (!WriteBytes(in1, data, size) || !WriteBytes(in2, data, size)) abort();
    const std::wstring out = ScratchDir::Wide(dir.File("out.flv"));
    const std::wstring resaved = ScratchDir::Wide(dir.File("resaved.flv"));
    const std::wstring audio = ScratchDir::Wide(dir.File("out.audio"));
    const std::wstring avi = ScratchDir::Wide(dir.File("out.avi"));
    const std::wstring elementary = ScratchDir::Wide(dir.File("out.es"));
    const std::wstring mp4 = ScratchDir::Wide(dir.File("out.mp4"));
    auto check = [&](const char* operation, int code) {
        if (!IsDefinedResult(code)) fail(operation, code);
    };
    auto expect = [&](const char* operation, int code, int wanted) {
        if (code != wanted) fail(operation, code);
    };

    uint32_t start = 0, end = 0;
    int stopAt = -1;
    uint64_t aviLimit = 0;
    if (size >= 9) {
        const uint8_t* p = data + size - 8;
        start = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        end = uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | p[7];
        // Mostly times inside a short clip, sometimes anything at all.
        if ((start & 0x80000000u) == 0) start %= 8192;
        if ((end & 0x80000000u) == 0) end %= 8192;
        if (data[size - 9] < 16) stopAt = data[size - 9];
        if (size >= 10 && (data[size - 10] & 0x80) != 0) aviLimit = (data[size - 10] & 0x7Fu) << 7;
    }
    // Half of the inputs go through the modern codecs and sync-keeping joins.
    FlvOpenOptions options;
    options.modernCodecs = options.keepSyncOnJoin = size >= 11 && (data[size - 11] & 1) != 0;
    // Half of them in salvage mode: whatever the damage, Open gives a
    // document that behaves like any other, or a defined refusal.
    options.salvage = size >= 11 && (data[size - 11] & 2) != 0;
    StopAt process(stopAt);

    CFlvFile other;
    Document doc;
    const int opened = doc.Open(ScratchDir::Wide(in1), options);
    check("Open", opened);
    doc.GetErrorMessageFormatted();
    if (opened != FlvResult::Success) return;

    const int saved = doc.SaveAs(out, &process);
    check("SaveAs", saved);
    if (saved == FlvResult::Success && stopAt < 0) {
        // A whole save opens again and saves to the very same bytes.
        CFlvFile again;
        expect("Open of the saved file", again.Open(out, options), FlvResult::Success);
        expect("SaveAs of the saved file", again.SaveAs(resaved, nullptr), FlvResult::Success);
        if (ReadBytes(dir.File("out.flv")) != ReadBytes(dir.File("resaved.flv"))) {
            fail("SaveAs of the saved file changed it", 0);
        }
    }
    check("SaveAudio", Guarded([&] { return doc.SaveAudio(audio, &process); }));
    check("SaveAVI", Guarded([&] { return doc.SaveAVI(avi, &process); }));
    check("SaveAudioAdts", Guarded([&] { return doc.SaveAudioAdts(elementary, &process); }));
    check("SaveVideoAnnexB", Guarded([&] { return doc.SaveVideoAnnexB(elementary, &process); }));
    check("SaveMP4", doc.SaveMP4(mp4, FlvMp4Options{}, &process));
    check("Extract", doc.Extract(start, end));
    const int otherOpened = other.Open(ScratchDir::Wide(in2), options);
    if (otherOpened != FlvResult::Success) fail("Open of the same bytes", otherOpened);
    const int joined = doc.Add(&other, (start & 1) != 0);
    check("Add", joined);
    expect("Add of itself", doc.Add(&doc, false), FlvResult::JoinRefused);
    if (joined == FlvResult::Success) {
        expect("second Add", doc.Add(&other, false), FlvResult::JoinRefused);
        expect("Add the other way", other.Add(&doc, false), FlvResult::JoinRefused);
    }
    check("SaveAs after edits", doc.SaveAs(out, nullptr));
    // The last part of a split at each change of configuration, half of the
    // time in fragments.
    FlvMp4Options parts;
    parts.fragmented = (start & 2) != 0;
    if (doc.Mp4PartCount(parts, &parts.part) == FlvResult::Success) {
        check("SaveMP4 after edits", doc.SaveMP4(mp4, parts, nullptr));
    }
    check("SaveAudio after edits", Guarded([&] { return doc.SaveAudio(audio, nullptr); }));
    check("SaveAVI after edits", Guarded([&] {
              return aviLimit != 0 ? doc.SaveAVI(avi, nullptr, aviLimit)
                                   : doc.SaveAVI(avi, nullptr);
          }));
    doc.GetErrorMessageFormatted();

    {
        CFlvFile edited;
        check("Open of the edited file", edited.Open(out, options));
    }
    doc.Close();
    check("SaveAs after Close", doc.SaveAs(out, nullptr));
}

// Reads an error-stack input: single bytes and 0-terminated fields.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool Done() const { return m_pos >= m_size; }
    uint8_t Byte() { return Done() ? 0 : m_data[m_pos++]; }
    std::string Field() {
        std::string out;
        while (!Done() && m_data[m_pos] != 0) out += char(m_data[m_pos++]);
        if (!Done()) ++m_pos;
        return out;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// mode 0: UTF-8 (bytes widened one by one when not UTF-8); mode 1: every 4
// bytes one wide character of any value; mode 2: the decimal text of the
// bytes as a 64-bit number, signed, with leading blanks when odd.
inline std::wstring Widen(const std::string& bytes, int mode) {
    std::wstring out;
    if (mode == 0) {
        if (auto wide = flvsys::Utf8ToWide(bytes)) return *wide;
        for (unsigned char c : bytes) out += wchar_t(c);
    } else if (mode == 1) {
        for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
            uint32_t v = 0;
            for (size_t k = 0; k < 4; ++k) v = v << 8 | uint8_t(bytes[i + k]);
            out += wchar_t(v);
        }
    } else {
        uint64_t v = 0;
        for (unsigned char c : bytes) v = v << 8 | c;
        if (bytes.size() % 2 == 1) out = L"  ";
        out += std::to_wstring(int64_t(v));
    }
    return out;
}

// The input is a list of error records, each a control byte followed by a
// message and a detail (0-terminated fields); the control byte picks how the
// fields become wide text and whether the record takes over another stack's
// records. The stack is then read back and formatted.
inline void RunErrors(const uint8_t* data, size_t size, Failure fail) {
    auto check = [&](bool ok, const char* what) {
        if (!ok) fail(what, 0);
    };
    Reader in(data, size);
    CFlvFile doc;
    CFlvErrorHandler side;
    int expected = 0;
    while (!in.Done()) {
        const uint8_t control = in.Byte();
        const std::wstring message = Widen(in.Field(), control & 1);
        const std::wstring detail = Widen(in.Field(), (control >> 1) % 3);
        const int kind = (control >> 3) & 3;
        switch (kind) {
            case 0:
                doc.PushError(message, detail);
                ++expected;
                break;
            case 1:
                side.PushError(message, detail);
                break;
            case 2:
                doc.PushError(message, detail, &side);
                expected = side.GetErrorCount() + 1;
                break;
            default:
                doc.PushError(message, detail, &doc);
                ++expected;
                break;
        }
        check(doc.GetErrorCount() == expected, "record count");
        check(kind == 1 || (doc.GetErrorMessage(-1) == message && doc.GetErrorDetail(-1) == detail),
              "newest record");
        const int index = int8_t(control) >> 3;
        doc.GetErrorMessage(index);
        doc.GetErrorDetail(index);
    }
    const std::wstring text = doc.GetErrorMessageFormatted();
    check(text == doc.FormatErrorText(), "same text twice");
    check(text.compare(0, doc.GetErrorMessage(-1).size(), doc.GetErrorMessage(-1)) == 0,
          "text starts with the newest message");
    side.FormatErrorText();
    flvsys::WideToUtf8(text);
}

}  // namespace flvfuzz
