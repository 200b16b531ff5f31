// flvsplice: cut, join and convert FLV files with the flvsplice library,
// without re-encoding anything.

#include <sys/resource.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <unordered_map>

#include "Document.h"
#include "Info.h"
#include "Output.h"
#include "Report.h"
#include "Salvage.h"
#include "TimeText.h"
#include "Written.h"
#include "flvsplice/FlvVersion.h"
#include "flvsplice/export/FlvMp4Writer.h"

using namespace cli;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Job {
    std::vector<std::string> inputs;
    std::string output;
    std::string format;
    bool quiet = false;
    bool index = false;          // FLV output with a key-frame index in its onMetaData
    bool noAudio = false;        // MP4 output without the audio stream
    bool noVideo = false;        // MP4 output without the video stream
    bool splitOnChange = false;  // MP4 output: one file per decoder configuration
    bool fragmented = false;     // MP4 output in fragments (split at every change)
    bool enhanced = false;       // codec-12 HEVC written as enhanced 'hvc1' tags
    std::optional<int> track;    // the one video track of multitrack tags to keep
    bool json = false;           // one JSON document on stdout: what was written, or why not
    bool repair = false;         // read the inputs in salvage mode, as `repair` does
};

// What copy, cut and join report with --json: each file written, and what
// the command tells beyond it (the range kept, frames dropped).
nlohmann::ordered_json& Written() {
    static nlohmann::ordered_json written = {{"outputs", nlohmann::ordered_json::array()}};
    return written;
}

Writer ChosenWriter(const Job& job) {
    return job.format.empty() ? WriterForPath(job.output) : *WriterFromName(job.format);
}

bool OpenDocument(Document& document, const std::string& path, const Job& job) {
    int result = job.repair ? OpenSalvaged(document, path) : document.Open(ToWidePath(path));
    if (result != FlvResult::Success) {
        ReportFailure("cannot open '" + path + "'", result, &document);
        return false;
    }
    if (job.repair && !document.GetSalvageReport().empty()) {
        // What the reading mended, as `repair` tells it.
        nlohmann::ordered_json problems = nlohmann::ordered_json::array();
        for (const std::string& line : DescribeProblems(document)) problems.push_back(line);
        const std::string what = "'" + path + "' was repaired on the way in (" +
                                 std::to_string(problems.size()) +
                                 " problems; 'flvsplice check' lists them)";
        ReportWarning(what, {{"file", PathAsUtf8(path)}, {"repaired", std::move(problems)}});
    }
    if (!job.track) return true;
    result = document.KeepVideoTrack(static_cast<uint8_t>(*job.track));
    if (result == FlvResult::Success) return true;
    ReportFailure("cannot take video track " + std::to_string(*job.track) + " of '" + path + "'",
                  result, &document);
    return false;
}

int Interrupted(const std::string& output) {
    ReportError("interrupted; '" + output + "' was left as it was");
    return interrupt::ExitCode();
}

FlvMp4Options Mp4Options(const Job& job, Writer writer) {
    FlvMp4Options options;
    options.video = writer == Writer::Mp4 && !job.noVideo;
    options.audio = !job.noAudio;
    options.fragmented = job.fragmented;
    return options;
}

// "OUT" for the first part, "OUT-2" (before the extension) for the second...
std::string PartName(const std::string& path, uint32_t part) {
    if (part == 1) return path;
    const std::filesystem::path name(path);
    return (name.parent_path() /
            (name.stem().string() + "-" + std::to_string(part) + name.extension().string()))
        .string();
}

int Write(Document& file, Writer writer, const Job& job, const std::wstring& path,
          CFlvProcess* progress) {
    switch (writer) {
        case Writer::Flv:
            return job.index ? file.SaveAsIndexed(path, progress) : file.SaveAs(path, progress);
        case Writer::Mp4:
        case Writer::M4a:
            return file.SaveMP4(path, Mp4Options(job, writer), progress);
        case Writer::Avi:
            return file.SaveAVI(path, progress);
        case Writer::Adts:
            return file.SaveAudioAdts(path, progress);
        case Writer::Flac:
            return file.SaveAudioStream(path, FlvAudioForm::Flac, progress);
        case Writer::Ac3:
            return file.SaveAudioStream(path, FlvAudioForm::Ac3, progress);
        case Writer::Eac3:
            return file.SaveAudioStream(path, FlvAudioForm::Eac3, progress);
        case Writer::OggOpus:  // refused before the output is made
        case Writer::AnnexB:
            return file.SaveVideoAnnexB(path, progress);
        case Writer::AnnexBHevc:
            return file.SaveVideoStream(path, FlvVideoForm::AnnexBHevc, progress);
        case Writer::Ivf:
            return file.SaveVideoStream(path, FlvVideoForm::Ivf, progress);
        case Writer::Obu:
            return file.SaveVideoStream(path, FlvVideoForm::Obu, progress);
        case Writer::Audio:
            break;
    }
    return file.SaveAudio(path, progress);
}

// Says where a written stream's decoder configuration changes: the MP4 then
// holds one sample description per configuration, which ffmpeg follows but
// some players (browsers among them) do not.
void WarnConfigurationChanges(Document& document, const Job& job) {
    const bool video = ChosenWriter(job) == Writer::Mp4 && !job.noVideo;
    for (const bool isVideo : {true, false}) {
        if (isVideo ? !video : job.noAudio) continue;
        const FlvDecoderConfig* current = nullptr;
        bool frameSeen = false;
        for (const CFlvTag* tag :
             *(isVideo ? document.GetVideoTagArray() : document.GetAudioTagArray())) {
            const FlvDecoderConfig* config = document.GetDecoderConfig(tag);
            if (config == nullptr) {
                frameSeen = frameSeen || tag->IsFrame();
                continue;
            }
            if (current != nullptr && frameSeen && config->bytes != current->bytes) {
                std::string what = isVideo ? "video" : "audio";
                nlohmann::ordered_json detail = {{"kind", "configuration_change"},
                                                 {"stream", what},
                                                 {"file", PathAsUtf8(job.output)},
                                                 {"at", tag->GetTimestamp() / 1000.0}};
                const uint32_t width = config->width != 0 ? config->width : config->avc.width;
                const uint32_t height = config->height != 0 ? config->height : config->avc.height;
                if (isVideo && width != 0) {
                    what += " (now " + std::to_string(width) + "x" + std::to_string(height) + ")";
                    detail["width"] = width;
                    detail["height"] = height;
                }
                detail["remedy"] = "--split-on-change";
                ReportWarning("the " + what + " decoder configuration changes at " +
                                  FormatTime(tag->GetTimestamp()) + "; '" + job.output +
                                  "' holds one sample description per configuration: ffmpeg "
                                  "plays it, some players (browsers among them) stop at the "
                                  "change; --split-on-change writes one file per configuration "
                                  "instead",
                              std::move(detail));
            }
            current = config;
        }
    }
}

// Notes a committed output for the JSON report: its tracks (MP4) or streams
// (FLV, read back), and the streams of the input it leaves out.
void NoteWritten(Document& document, const Job& job, const std::string& path, uint32_t part,
                 uint32_t parts) {
    if (!job.json) return;
    const Writer writer = ChosenWriter(job);
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    nlohmann::ordered_json out = {
        {"file", PathAsUtf8(path)}, {"format", WriterName(writer)}, {"size", error ? 0 : size}};
    if (parts > 1) {
        out["part"] = part;
        out["parts"] = parts;
    }
    if (job.fragmented) out["fragmented"] = true;
    if (writer == Writer::Mp4 || writer == Writer::M4a) {
        FlvMp4Options options = Mp4Options(job, writer);
        options.part = parts > 1 ? part : 0;
        out["tracks"] = DescribeMp4Tracks(document, options);
        nlohmann::ordered_json leftOut = nlohmann::ordered_json::array();
        if (!options.video && !document.GetVideoTagArray()->empty()) {
            leftOut.push_back({{"kind", "video"},
                               {"reason", job.noVideo ? "--no-video" : ".m4a holds audio alone"}});
        }
        if (!options.audio && !document.GetAudioTagArray()->empty()) {
            leftOut.push_back({{"kind", "audio"}, {"reason", "--no-audio"}});
        }
        out["left_out"] = std::move(leftOut);
    } else if (writer == Writer::Flv) {
        out["streams"] = DescribeFlvStreams(path);
    }
    Written()["outputs"].push_back(std::move(out));
}

// The JSON report of copy, cut or join, once its work is done or refused.
int Finish(const Job& job, const char* command, int status) {
    if (!job.json) return status;
    nlohmann::ordered_json report = {{"command", command},
                                     {"inputs", nlohmann::ordered_json::array()}};
    for (const std::string& input : job.inputs) report["inputs"].push_back(PathAsUtf8(input));
    report["status"] = status;
    report.update(Written());
    report["warnings"] = CollectedWarnings();
    report["errors"] = CollectedErrors();
    // Messages quote file names as given, whatever their bytes.
    std::cout << report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
              << '\n';
    return status;
}

// Refuses an output that would overwrite an input, before any input is read.
bool CheckOutput(AtomicOutput& output, const Job& job) {
    std::string reason;
    if (output.Check(job.output, job.inputs, reason)) return true;
    ReportError(reason);
    return false;
}

// Writes one MP4 per decoder configuration: OUT, OUT-2, ... each through
// its own temporary file.
int WriteParts(Document& document, const Job& job, AtomicOutput& first, uint32_t parts) {
    const Writer writer = ChosenWriter(job);
    FlvMp4Options options = Mp4Options(job, writer);
    std::string reason;
    for (uint32_t part = 1; part <= parts; ++part) {
        const std::string path = PartName(job.output, part);
        AtomicOutput later;
        AtomicOutput& output = part == 1 ? first : later;
        if (part > 1 && !output.Check(path, job.inputs, reason)) {
            ReportError(reason);
            return kExitFailure;
        }
        if (!output.Begin(reason)) {
            ReportError(reason);
            return kExitFailure;
        }
        options.part = part;
        int result = FlvResult::Success;
        {
            ProgressBar progress(!job.quiet, output.TempPath());
            result = document.SaveMP4(ToWidePath(output.TempPath()), options, &progress);
        }
        if (interrupt::Requested()) {
            output.Discard();
            return Interrupted(path);
        }
        if (result != FlvResult::Success) {
            output.Discard();
            ReportFailure("cannot write '" + path + "'", result, &document);
            return kExitFailure;
        }
        if (!output.Commit(reason)) {
            ReportError(reason);
            return kExitFailure;
        }
        NoteWritten(document, job, path, part, parts);
        if (!job.quiet && part > 1) {
            std::error_code error;
            const auto size = std::filesystem::file_size(path, error);
            std::printf("wrote %s (%s), part %u of %u\n", path.c_str(),
                        FormatBytes(error ? 0 : size).c_str(), part, parts);
        }
    }
    return 0;
}

// Writes the document to job.output with the writer that the name or
// --format asks for, through a temporary file that replaces the output only
// when everything went well.
int WriteOutput(Document& document, const Job& job, AtomicOutput& output) {
    std::string reason;
    if (interrupt::Requested()) return Interrupted(job.output);

    const Writer writer = ChosenWriter(job);
    if ((writer == Writer::Avi || writer == Writer::AnnexB || writer == Writer::AnnexBHevc ||
         writer == Writer::Ivf || writer == Writer::Obu) &&
        document.GetVideoTagArray()->empty()) {
        ReportError("there is no video to write to '" + job.output + "'");
        return kExitFailure;
    }
    // FLV output: the stream left out goes from the document itself.
    if (writer == Writer::Flv && (job.noAudio || job.noVideo)) {
        const int result = document.DropStream(job.noVideo);
        if (result != FlvResult::Success) {
            ReportFailure("cannot write '" + job.output + "'", result, &document);
            return kExitFailure;
        }
    }
    if (writer == Writer::OggOpus) {
        ReportError("cannot write '" + job.output +
                    "': Ogg Opus is not written yet; write the audio's frames with --format "
                    "audio, or the audio to MP4 with .m4a");
        return kExitFailure;
    }
    if ((writer == Writer::Audio || writer == Writer::Adts || writer == Writer::Flac ||
         writer == Writer::Ac3 || writer == Writer::Eac3 || writer == Writer::M4a) &&
        document.GetAudioTagArray()->empty()) {
        ReportError("there is no audio to write to '" + job.output + "'");
        return kExitFailure;
    }
    // A fragmented file holds one configuration per stream, so it always
    // splits at a change.
    if (job.splitOnChange || job.fragmented) {
        uint32_t parts = 0;
        const int result = document.Mp4PartCount(Mp4Options(job, writer), &parts);
        if (result != FlvResult::Success) {
            ReportFailure("cannot write '" + job.output + "'", result, &document);
            return kExitFailure;
        }
        if (parts > 1) return WriteParts(document, job, output, parts);
    }
    if (!output.Begin(reason)) {
        ReportError(reason);
        return kExitFailure;
    }

    int result = FlvResult::Success;
    std::string thrown;
    {
        ProgressBar progress(!job.quiet, output.TempPath());
        try {
            result = Write(document, writer, job, ToWidePath(output.TempPath()), &progress);
        } catch (const CFlvFileException& e) {
            thrown = e.code().message();
        }
    }
    if (interrupt::Requested()) {
        output.Discard();
        return Interrupted(job.output);
    }
    if (!thrown.empty()) {
        output.Discard();
        ReportError("cannot write '" + job.output + "': " + thrown);
        std::fprintf(stderr,
                     "error: the file system refused the output: check the free space, quotas "
                     "and file size limits.\n");
        return kExitFailure;
    }
    if (result != FlvResult::Success) {
        output.Discard();
        ReportFailure("cannot write '" + job.output + "'", result, &document);
        return kExitFailure;
    }
    if (!output.Commit(reason)) {
        ReportError(reason);
        return kExitFailure;
    }
    NoteWritten(document, job, job.output, 1, 1);
    if ((writer == Writer::Mp4 || writer == Writer::M4a) && !job.fragmented) {
        WarnConfigurationChanges(document, job);
    }
    return 0;
}

void PrintWritten(const Job& job) {
    std::error_code error;
    const auto size = std::filesystem::file_size(job.output, error);
    std::printf("wrote %s (%s)\n", job.output.c_str(), FormatBytes(error ? 0 : size).c_str());
}

int RunInfo(const std::vector<std::string>& files, bool json) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    int status = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        nlohmann::ordered_json entry;
        entry["file"] = PathAsUtf8(files[i]);
        Document document;
        const int result = document.Open(ToWidePath(files[i]));
        if (result != FlvResult::Success) {
            ReportFailure("cannot open '" + files[i] + "'", result, &document);
            entry["error"] = {{"code", result},
                              {"message", FormattedErrors(document)},
                              {"explanation", ExplainResult(result)}};
            status = kExitFailure;
        } else {
            std::error_code error;
            entry["size"] = std::filesystem::file_size(files[i], error);
            entry.update(DescribeDocument(document));
            entry["index"] = DescribeIndex(ToWidePath(files[i]));
        }
        if (json) {
            all.push_back(std::move(entry));
        } else if (!entry.contains("error")) {
            std::printf("%s%s", i > 0 ? "\n" : "", DescribeAsText(files[i], entry).c_str());
        }
    }
    if (json) std::cout << all.dump(2) << '\n';
    return status;
}

// HEVC pictures that cannot be decoded where the video now starts.
void PrintRaslNote(const Document& document) {
    if (const size_t dropped = document.GetDroppedRaslPictures()) {
        std::printf("left out %zu RASL picture%s after the CRA picture the video starts at\n",
                    dropped, dropped == 1 ? "" : "s");
    }
}

int RunCut(const Job& job, uint32_t from, std::optional<uint32_t> to) {
    AtomicOutput output;
    Document document;
    if (!CheckOutput(output, job) || !OpenDocument(document, job.inputs[0], job))
        return kExitFailure;

    // Extract renumbers the timestamps; the ones before it tell what was kept.
    std::unordered_map<const CFlvTag*, uint32_t> before;
    for (const CFlvTag* tag : *document.GetFlvTagArray()) before[tag] = tag->GetTimestamp();
    const uint32_t end = to.value_or(UINT32_MAX);
    const int result = document.Extract(from, end);
    if (result != FlvResult::Success) {
        ReportFailure("cannot cut '" + job.inputs[0] + "' from " + FormatTime(from) + " to " +
                          (to ? FormatTime(*to) : "the end"),
                      result, &document);
        return kExitFailure;
    }
    uint64_t keptStart = UINT64_MAX, keptEnd = 0;
    for (const CFlvTag* tag : *document.GetFlvTagArray()) {
        // A decoder configuration put in front of the cut is no content.
        if (!tag->IsFrame()) continue;
        keptStart = std::min<uint64_t>(keptStart, before[tag]);
        keptEnd = std::max<uint64_t>(keptEnd, uint64_t{before[tag]} + tag->m_duration);
    }
    Written()["kept"] = {{"from", keptStart / 1000.0},
                         {"to", keptEnd / 1000.0},
                         {"asked_from", from / 1000.0},
                         {"asked_to", to ? nlohmann::ordered_json(*to / 1000.0) : nullptr}};
    const int status = WriteOutput(document, job, output);
    if (status == 0 && !job.quiet) {
        std::printf("kept %s - %s of %s (asked for %s - %s)\n", FormatTime(keptStart).c_str(),
                    FormatTime(keptEnd).c_str(), job.inputs[0].c_str(), FormatTime(from).c_str(),
                    to ? FormatTime(*to).c_str() : "the end");
        PrintRaslNote(document);
        PrintWritten(job);
    }
    return status;
}

// Every input stays open until the output is written: allow as many open
// files as the hard limit does.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int RunJoin(const Job& job, bool strict) {
    AtomicOutput output;
    if (!CheckOutput(output, job)) return kExitFailure;
    RaiseOpenFileLimit();
    std::vector<std::unique_ptr<Document>> documents;
    for (const std::string& input : job.inputs) {
        if (interrupt::Requested()) return Interrupted(job.output);
        documents.push_back(std::make_unique<Document>());
        if (!OpenDocument(*documents.back(), input, job)) return kExitFailure;
    }
    for (size_t i = 1; i < documents.size(); ++i) {
        if (interrupt::Requested()) return Interrupted(job.output);
        const int result = documents[0]->Add(documents[i].get(), strict);
        if (result != FlvResult::Success) {
            ReportFailure("cannot join '" + job.inputs[i] + "' onto '" + job.inputs[0] + "'",
                          result, documents[0].get());
            return kExitFailure;
        }
    }
    Written()["joined"] = documents.size();
    Written()["dropped_audio_frames"] = documents[0]->GetDroppedAudioFrames();
    const int status = WriteOutput(*documents[0], job, output);
    if (status == 0 && !job.quiet) {
        std::printf("joined %zu files, %.3f s\n", documents.size(),
                    documents[0]->GetFlvMetaData()->m_durationSec);
        if (const size_t dropped = documents[0]->GetDroppedAudioFrames()) {
            std::printf(
                "left out %zu audio frame%s that would have played before a joined file's first "
                "picture, over the end of the audio before it\n",
                dropped, dropped == 1 ? "" : "s");
        }
        PrintRaslNote(*documents[0]);
        PrintWritten(job);
    }
    return status;
}

int RunCopy(const Job& job) {
    AtomicOutput output;
    Document document;
    if (!CheckOutput(output, job) || !OpenDocument(document, job.inputs[0], job))
        return kExitFailure;
    if (job.enhanced) {
        const int result = document.ConvertToEnhanced();
        if (result != FlvResult::Success) {
            ReportFailure("cannot rewrite '" + job.inputs[0] + "' as enhanced FLV", result,
                          &document);
            return kExitFailure;
        }
    }
    const int status = WriteOutput(document, job, output);
    if (status == 0 && !job.quiet) PrintWritten(job);
    return status;
}

// Writes what a salvaging Open kept of job.inputs[0]: one file, or with split
// one file per stretch between changes of decoder configuration or picture
// size (each opened again and cut to its stretch).
int RunRepair(Job job, bool split) {
    job.format = "flv";
    const std::string& input = job.inputs[0];
    Document document;
    const int result = OpenSalvaged(document, input);
    if (result != FlvResult::Success) {
        ReportFailure("nothing salvageable in '" + input + "'", result, &document);
        return kExitFailure;
    }
    const std::vector<uint32_t> cuts = split ? SplitTimes(document) : std::vector<uint32_t>{};
    if (!job.quiet) {
        for (const std::string& line : DescribeProblems(document)) {
            std::printf("fixed: %s\n", line.c_str());
        }
        if (document.GetSalvageReport().empty()) std::printf("no damage found\n");
    }
    if (cuts.empty()) {
        AtomicOutput output;
        if (!CheckOutput(output, job)) return kExitFailure;
        const int status = WriteOutput(document, job, output);
        if (status == 0 && !job.quiet) PrintWritten(job);
        return status;
    }
    for (size_t part = 0; part <= cuts.size(); ++part) {
        Job one = job;
        one.output = PartName(job.output, part + 1);
        AtomicOutput output;
        if (!CheckOutput(output, one)) return kExitFailure;
        Document piece;
        if (OpenSalvaged(piece, input) != FlvResult::Success) {
            ReportFailure("cannot read '" + input + "' again", FlvResult::ReadFailed, &piece);
            return kExitFailure;
        }
        const uint32_t from = part == 0 ? 0 : cuts[part - 1];
        const uint32_t to = part < cuts.size() ? cuts[part] - 1 : UINT32_MAX;
        const int cut = piece.Extract(from, to);
        if (cut != FlvResult::Success) {
            ReportFailure("cannot split '" + input + "' at " + FormatTime(from), cut, &piece);
            return kExitFailure;
        }
        const int status = WriteOutput(piece, one, output);
        if (status != 0) return status;
        if (!one.quiet) PrintWritten(one);
    }
    return 0;
}

const std::map<std::string, std::string> kUsage = {
    {"", "usage: flvsplice [--version] [-q] {info|check|cut|join|copy|repair} ..."},
    {"check", "usage: flvsplice check FILE... [--json]"},
    {"repair", "usage: flvsplice repair IN -o OUT [--split] [--index]"},
    {"info", "usage: flvsplice info FILE... [--json]"},
    {"cut",
     "usage: flvsplice cut IN [--from TIME] [--to TIME] -o OUT [--format "
     "flv|avi|audio|aac|flac|ac3|eac3|h264|h265|ivf|obu|mp4|m4a] "
     "[--track ID] [--index] [--repair] [--no-audio] [--no-video] [--split-on-change] "
     "[--fragmented] "
     "[--json]"},
    {"join",
     "usage: flvsplice join IN IN... -o OUT [--strict] [--format "
     "flv|avi|audio|aac|flac|ac3|eac3|h264|h265|ivf|obu|mp4|m4a] "
     "[--track ID] [--index] [--repair] [--no-audio] [--no-video] [--split-on-change] "
     "[--fragmented] "
     "[--json]"},
    {"copy",
     "usage: flvsplice copy IN -o OUT [--format "
     "flv|avi|audio|aac|flac|ac3|eac3|h264|h265|ivf|obu|mp4|m4a] "
     "[--track ID] [--index] [--repair] [--no-audio] [--no-video] [--split-on-change] "
     "[--fragmented] "
     "[--json] "
     "[--enhanced]"},
};

int UsageError(const CLI::App& app, const std::string& message) {
    const auto chosen = app.get_subcommands();
    const std::string name = chosen.empty() ? "" : chosen[0]->get_name();
    std::fprintf(stderr, "flvsplice: %s\n%s\nTry 'flvsplice %s%s--help' for more.\n",
                 message.c_str(), kUsage.at(name).c_str(), name.c_str(), name.empty() ? "" : " ");
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Cut, join and convert FLV files without re-encoding.", "flvsplice"};
    app.set_version_flag("--version", [] {
        // The library in use is named too when it is not the one built with.
        std::string version = "flvsplice " FLVSPLICE_VERSION_STRING;
        if (std::string_view(FlvLibraryVersion()) != FLVSPLICE_VERSION_STRING) {
            version += std::string(" (library ") + FlvLibraryVersion() + ")";
        }
        return version;
    });
    app.require_subcommand(1);
    app.fallthrough();
    Job job;
    app.add_flag("-q,--quiet", job.quiet, "No progress bar and no summary");

    const CLI::Validator timeCheck(
        [](std::string& text) {
            return ParseTime(text) ? std::string() : "'" + text + "' is not a time";
        },
        "TIME");
    const auto formats = CLI::IsMember({"flv", "avi", "audio", "aac", "flac", "ac3", "eac3", "h264",
                                        "h265", "ivf", "obu", "mp4", "m4a"});

    auto* info = app.add_subcommand("info", "Show what a file holds");
    bool json = false;
    info->add_option("FILE", job.inputs, "FLV files")->required()->type_name("");
    info->add_flag("--json", json, "Print one JSON document (an array, one entry per file)");

    std::string fromText = "0", toText;
    auto* cut = app.add_subcommand("cut", "Keep a time range (it starts at a key frame)");
    cut->add_option("IN", job.inputs, "Input FLV file")->required()->expected(1)->type_name("");
    cut->add_option("--from", fromText,
                    "Start: 1500 (ms), 1.5s or [hh:]mm:ss[.mmm]; moves back to a key frame")
        ->check(timeCheck)
        ->type_name("TIME");
    cut->add_option("--to", toText, "End, in the same forms; default: the end")
        ->check(timeCheck)
        ->type_name("TIME");

    bool strict = false;
    auto* join = app.add_subcommand("join", "Join files one after another");
    join->add_option("IN", job.inputs, "Input FLV files, in order")
        ->required()
        ->expected(2, -1)
        ->type_name("");
    join->add_flag("--strict", strict, "Refuse files whose formats differ");

    auto* copy = app.add_subcommand("copy", "Write a file again, unedited");
    copy->add_option("IN", job.inputs, "Input FLV file")->required()->expected(1)->type_name("");
    copy->add_flag("--enhanced", job.enhanced,
                   "Write codec-12 HEVC as enhanced FLV ('hvc1' tags), the coded data unchanged");

    bool checkJson = false;
    std::vector<std::string> checked;
    auto* check = app.add_subcommand("check", "Look for damage (read in salvage mode)");
    check->add_option("FILE", checked, "FLV files")->required()->type_name("");
    check->add_flag("--json", checkJson, "Print one JSON document (an array, one entry per file)");

    bool split = false;
    auto* repair =
        app.add_subcommand("repair", "Write what can be saved of a damaged file, mended");
    repair->add_option("IN", job.inputs, "Input FLV file")->required()->expected(1)->type_name("");
    repair->add_option("-o,--output", job.output, "Output FLV file")->required()->type_name("OUT");
    repair->add_flag("--split", split,
                     "Start a new file (OUT-2, OUT-3, ...) at each change of decoder "
                     "configuration or picture size");
    repair->add_flag("--index", job.index,
                     "Add a key-frame index to onMetaData so players can seek");

    for (CLI::App* command : {cut, join, copy}) {
        command
            ->add_option("-o,--output", job.output,
                         "Output file: .flv, .avi, .aac (ADTS), .h264 or .264 (Annex B), "
                         ".h265, .265 or .hevc (HEVC Annex B), .ivf (AV1, VP9), .obu (AV1), "
                         ".mp4 or .m4v (MP4), .m4a (MP4 audio); anything else takes the audio "
                         "alone")
            ->required()
            ->type_name("OUT");
        command->add_option("--format", job.format, "Writer, instead of the output's extension")
            ->check(formats)
            ->type_name("FORMAT");
        command
            ->add_option("--track", job.track,
                         "Keep one video track of a multitrack file, by its track id")
            ->check(CLI::Range(0, 255))
            ->type_name("ID");
        command->add_flag("--index", job.index,
                          "FLV output: add a key-frame index to onMetaData so players can seek");
        command->add_flag("--repair", job.repair,
                          "Read the inputs as 'repair' does: keep what can be trusted of a "
                          "damaged file and mend it on the way in");
        command->add_flag("--no-audio", job.noAudio,
                          "MP4 or FLV output: leave the audio stream out");
        command->add_flag("--no-video", job.noVideo,
                          "MP4 or FLV output: leave the video stream out");
        command->add_flag("--json", job.json,
                          "Print one JSON document: each file written (its tracks or streams), "
                          "warnings, and on failure the errors with their codes");
        command->add_flag("--split-on-change", job.splitOnChange,
                          "MP4 output: one file per decoder configuration (OUT, then OUT-2, "
                          "OUT-3, ... before the extension)");
        command->add_flag("--fragmented", job.fragmented,
                          "MP4 output: fragments of about a second (moof+mdat) after an empty "
                          "moov, with a sidx to seek by; splits like --split-on-change");
    }

    try {
        app.parse(argc, argv);
        if ((job.noAudio || job.noVideo || job.splitOnChange || job.fragmented) &&
            !job.output.empty()) {
            const Writer writer = ChosenWriter(job);
            if (writer != Writer::Mp4 && writer != Writer::M4a &&
                (job.splitOnChange || job.fragmented || writer != Writer::Flv)) {
                throw CLI::ValidationError(
                    "--split-on-change and --fragmented need MP4 output (.mp4, .m4v, .m4a or "
                    "--format mp4|m4a); --no-audio and --no-video need MP4 or FLV output");
            }
            if (job.noAudio && (job.noVideo || writer == Writer::M4a)) {
                throw CLI::ValidationError(
                    "nothing would be left to write: --no-audio leaves "
                    "an .m4a, or --no-video, without any stream");
            }
        }
        if (job.index && !job.output.empty()) {
            const Writer writer = ChosenWriter(job);
            if (writer != Writer::Flv) {
                throw CLI::ValidationError(
                    "--index needs FLV output: AVI, audio and elementary streams have no "
                    "onMetaData to carry it");
            }
        }
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        if (argc > 1 && argv[1][0] != '-' && app.get_subcommands().empty()) {
            return UsageError(app, std::string("unknown command '") + argv[1] + "'");
        }
        return UsageError(app, e.what());
    }

    try {
        if (info->parsed()) return RunInfo(job.inputs, json);
        if (check->parsed()) return RunCheck(checked, checkJson);
        interrupt::Install();
        if (repair->parsed()) return RunRepair(job, split);
        if (job.json) {
            // stdout carries the JSON alone.
            job.quiet = true;
            CollectReports();
        }
        if (cut->parsed()) {
            return Finish(job, "cut",
                          RunCut(job, *ParseTime(fromText),
                                 toText.empty() ? std::nullopt : ParseTime(toText)));
        }
        if (join->parsed()) return Finish(job, "join", RunJoin(job, strict));
        return Finish(job, "copy", RunCopy(job));
    } catch (const std::bad_alloc&) {
        ReportError("out of memory");
    } catch (const std::exception& e) {
        ReportError(std::string("unexpected failure: ") + e.what());
    }
    if (cut->parsed() || join->parsed() || copy->parsed()) {
        return Finish(job, app.get_subcommands()[0]->get_name().c_str(), kExitFailure);
    }
    return kExitFailure;
}
