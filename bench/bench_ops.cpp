// One whole editing job per process, as a host would run it, so that scripts
// can time complete processes without the command-line tool:
//
//   bench_ops [-v] save  IN OUT            Open + SaveAs
//   bench_ops [-v] audio IN OUT            Open + SaveAudio
//   bench_ops [-v] avi   IN OUT            Open + SaveAVI
//   bench_ops [-v] mp4   IN OUT            Open + SaveMP4
//   bench_ops [-v] cut   IN FROM TO OUT    Open + Extract(FROM, TO ms) + SaveAs
//   bench_ops [-v] join  IN IN2 OUT        Open both + Add + SaveAs
//
// -v prints the time of each phase (open, edit, save, destroy) to stderr.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "BenchUtil.h"
#include "flvsplice/export/FlvMp4Writer.h"

namespace {

// A host's progress object: counts the reports and never stops the job.
class CCountingProcess : public CFlvProcess {
public:
    bool ReportProgress(int, int) override {
        ++m_reports;
        return false;
    }
    long m_reports = 0;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_ops [-v] [-m] save|audio|avi|mp4 IN OUT\n"
                 "       (-m: open with the modern codecs, as the command does)\n"
                 "       bench_ops [-v] [-m] cut IN FROM_MS TO_MS OUT\n"
                 "       bench_ops [-v] [-m] join IN IN2 OUT\n");
    return 2;
}

bool ParseMs(const char* text, unsigned int* value) {
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || parsed > 0xFFFFFFFFul) return false;
    *value = static_cast<unsigned int>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int arg = 1;
    bool verbose = false;
    FlvOpenOptions options;
    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        if (std::strcmp(argv[arg], "-v") == 0) {
            verbose = true;
        } else if (std::strcmp(argv[arg], "-m") == 0) {
            // The modern codecs and sync-keeping joins, as the command opens.
            options.modernCodecs = options.keepSyncOnJoin = true;
        } else {
            return Usage();
        }
    }
    if (argc - arg < 3) return Usage();
    const std::string command = argv[arg];
    const char* const* rest = argv + arg + 1;
    const int count = argc - arg - 1;

    const bool cut = command == "cut";
    const bool join = command == "join";
    if ((cut && count != 4) || (join && count != 3) || (!cut && !join && count != 2)) {
        return Usage();
    }
    if (!cut && !join && command != "save" && command != "audio" && command != "avi" &&
        command != "mp4") {
        return Usage();
    }
    unsigned int from = 0;
    unsigned int to = 0;
    if (cut && (!ParseMs(rest[1], &from) || !ParseMs(rest[2], &to))) return Usage();
    const std::wstring output = bench::Wide(rest[count - 1]);

    const double t0 = bench::Seconds();
    auto document = std::make_unique<CFlvFile>();
    std::unique_ptr<CFlvFile> second;
    int result = document->Open(bench::Wide(rest[0]), options);
    if (result != FlvResult::Success) return bench::Fail(*document, "Open", result);
    if (join) {
        second = std::make_unique<CFlvFile>();
        result = second->Open(bench::Wide(rest[1]), options);
        if (result != FlvResult::Success) return bench::Fail(*second, "Open", result);
    }
    const double t1 = bench::Seconds();

    if (cut) {
        result = document->Extract(from, to);
        if (result != FlvResult::Success) return bench::Fail(*document, "Extract", result);
    } else if (join) {
        result = document->Add(second.get(), true);
        if (result != FlvResult::Success) return bench::Fail(*document, "Add", result);
    }
    const double t2 = bench::Seconds();

    CCountingProcess process;
    try {
        if (command == "audio") {
            result = document->SaveAudio(output, &process);
        } else if (command == "avi") {
            result = document->SaveAVI(output, &process);
        } else if (command == "mp4") {
            result = document->SaveMP4(output, FlvMp4Options{}, &process);
        } else {
            result = document->SaveAs(output, &process);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", command.c_str(), error.what());
        return 1;
    }
    if (result != FlvResult::Success) return bench::Fail(*document, command.c_str(), result);
    const double t3 = bench::Seconds();

    document.reset();
    second.reset();
    const double t4 = bench::Seconds();

    if (verbose) {
        std::fprintf(stderr,
                     "open_ms %.1f\nedit_ms %.1f\nwrite_ms %.1f\ndestroy_ms %.1f\n"
                     "total_ms %.1f\ncpu_ms %.1f\nreports %ld\npeak_rss_kib %lld\n",
                     (t1 - t0) * 1e3, (t2 - t1) * 1e3, (t3 - t2) * 1e3, (t4 - t3) * 1e3,
                     (t4 - t0) * 1e3, bench::CpuSeconds() * 1e3, process.m_reports,
                     bench::PeakRssBytes() / 1024);
    }
    return 0;
}
