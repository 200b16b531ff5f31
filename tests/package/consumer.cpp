// A program built against an installed flvsplice, through pkg-config or
// find_package (scripts/package-check.sh): prints the version of the headers
// it was compiled with and of the library it runs with, then keeps the first
// two seconds of IN in OUT.

#include <flvsplice/FlvVersion.h>
#include <flvsplice/document/FlvFile.h>
#include <flvsplice/platform/FlvSystem.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: consumer IN OUT\n");
        return 2;
    }
    std::printf("headers %s, library %s\n", FLVSPLICE_VERSION_STRING, FlvLibraryVersion());
    if (std::strcmp(FLVSPLICE_VERSION_STRING, FlvLibraryVersion()) != 0) return 1;

    CFlvFile file;
    int result = file.Open(flvsys::PathToWide(argv[1]));
    if (result == FlvResult::Success) result = file.Extract(0, 2000);
    if (result == FlvResult::Success) result = file.SaveAs(flvsys::PathToWide(argv[2]), nullptr);
    if (result != FlvResult::Success) {
        std::fprintf(stderr, "error %d: %s\n", result,
                     flvsys::WideToUtf8(file.GetErrorMessageFormatted()).value_or("").c_str());
        return 1;
    }
    std::printf("opened %s, wrote its first 2 s to %s\n", argv[1], argv[2]);
    return 0;
}
