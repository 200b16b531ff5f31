#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "Document.h"

namespace cli {

// What Open found in a file, as JSON (key order kept for people).
nlohmann::ordered_json DescribeDocument(Document& document);
// The same description as lines of text.
std::string DescribeAsText(const nlohmann::ordered_json& description);

}  // namespace cli
