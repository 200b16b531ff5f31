#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "flvsplice/common/FlvExport.h"

// Text services of the operating system, in the library's wide strings.
namespace flvsys {

// The system's description of an error number, ending with a line feed as
// system message texts do; empty when the system has none.
FLVSPLICE_API std::wstring SystemErrorText(int code);

// Wide text (UTF-32 code points) to UTF-8. The code points U+DC80 to U+DCFF,
// which PathToWide makes of bytes that are not UTF-8, become those single
// bytes again, so that a wide path names the file it was made from; the result
// is then not UTF-8. Empty optional for text that holds NUL, any other
// surrogate or a value above U+10FFFF.
FLVSPLICE_API std::optional<std::string> WideToUtf8(std::wstring_view text);

// UTF-8 to wide text. Empty optional for bytes that are not valid UTF-8.
FLVSPLICE_API std::optional<std::wstring> Utf8ToWide(std::string_view text);

// A file name's bytes to a wide path, for names that need not be UTF-8:
// valid UTF-8 is decoded as Utf8ToWide does, and every byte that is not part
// of a valid sequence becomes the lone surrogate U+DC00 + byte (U+DC80 to
// U+DCFF). WideToUtf8 gives the same bytes back. For paths only: the escapes
// are not characters and must not be shown as text.
FLVSPLICE_API std::wstring PathToWide(std::string_view bytes);

// Whether c is one of the escapes that PathToWide makes of a byte.
constexpr bool IsEscapedByte(wchar_t c) {
    return static_cast<uint32_t>(c) >= 0xDC80 && static_cast<uint32_t>(c) <= 0xDCFF;
}

}  // namespace flvsys
