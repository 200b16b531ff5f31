#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "flvsplice/common/FlvExport.h"

// Text services of the operating system, in the library's wide strings.
namespace flvsys {

// The system's description of an error number, ending with a line feed as
// system message texts do; empty when the system has none.
FLVSPLICE_API std::wstring SystemErrorText(int code);

// Wide text (UTF-32 code points) to UTF-8. Empty optional for text that is
// not a sequence of Unicode scalar values or that holds a NUL.
FLVSPLICE_API std::optional<std::string> WideToUtf8(std::wstring_view text);

// UTF-8 to wide text. Empty optional for bytes that are not valid UTF-8.
FLVSPLICE_API std::optional<std::wstring> Utf8ToWide(std::string_view text);

}  // namespace flvsys
