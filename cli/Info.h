#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "Document.h"

namespace cli {

// What Open found in a file, as JSON (key order kept for people).
nlohmann::ordered_json DescribeDocument(Document& document);
// Whether the file carries a key-frame index and whether it agrees with it.
nlohmann::ordered_json DescribeIndex(const std::wstring& path);
// The same description as lines of text, headed by the file's name as given
// (its bytes unchanged, UTF-8 or not).
std::string DescribeAsText(const std::string& name, const nlohmann::ordered_json& description);

}  // namespace cli
