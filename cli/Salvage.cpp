#include "Salvage.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>

#include "Report.h"
#include "TimeText.h"
#include "flvsplice/common/FlvResult.h"

namespace cli {

namespace {

constexpr uint64_t kFourGiB = uint64_t{1} << 32;

std::string AmountText(const FlvSalvageProblem& problem) {
    using Kind = FlvSalvageProblem::Kind;
    const auto amount = static_cast<long long>(problem.amount);
    switch (problem.kind) {
        case Kind::TruncatedTail:
        case Kind::SkippedBytes:
            return std::to_string(amount) + " bytes";
        case Kind::UndecodableFrames:
        case Kind::MissingConfig:
        case Kind::RepeatedRun:
            return std::to_string(amount) + (amount == 1 ? " tag" : " tags");
        case Kind::TimestampWrap:
        case Kind::TimestampJump:
            return (amount >= 0 ? "+" : "") + std::to_string(amount) + " ms";
        case Kind::WrongPreviousTagSize:
            return "read " + std::to_string(amount);
        case Kind::HeaderFlags:
            return (amount & 0x04 ? std::string("audio") : std::string()) +
                   ((amount & 0x05) == 0x05 ? "+" : "") + (amount & 0x01 ? "video" : "");
        default:
            return {};
    }
}

// Key frames that are not IDR pictures: a cut cannot start there.
size_t KeyFramesWithoutIdr(Document& document) {
    size_t count = 0;
    for (const CFlvTag* tag : *document.GetVideoTagArray()) {
        const auto* video = static_cast<const CFlvVideoData*>(tag->m_payload.get());
        if (tag->IsFrame() && tag->IsKeyFrame() && video != nullptr && video->NeedsIdrCheck() &&
            !tag->DecodesAlone()) {
            ++count;
        }
    }
    return count;
}

}  // namespace

FlvOpenOptions SalvageOptions() {
    FlvOpenOptions options = Document::Options();
    options.salvage = true;
    return options;
}

int OpenSalvaged(Document& document, const std::string& path) {
    return document.CFlvFile::Open(ToWidePath(path), SalvageOptions());
}

std::vector<std::string> DescribeProblems(const CFlvFile& document) {
    std::vector<std::string> lines;
    for (const FlvSalvageProblem& problem : document.GetSalvageReport()) {
        std::string line = "offset " + std::to_string(problem.offset) + ", tag " +
                           std::to_string(problem.tagIndex) + ", " + FormatTime(problem.timeMs) +
                           ": " + FlvSalvageKindName(problem.kind);
        const std::string amount = AmountText(problem);
        if (!amount.empty()) line += " (" + amount + ")";
        line += std::string(" -> ") + FlvSalvageActionName(problem.action);
        lines.push_back(std::move(line));
    }
    return lines;
}

int RunCheck(const std::vector<std::string>& files, bool json) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    int status = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        nlohmann::ordered_json entry;
        entry["file"] = PathAsUtf8(files[i]);
        Document document;
        const int result = OpenSalvaged(document, files[i]);
        std::error_code error;
        const uint64_t size = std::filesystem::file_size(files[i], error);
        if (!error) entry["size"] = size;
        nlohmann::ordered_json problems = nlohmann::ordered_json::array();
        for (const FlvSalvageProblem& problem : document.GetSalvageReport()) {
            problems.push_back({{"kind", FlvSalvageKindName(problem.kind)},
                                {"offset", problem.offset},
                                {"tag", problem.tagIndex},
                                {"time_ms", problem.timeMs},
                                {"amount", problem.amount},
                                {"repair", FlvSalvageActionName(problem.action)}});
        }
        nlohmann::ordered_json notes = nlohmann::ordered_json::array();
        if (result == FlvResult::Success) {
            if (const size_t keys = KeyFramesWithoutIdr(document)) {
                notes.push_back(std::to_string(keys) +
                                " key frames hold no IDR picture (no cut starts there)");
            }
        }
        if (!error && size > kFourGiB) {
            notes.push_back("the file is larger than 4 GiB (some players stop at 4 GiB)");
        }
        const bool salvageable = result == FlvResult::Success;
        if (!salvageable) {
            entry["error"] = {{"code", result},
                              {"message", FormattedErrors(document)},
                              {"explanation", ExplainResult(result)}};
        }
        const bool clean = salvageable && problems.empty();
        entry["clean"] = clean;
        entry["salvageable"] = salvageable;
        entry["problems"] = problems;
        entry["notes"] = notes;
        if (!clean) status = 1;
        if (json) {
            all.push_back(std::move(entry));
            continue;
        }
        std::printf("%s%s\n", i > 0 ? "\n" : "", files[i].c_str());
        for (const std::string& line : DescribeProblems(document)) {
            std::printf("  problem: %s\n", line.c_str());
        }
        for (const auto& note : notes) {
            std::printf("  note: %s\n", note.get<std::string>().c_str());
        }
        if (!salvageable) {
            std::printf("  nothing salvageable: error %d: %s\n", result,
                        ExplainResult(result).c_str());
        } else {
            std::printf("  %zu problem%s, %zu tags readable%s\n", problems.size(),
                        problems.size() == 1 ? "" : "s", document.GetFlvTagArray()->size(),
                        clean ? "" : "; 'flvsplice repair' fixes them");
        }
    }
    if (json) std::cout << all.dump(2) << '\n';
    return status;
}

std::vector<uint32_t> SplitTimes(Document& document) {
    std::vector<uint32_t> times;
    bool haveConfig = false;
    uint32_t width = 0, height = 0;
    bool haveSize = false;
    for (const CFlvTag* tag : *document.GetVideoTagArray()) {
        if (document.GetDecoderConfig(tag) != nullptr) {
            if (haveConfig) times.push_back(tag->GetTimestamp());
            haveConfig = true;
            continue;
        }
        if (!tag->IsFrame() || !tag->IsKeyFrame()) continue;
        auto* video = static_cast<CFlvVideoData*>(tag->m_payload.get());
        if (video == nullptr || !video->m_packet) continue;
        const uint32_t w = video->m_packet->GetWidth();
        const uint32_t h = video->m_packet->GetHeight();
        if (w == 0 || h == 0) continue;
        if (haveSize && (w != width || h != height) &&
            (times.empty() || times.back() != tag->GetTimestamp())) {
            times.push_back(tag->GetTimestamp());
        }
        haveSize = true;
        width = w;
        height = h;
    }
    return times;
}

std::string PartName(const std::string& output, size_t part) {
    if (part <= 1) return output;
    const std::filesystem::path path(output);
    const std::string suffix = "-" + std::to_string(part);
    if (!path.has_extension()) return output + suffix;
    return (path.parent_path() / (path.stem().string() + suffix + path.extension().string()))
        .string();
}

}  // namespace cli
