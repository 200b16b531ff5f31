#pragma once

#include <nlohmann/json.hpp>
#include <string>

class CFlvFile;

namespace cli {

// The one place where the library's wide strings meet the bytes of the
// command line and the UTF-8 of the terminal.

// A file name as the command line gave it, whatever its bytes, to the wide
// path that names the same file in the library.
std::wstring ToWidePath(const std::string& bytes);
// Characters that have no UTF-8 form, and the escaped bytes of a path that
// was not UTF-8, come out as U+FFFD: the result is always valid UTF-8.
std::string ToUtf8(const std::wstring& wide);
// A file name as UTF-8 text (for JSON): each byte that is not part of a valid
// UTF-8 sequence becomes U+FFFD.
std::string PathAsUtf8(const std::string& bytes);

// The document's formatted error text in UTF-8.
std::string FormattedErrors(CFlvFile& document);

// One line of English: what a result code means and what to try.
std::string ExplainResult(int code);

// "flvsplice: <what>", then the document's formatted error text (if it has
// any), then the code and its explanation, all on stderr.
void ReportFailure(const std::string& what, int code, CFlvFile* document);
// "flvsplice: <what>" on stderr.
void ReportError(const std::string& what);
// "flvsplice: warning: <what>" on stderr; detail goes into the JSON report.
void ReportWarning(const std::string& what, nlohmann::ordered_json detail);

// With --json, copy, cut and join also keep every error and warning they
// report, for the one JSON document they print at the end: each error with
// its code, its explanation and the document's chain of records (newest
// first), each warning with its detail.
void CollectReports();
nlohmann::ordered_json CollectedErrors();
nlohmann::ordered_json CollectedWarnings();

}  // namespace cli
