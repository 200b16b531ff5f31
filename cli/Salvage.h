#pragma once

#include <string>
#include <vector>

#include "Document.h"

namespace cli {

// The command's salvage reading: its usual options with salvage on.
FlvOpenOptions SalvageOptions();
// Opens path in salvage mode.
int OpenSalvaged(Document& document, const std::string& path);
// One line per problem of the document's salvage report, for people.
std::vector<std::string> DescribeProblems(const CFlvFile& document);
// `check`: every file read in salvage mode, its problems and notes listed
// (text, or one JSON array); 0 when all are clean, 1 otherwise.
int RunCheck(const std::vector<std::string>& files, bool json);
// Where `repair --split` starts a new file: the times (ms, in the salvaged
// timeline) of each change of decoder configuration or picture size after
// the first.
std::vector<uint32_t> SplitTimes(Document& document);
// OUT for the first file of a split, then OUT's name with -2, -3, ... before
// the extension.
std::string PartName(const std::string& output, size_t part);

}  // namespace cli
