#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "flvsplice/common/FlvProcess.h"

namespace cli {

// Ctrl-C (and SIGTERM, SIGHUP): the first one is only noted, so that the
// running write stops at its next progress report; a second one removes the
// temporary output and ends the process at once.
namespace interrupt {
void Install();
bool Requested();
// 128 + the signal's number.
int ExitCode();
}  // namespace interrupt

// Shows progress on stderr when it is a terminal and answers the library's
// progress calls with "stop" once an interrupt was asked for.
class ProgressBar : public CFlvProcess {
public:
    ProgressBar(bool show, std::string writtenPath);
    ~ProgressBar() override;
    bool ReportProgress(int index, int count) override;

private:
    bool m_show;
    bool m_drawn = false;
    std::string m_path;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

enum class Writer {
    Flv,
    Avi,
    Audio,
    Adts,
    Flac,
    Ac3,
    Eac3,
    OggOpus,
    AnnexB,
    AnnexBHevc,
    Ivf,
    Obu,
    Mp4,
    M4a
};

// ".flv" → FLV, ".avi" → AVI, ".aac" → ADTS, ".h264" or ".264" → Annex B,
// ".mp4" or ".m4v" → MP4, ".m4a" → MP4 with the audio alone, anything else
// → audio; case does not matter.
Writer WriterForPath(const std::string& path);
std::optional<Writer> WriterFromName(const std::string& name);
// The --format name of a writer.
const char* WriterName(Writer writer);

// An output that appears under its name only when complete: the writer fills
// a temporary file beside it, Commit renames that over the name. Whatever is
// not committed is removed, so a failure or an interrupt leaves the name as
// it was.
class AtomicOutput {
public:
    // Refuses (false, with the reason) a name that is an existing non-regular
    // file or the same file as one of the inputs under any name.
    bool Check(const std::string& path, const std::vector<std::string>& inputs,
               std::string& reason);
    // Creates the temporary file; false with the reason when it cannot.
    bool Begin(std::string& reason);
    const std::string& TempPath() const { return m_temp; }
    bool Commit(std::string& reason);
    void Discard();
    ~AtomicOutput();

private:
    std::string m_target;
    std::string m_temp;
    unsigned m_mode = 0;  // of the file the output replaces; 0 for a new file
};

}  // namespace cli
