// Replays the inputs that the fuzz targets once failed on (fuzz/regressions)
// and their seeds (fuzz/corpus) through the same operations as the targets:
// every operation must return a documented result code and the error stack
// must keep its promises. Built with the sanitizers, these runs must also
// stay free of memory errors and leaks.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../fuzz/FuzzUtil.h"
#include "TestUtil.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const char* kind) {
    const fs::path fuzz = fs::path(__FILE__).parent_path().parent_path() / "fuzz";
    std::vector<fs::path> out;
    for (const char* folder : {"regressions", "corpus"}) {
        const fs::path dir = fuzz / folder / kind;
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file()) out.push_back(entry.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

void Fail(const char* operation, int code) { ADD_FAILURE() << operation << " gave " << code; }

TEST(FuzzRegressions, DocumentInputsGiveDocumentedResults) {
    const auto inputs = Inputs("document");
    ASSERT_FALSE(inputs.empty()) << "no fuzz inputs found beside " << __FILE__;
    flvfuzz::ScratchDir dir;
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.string());
        const auto bytes = flvtest::ReadFile(path.string());
        flvfuzz::RunDocument(dir, bytes.data(), bytes.size(), Fail);
    }
}

TEST(FuzzRegressions, ErrorInputsFormatConsistently) {
    const auto inputs = Inputs("errors");
    ASSERT_FALSE(inputs.empty()) << "no fuzz inputs found beside " << __FILE__;
    for (const auto& path : inputs) {
        SCOPED_TRACE(path.string());
        const auto bytes = flvtest::ReadFile(path.string());
        flvfuzz::RunErrors(bytes.data(), bytes.size(), Fail);
    }
}

}  // namespace
