#include "Output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "TimeText.h"

namespace cli {

namespace {

volatile sig_atomic_t g_signal = 0;
// The temporary output that a second interrupt removes before it ends the
// process; g_tempSet is cleared while the path changes.
char g_tempPath[4096];
volatile sig_atomic_t g_tempSet = 0;

extern "C" void OnSignal(int signal) {
    if (g_signal != 0) {
        if (g_tempSet) ::unlink(g_tempPath);
        ::_exit(128 + g_signal);
    }
    g_signal = signal;
}

void SetInterruptCleanup(const std::string& path) {
    g_tempSet = 0;
    if (path.empty() || path.size() >= sizeof g_tempPath) return;
    std::memcpy(g_tempPath, path.c_str(), path.size() + 1);
    g_tempSet = 1;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Cuts a file name to at most max bytes without splitting a UTF-8 sequence.
std::string ShortenName(std::string name, size_t max) {
    if (name.size() <= max) return name;
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut);
}

}  // namespace

namespace interrupt {

void Install() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool Requested() { return g_signal != 0; }

int ExitCode() { return 128 + g_signal; }

}  // namespace interrupt

ProgressBar::ProgressBar(bool show, std::string writtenPath)
    : m_show(show && ::isatty(STDERR_FILENO)),
      m_path(std::move(writtenPath)),
      m_start(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    if (m_drawn) std::fputc('\n', stderr);
}

bool ProgressBar::ReportProgress(int index, int count) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    const int done = index + 1;
    if (m_show && count > 0 &&
        (!m_drawn || done >= count || now - m_lastDraw >= milliseconds(100))) {
        struct stat st {};
        const uint64_t bytes = ::stat(m_path.c_str(), &st) == 0 ? st.st_size : 0;
        const double elapsed = duration<double>(now - m_start).count();
        const double fraction = static_cast<double>(done) / count;
        const auto left = static_cast<uint64_t>(elapsed / fraction - elapsed + 0.5);
        const std::string rate =
            elapsed > 0 ? FormatBytes(static_cast<uint64_t>(bytes / elapsed)) + "/s" : "-";
        char bar[21];
        const int filled = static_cast<int>(fraction * 20);
        for (int i = 0; i < 20; ++i) bar[i] = i < filled ? '#' : '.';
        bar[20] = '\0';
        std::fprintf(stderr, "\r%3d%% [%s] %d/%d tags  %s  %s  %llu:%02llu left\x1b[K",
                     static_cast<int>(fraction * 100), bar, done, count, FormatBytes(bytes).c_str(),
                     rate.c_str(), static_cast<unsigned long long>(left / 60),
                     static_cast<unsigned long long>(left % 60));
        m_drawn = true;
        m_lastDraw = now;
    }
    return interrupt::Requested();
}

Writer WriterForPath(const std::string& path) {
    const std::string extension = Lower(std::filesystem::path(path).extension().string());
    if (extension == ".flv") return Writer::Flv;
    if (extension == ".avi") return Writer::Avi;
    if (extension == ".aac") return Writer::Adts;
    if (extension == ".flac") return Writer::Flac;
    if (extension == ".ac3") return Writer::Ac3;
    if (extension == ".eac3" || extension == ".ec3") return Writer::Eac3;
    if (extension == ".opus" || extension == ".ogg") return Writer::OggOpus;
    if (extension == ".h264" || extension == ".264") return Writer::AnnexB;
    if (extension == ".h265" || extension == ".265" || extension == ".hevc") {
        return Writer::AnnexBHevc;
    }
    if (extension == ".ivf") return Writer::Ivf;
    if (extension == ".obu") return Writer::Obu;
    if (extension == ".mp4" || extension == ".m4v") return Writer::Mp4;
    if (extension == ".m4a") return Writer::M4a;
    return Writer::Audio;
}

namespace {

// The --format names of the writers.
struct NamedWriter {
    const char* name;
    Writer writer;
};
constexpr NamedWriter kWriterNames[] = {
    {"flv", Writer::Flv},   {"avi", Writer::Avi},     {"audio", Writer::Audio},
    {"aac", Writer::Adts},  {"flac", Writer::Flac},   {"ac3", Writer::Ac3},
    {"eac3", Writer::Eac3}, {"h264", Writer::AnnexB}, {"h265", Writer::AnnexBHevc},
    {"ivf", Writer::Ivf},   {"obu", Writer::Obu},     {"mp4", Writer::Mp4},
    {"m4a", Writer::M4a},
};

}  // namespace

std::optional<Writer> WriterFromName(const std::string& name) {
    for (const NamedWriter& named : kWriterNames) {
        if (name == named.name) return named.writer;
    }
    return std::nullopt;
}

const char* WriterName(Writer writer) {
    for (const NamedWriter& named : kWriterNames) {
        if (writer == named.writer) return named.name;
    }
    return "opus";  // Ogg Opus, chosen by extension only (and refused)
}

bool AtomicOutput::Check(const std::string& path, const std::vector<std::string>& inputs,
                         std::string& reason) {
    namespace fs = std::filesystem;
    std::error_code error;
    // A link is followed: the file it names is replaced, the link stays.
    m_target = fs::is_symlink(path, error) ? fs::weakly_canonical(path, error).string() : path;
    if (error) m_target = path;

    struct stat out {};
    if (::stat(m_target.c_str(), &out) != 0) return true;  // a new file
    if (!S_ISREG(out.st_mode)) {
        reason = "'" + path + "' exists and is not a regular file; choose another output name";
        return false;
    }
    m_mode = out.st_mode & 07777;
    for (const std::string& input : inputs) {
        struct stat in {};
        if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            reason = "the output '" + path + "' is the input '" + input +
                     "'; it would be overwritten while it is read; choose another output name";
            return false;
        }
    }
    return true;
}

bool AtomicOutput::Begin(std::string& reason) {
    namespace fs = std::filesystem;
    const fs::path target(m_target);
    const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::string pattern =
        (dir / ("." + ShortenName(target.filename().string(), 200) + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        reason =
            "cannot create a temporary file in '" + dir.string() + "': " + std::strerror(errno);
        return false;
    }
    m_temp = pattern;
    SetInterruptCleanup(m_temp);
    mode_t mode = m_mode;
    if (mode == 0) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    ::close(fd);
    return true;
}

bool AtomicOutput::Commit(std::string& reason) {
    // The data must be on disk before the name points at it.
    const int fd = ::open(m_temp.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int syncError = errno;
    if (fd >= 0) ::close(fd);
    if (!synced) {
        reason = "cannot store '" + m_target + "': " + std::strerror(syncError);
        Discard();
        return false;
    }
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        reason = "cannot rename the finished output to '" + m_target + "': " + std::strerror(errno);
        Discard();
        return false;
    }
    SetInterruptCleanup("");
    m_temp.clear();
    return true;
}

void AtomicOutput::Discard() {
    SetInterruptCleanup("");
    if (!m_temp.empty()) ::unlink(m_temp.c_str());
    m_temp.clear();
}

AtomicOutput::~AtomicOutput() { Discard(); }

}  // namespace cli
