#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "Document.h"

struct FlvMp4Options;

namespace cli {

// What copy, cut and join wrote, for their --json report.

// The tracks of the MP4 that document.SaveMP4(options) wrote: per track its
// codec, codecs parameter, samples, start, duration and the configuration in
// force over each run of samples.
nlohmann::ordered_json DescribeMp4Tracks(Document& document, const FlvMp4Options& options);
// The streams of a written FLV file, read back: per stream its codec,
// frames, start, duration and each decoder configuration it carries.
nlohmann::ordered_json DescribeFlvStreams(const std::string& path);

}  // namespace cli
