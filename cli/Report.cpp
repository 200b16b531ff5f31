#include "Report.h"

#include <cstdio>
#include <cwchar>
#include <optional>
#include <sstream>

#include "flvsplice/document/FlvFile.h"
#include "flvsplice/platform/FlvSystem.h"

namespace cli {

std::wstring ToWidePath(const std::string& bytes) { return flvsys::PathToWide(bytes); }

std::string ToUtf8(const std::wstring& wide) {
    std::string out;
    for (wchar_t c : wide) {
        auto one =
            flvsys::IsEscapedByte(c) ? std::nullopt : flvsys::WideToUtf8(std::wstring_view(&c, 1));
        out += one ? *one : "\xEF\xBF\xBD";
    }
    return out;
}

std::string PathAsUtf8(const std::string& bytes) { return ToUtf8(flvsys::PathToWide(bytes)); }

std::string ExplainResult(int code) {
    switch (code) {
        case FlvResult::OpenFailed:
            return "a file could not be opened or created: check that the path exists and that "
                   "you may read the input and write the output's directory.";
        case FlvResult::CreateFailed:
            return "the FLV output could not be created: check that its directory exists and is "
                   "writable.";
        case FlvResult::SeekFailed:
        case FlvResult::PositionFailed:
            return "the input could not be measured or positioned: give a regular file, not a "
                   "pipe or device.";
        case FlvResult::ReadFailed:
            return "the input ended early or could not be read: it is truncated or unreadable; "
                   "re-create or re-download it."
                   " 'flvsplice repair IN -o OUT' saves what is readable of a damaged file"
                   " (copy, cut and join take --repair to do it on the way in).";
        case FlvResult::AviCreateFailed:
            return "the AVI output could not be created: check that its directory exists and is "
                   "writable.";
        case FlvResult::HeaderLoadFailed:
            return "the FLV header could not be loaded: the file is empty, too short or not "
                   "readable as FLV.";
        case FlvResult::BadSignature:
            return "this is not an FLV file (it does not start with \"FLV\"): check the input.";
        case FlvResult::BadFlags:
            return "the FLV header announces neither audio nor video: the file is damaged."
                   " 'flvsplice repair IN -o OUT' saves what is readable of a damaged file"
                   " (copy, cut and join take --repair to do it on the way in).";
        case FlvResult::TagLoadFailed:
            return "a tag could not be loaded: the file is truncated or damaged, or its video "
                   "codec is one this tool does not read."
                   " 'flvsplice repair IN -o OUT' saves what is readable of a damaged file"
                   " (copy, cut and join take --repair to do it on the way in).";
        case FlvResult::ContentInvalid:
            return "no audio or video is left to work with, or it does not match the header: "
                   "for a cut, choose a range that holds both streams.";
        case FlvResult::SingleAudioTag:
            return "the file holds a single audio tag, too few to time the stream: use a longer "
                   "file.";
        case FlvResult::SingleVideoTag:
            return "the file holds a single video frame, too few to time the stream: use a "
                   "longer file.";
        case FlvResult::HeaderSaveFailed:
        case FlvResult::TagSizeSaveFailed:
        case FlvResult::MetaDataSaveFailed:
        case FlvResult::OutputIncomplete:
            return "the output could not be written completely: check the free space and the "
                   "output's directory.";
        case FlvResult::TagSaveFailed:
            return "a tag could not be copied: an input could not be read back or the output not "
                   "written; check the inputs and the free space.";
        case FlvResult::JoinRefused:
            return "the files cannot be joined: one lacks a stream the other has, their "
                   "multitrack tracks differ, or (with --strict) their formats differ; join files "
                   "of one kind, or drop --strict.";
        case FlvResult::StartAfterEnd:
            return "the start time lies after the end time: swap --from and --to.";
        case FlvResult::NoKeyFrame:
            return "there is no video key frame at or after --from (in a multitrack file, no "
                   "time where every video track has one): choose an earlier --from.";
        case FlvResult::NoAudio:
            return "there is no audio at or after --from: choose an earlier --from.";
        case FlvResult::AviCodecRefused:
            return "AVI export takes only Sorenson H.263 and On2 VP6 video: write FLV or audio "
                   "instead.";
        case FlvResult::NotOpen:
            return "the input was no longer open when it was written: this is a fault of the "
                   "tool; please report it.";
        case FlvResult::AviSizeLimit:
            return "the AVI would pass the 4 GiB limit of its 32-bit sizes: cut the input into "
                   "shorter parts.";
        case FlvResult::ExportRefused:
            return "the input's stream cannot be written in that form: .aac takes AAC audio, "
                   ".h264 takes H.264 video, each with its decoder configuration; choose "
                   "another output.";
        case FlvResult::Mp4StreamRefused:
            return "a stream has no MP4 form: H.263, screen video and VP6 go to .avi, or leave "
                   "the video out with --no-video; audio other than AAC, MP3, Opus and AC-3 "
                   "(FLAC and E-AC-3 among them) is left out with --no-audio; multitrack tags "
                   "have none.";
        case FlvResult::Mp4TimeBackwards:
            return "decode times go backwards in a stream, which MP4 cannot hold: repair the "
                   "input first (flvsplice repair), then write the MP4.";
        default:
            return "unknown result code.";
    }
}

namespace {

struct Collected {
    bool on = false;
    nlohmann::ordered_json errors = nlohmann::ordered_json::array();
    nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
};

Collected& Reports() {
    static Collected collected;
    return collected;
}

// The document's records, newest first: what failed, then what it failed on.
nlohmann::ordered_json ErrorChain(CFlvFile& document) {
    nlohmann::ordered_json chain = nlohmann::ordered_json::array();
    for (int i = document.GetErrorCount() - 1; i >= 0; --i) {
        nlohmann::ordered_json record = {{"message", ToUtf8(document.GetErrorMessage(i))}};
        const std::wstring detail = document.GetErrorDetail(i);
        if (!detail.empty()) {
            record["system_error"] = ToUtf8(detail);
            const long code = std::wcstol(detail.c_str(), nullptr, 10);
            if (code > 0 && code < 4096) {
                record["system_message"] = ToUtf8(flvsys::SystemErrorText(static_cast<int>(code)));
            }
        }
        chain.push_back(std::move(record));
    }
    return chain;
}

}  // namespace

void CollectReports() { Reports().on = true; }
nlohmann::ordered_json CollectedErrors() { return Reports().errors; }
nlohmann::ordered_json CollectedWarnings() { return Reports().warnings; }

void ReportError(const std::string& what) {
    std::fprintf(stderr, "flvsplice: %s\n", what.c_str());
    if (Reports().on) Reports().errors.push_back({{"message", what}});
}

void ReportWarning(const std::string& what, nlohmann::ordered_json detail) {
    std::fprintf(stderr, "flvsplice: warning: %s\n", what.c_str());
    if (Reports().on) {
        detail["message"] = what;
        Reports().warnings.push_back(std::move(detail));
    }
}

std::string FormattedErrors(CFlvFile& document) {
    // A system error text ends with a line feed, which would leave the
    // closing parenthesis of its record on a line of its own.
    std::string text = ToUtf8(document.GetErrorMessageFormatted());
    for (size_t at; (at = text.find("\n)")) != std::string::npos;) text.erase(at, 1);
    return text;
}

void ReportFailure(const std::string& what, int code, CFlvFile* document) {
    std::fprintf(stderr, "flvsplice: %s\n", what.c_str());
    if (Reports().on) {
        nlohmann::ordered_json error = {
            {"message", what}, {"code", code}, {"explanation", ExplainResult(code)}};
        if (document != nullptr) error["chain"] = ErrorChain(*document);
        Reports().errors.push_back(std::move(error));
    }
    if (document != nullptr) {
        std::istringstream text(FormattedErrors(*document));
        for (std::string line; std::getline(text, line);) {
            if (!line.empty()) std::fprintf(stderr, "  %s\n", line.c_str());
        }
    }
    std::fprintf(stderr, "error %d: %s\n", code, ExplainResult(code).c_str());
}

}  // namespace cli
