// Arbitrary bytes as an FLV file, through every operation of the document.

#include <cstdio>
#include <cstdlib>

#include "FuzzUtil.h"

namespace {

void Fail(const char* operation, int code) {
    fprintf(stderr, "%s returned the undocumented result %d\n", operation, code);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static flvfuzz::ScratchDir dir;
    flvfuzz::RunDocument(dir, data, size, Fail);
    return 0;
}
