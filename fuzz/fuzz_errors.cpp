// Arbitrary error stacks through the formatted error text (see RunErrors).

#include <cstdio>
#include <cstdlib>

#include "FuzzUtil.h"

namespace {

void Fail(const char* what, int) {
    fprintf(stderr, "broken: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    flvfuzz::RunErrors(data, size, Fail);
    return 0;
}
