#pragma once

#include <optional>
#include <string>

class CFlvFile;

namespace cli {

// The one place where the library's wide strings meet the UTF-8 of the
// terminal and the command line.
std::optional<std::wstring> ToWide(const std::string& utf8);
// Characters that have no UTF-8 form come out as U+FFFD.
std::string ToUtf8(const std::wstring& wide);

// The document's formatted error text in UTF-8.
std::string FormattedErrors(CFlvFile& document);

// One line of English: what a result code means and what to try.
std::string ExplainResult(int code);

// "flvsplice: <what>", then the document's formatted error text (if it has
// any), then the code and its explanation, all on stderr.
void ReportFailure(const std::string& what, int code, CFlvFile* document);
// "flvsplice: <what>" on stderr.
void ReportError(const std::string& what);

}  // namespace cli
