// Measures Open: time per tag and memory per tag of a loaded document.
//
//   bench_open [--repeat N] [--breakdown] [--no-floor] [--salvage] FILE
//
// Each round first reads the whole file with read() into a scratch buffer
// (the in-process floor: the file is then in the page cache), then opens it in
// a fresh document, then destroys the document. The first round also records
// the peak resident set size (getrusage ru_maxrss) before and after Open and
// the heap in use, so "bytes per tag" is what the loaded model costs. With
// --breakdown the loaded objects are counted and sized one by one. --no-floor
// leaves out the reads of the floor (for profiling Open alone). --salvage
// opens in salvage mode (FlvOpenOptions::salvage).
//
// Output lines are "key value" pairs, easy to read by scripts.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "BenchUtil.h"

#if defined(__GLIBC__)
#include <malloc.h>
#define BENCH_HAVE_USABLE_SIZE 1
#if __GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33)
#define BENCH_HAVE_MALLINFO2 1
#endif
#endif

namespace {

// Reads the tag lists that the document keeps for derived hosts.
class CBenchFile : public CFlvFile {
public:
    using CFlvFile::GetAudioTagArray;
    using CFlvFile::GetFlvTagArray;
    using CFlvFile::GetVideoTagArray;
};

long long HeapInUse() {
#if defined(BENCH_HAVE_MALLINFO2)
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
#else
    return -1;
#endif
}

// The bytes the allocator reserves for an object: in a document's pool its
// size rounded to 8; on the heap its usable size plus the chunk header
// (glibc: one size word).
size_t ChunkBytes(const void* object, size_t size) {
    if (CFlvElementPool::Contains(object)) return (size + 7) & ~size_t(7);
#if defined(BENCH_HAVE_USABLE_SIZE)
    return malloc_usable_size(const_cast<void*>(object)) + sizeof(size_t);
#else
    (void)object;
    return 0;
#endif
}

// Reads the whole file, returns the seconds it took (negative on failure).
double ReadFloor(const char* path, std::vector<char>& buffer) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const double start = bench::Seconds();
    ssize_t got;
    while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
    }
    const double seconds = bench::Seconds() - start;
    ::close(fd);
    return got < 0 ? -1 : seconds;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct ObjectSizes {
    size_t count = 0;
    size_t objectBytes = 0;  // sizeof
    size_t chunkBytes = 0;   // what the allocator holds for it
    size_t errorSlots = 0;   // bytes of the error-list pointers inside the object
};

// inlined: the object is stored inside a container, not allocated alone.
void Add(std::map<std::string, ObjectSizes>& table, const std::string& name, const void* object,
         size_t size, bool inlined = false) {
    ObjectSizes& entry = table[name];
    entry.count += 1;
    entry.objectBytes += size;
    entry.chunkBytes += inlined ? size : ChunkBytes(object, size);
    entry.errorSlots += sizeof(CFlvErrorHandler) - sizeof(void*);
}

// Counts every object that a loaded tag holds, by class.
void Breakdown(CBenchFile& document, size_t tags) {
    std::map<std::string, ObjectSizes> table;
    for (CFlvTag* tag : *document.GetFlvTagArray()) {
        // Tags are stored side by side in the document's tag store, the rest in
        // its pool.
        Add(table, "CFlvTag", tag, sizeof(CFlvTag), true);
        CFlvData* payload = tag->m_payload.get();
        CFlvRawData* raw = nullptr;
        if (auto* audio = dynamic_cast<CFlvAudioData*>(payload)) {
            Add(table, "CFlvAudioData", audio, sizeof(CFlvAudioData));
            raw = audio->m_rawData.get();
        } else if (auto* video = dynamic_cast<CFlvVideoData*>(payload)) {
            Add(table, "CFlvVideoData", video, sizeof(CFlvVideoData));
            CFlvVideoPacket* packet = video->m_packet.get();
            if (auto* h263 = dynamic_cast<CFlvVideoPacketH263*>(packet)) {
                Add(table, "CFlvVideoPacketH263", h263, sizeof(CFlvVideoPacketH263));
            } else if (auto* vp6 = dynamic_cast<CFlvVideoPacketVP6*>(packet)) {
                Add(table, "CFlvVideoPacketVP6", vp6, sizeof(CFlvVideoPacketVP6));
            } else if (auto* alpha = dynamic_cast<CFlvVideoPacketVP6Alpha*>(packet)) {
                Add(table, "CFlvVideoPacketVP6Alpha", alpha, sizeof(CFlvVideoPacketVP6Alpha));
            } else if (auto* screen = dynamic_cast<CFlvVideoPacketScreen*>(packet)) {
                Add(table, "CFlvVideoPacketScreen", screen, sizeof(CFlvVideoPacketScreen));
            }
            if (packet != nullptr) raw = packet->m_rawData.get();
        }
        if (raw != nullptr) Add(table, "CFlvRawData", raw, sizeof(CFlvRawData));
    }

    std::printf("\n%-24s %9s %7s %7s %8s %8s %10s\n", "object", "count", "sizeof", "chunk",
                "errptrs", "malloc+", "B/tag");
    size_t totalChunks = 0;
    size_t totalObjects = 0;
    size_t totalErrors = 0;
    for (const auto& [name, sizes] : table) {
        std::printf("%-24s %9zu %7zu %7zu %8zu %8zu %10.1f\n", name.c_str(), sizes.count,
                    sizes.objectBytes / sizes.count, sizes.chunkBytes / sizes.count,
                    sizes.errorSlots / sizes.count,
                    (sizes.chunkBytes - sizes.objectBytes) / sizes.count,
                    static_cast<double>(sizes.chunkBytes) / static_cast<double>(tags));
        totalChunks += sizes.chunkBytes;
        totalObjects += sizes.objectBytes;
        totalErrors += sizes.errorSlots;
    }
    // m_tags, and the per-type lists that split the same pointers.
    const size_t listBytes = sizeof(CFlvTag*) * (document.GetFlvTagArray()->capacity() +
                                                 document.GetAudioTagArray()->capacity() +
                                                 document.GetVideoTagArray()->capacity());
    const auto perTag = [tags](size_t bytes) {
        return static_cast<double>(bytes) / static_cast<double>(tags);
    };
    std::printf("%-24s %9s %7s %7s %8s %8s %10.1f\n", "tag pointer lists", "3", "", "", "", "",
                perTag(listBytes));
    std::printf("breakdown_objects_bytes_per_tag %.1f\n", perTag(totalObjects));
    std::printf("breakdown_malloc_overhead_bytes_per_tag %.1f\n",
                perTag(totalChunks - totalObjects));
    std::printf("breakdown_error_pointers_bytes_per_tag %.1f\n", perTag(totalErrors));
    std::printf("breakdown_lists_bytes_per_tag %.1f\n", perTag(listBytes));
    std::printf("breakdown_total_bytes_per_tag %.1f\n", perTag(totalChunks + listBytes));
}

int Usage() {
    std::fprintf(stderr,
                 "usage: bench_open [--repeat N] [--breakdown] [--no-floor] [--modern] "
                 "[--salvage] FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 1;
    bool breakdown = false;
    bool floorRead = true;
    // --modern: the modern codecs; --salvage: salvage mode (a damaged file
    // loads, with a report).
    FlvOpenOptions options;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
            repeat = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--breakdown") == 0) {
            breakdown = true;
        } else if (std::strcmp(argv[i], "--no-floor") == 0) {
            floorRead = false;
        } else if (std::strcmp(argv[i], "--modern") == 0) {
            options.modernCodecs = true;
        } else if (std::strcmp(argv[i], "--salvage") == 0) {
            options.salvage = true;
        } else if (argv[i][0] == '-' || path != nullptr) {
            return Usage();
        } else {
            path = argv[i];
        }
    }
    if (path == nullptr || repeat < 1) return Usage();
    const std::wstring widePath = bench::Wide(path);

    std::vector<char> scratch(128 * 1024);
    long long fileSize = 0;
    {
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::perror(path);
            return 1;
        }
        fileSize = ::lseek(fd, 0, SEEK_END);
        ::close(fd);
    }

    std::vector<double> opens;
    std::vector<double> openCpus;
    std::vector<double> floors;
    std::vector<double> destroys;
    size_t tags = 0;
    for (int round = 0; round < repeat; ++round) {
        const double floor = floorRead ? ReadFloor(path, scratch) : 0;
        if (floor < 0) {
            std::perror(path);
            return 1;
        }
        floors.push_back(floor);

        const long long rssBefore = bench::PeakRssBytes();
        const long long heapBefore = HeapInUse();
        auto document = std::make_unique<CBenchFile>();
        const double cpuStart = bench::CpuSeconds();
        const double start = bench::Seconds();
        const int result = document->Open(widePath, options);
        opens.push_back(bench::Seconds() - start);
        openCpus.push_back(bench::CpuSeconds() - cpuStart);
        if (result != FlvResult::Success) return bench::Fail(*document, "Open", result);
        tags = document->GetFlvTagArray()->size();

        if (round == 0) {
            const long long rssAfter = bench::PeakRssBytes();
            const long long heapAfter = HeapInUse();
            const double perTag =
                static_cast<double>(rssAfter - rssBefore) / static_cast<double>(tags);
            std::printf("file %s\nfile_bytes %lld\ntags %zu\n", path, fileSize, tags);
            std::printf("file_bytes_per_tag %.1f\n",
                        static_cast<double>(fileSize) / static_cast<double>(tags));
            std::printf("peak_rss_before_open_kib %lld\npeak_rss_after_open_kib %lld\n",
                        rssBefore / 1024, rssAfter / 1024);
            std::printf("peak_rss_bytes_per_tag %.1f\n", perTag);
            if (heapBefore >= 0) {
                std::printf(
                    "heap_bytes_per_tag %.1f\n",
                    static_cast<double>(heapAfter - heapBefore) / static_cast<double>(tags));
            }
            std::printf("first_open_ms %.2f\nfirst_open_ns_per_tag %.1f\n", opens[0] * 1e3,
                        opens[0] * 1e9 / static_cast<double>(tags));
            std::printf("first_open_cpu_ns_per_tag %.1f\n",
                        openCpus[0] * 1e9 / static_cast<double>(tags));
            if (breakdown) Breakdown(*document, tags);
        }

        const double destroyStart = bench::Seconds();
        document.reset();
        destroys.push_back(bench::Seconds() - destroyStart);
    }

    const double open = Median(opens);
    const double floor = Median(floors);
    std::printf("rounds %d\n", repeat);
    std::printf("open_ms_median %.2f\nopen_ms_min %.2f\nopen_ms_max %.2f\n", open * 1e3,
                *std::min_element(opens.begin(), opens.end()) * 1e3,
                *std::max_element(opens.begin(), opens.end()) * 1e3);
    std::printf("open_ns_per_tag_median %.1f\n", open * 1e9 / static_cast<double>(tags));
    std::printf("open_cpu_ns_per_tag_median %.1f\n",
                Median(openCpus) * 1e9 / static_cast<double>(tags));
    std::printf("read_floor_ms_median %.2f\n", floor * 1e3);
    std::printf("open_over_read_floor %.2f\n", open / floor);
    std::printf("destroy_ms_median %.2f\ndestroy_ns_per_tag_median %.1f\n", Median(destroys) * 1e3,
                Median(destroys) * 1e9 / static_cast<double>(tags));
    return 0;
}
