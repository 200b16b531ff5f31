#!/usr/bin/env bash
# Checks that flvsplice installs and packages like a system tool:
#  1. a build for /usr, installed into a staging prefix, serves a small program
#     (tests/package/consumer.cpp) through pkg-config and through find_package
#     while the build tree is moved out of the way;
#  2. a static build of the library serves it through `pkg-config --static`,
#     linked by the C compiler's driver;
#  3. the Debian packages of the first build (cpack -G DEB) pass lintian
#     without errors; installed with dpkg, the command runs from /usr/bin, man
#     finds its page and the bash completion works; removed and purged, they
#     leave nothing behind.
#
# Runs as root (dpkg). Needs pkg-config, dpkg-dev, file, lintian and man-db,
# which .ci/run installs. BUILD_DIR: the package build (default build-pkg).
# JOBS: parallel jobs (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/${BUILD_DIR:-build-pkg}
jobs=${JOBS:-2}
packages=(flvsplice libflvsplice-dev libflvsplice0)

step() { echo "-- package-check: $*"; }
fail() {
    echo "package-check: FAILED: $*" >&2
    exit 1
}

[ "$(id -u)" -eq 0 ] || fail "run as root: the packages are installed with dpkg"
for tool in pkg-config dpkg-shlibdeps dpkg-buildflags file lintian man cpack c++ cc; do
    command -v "$tool" >/dev/null || fail "$tool is missing (.ci/run installs what this needs)"
done
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed'; }
for package in "${packages[@]}"; do
    case $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) in
        "" | *not-installed) ;;
        *) fail "$package is installed already; remove it first (dpkg -P $package)" ;;
    esac
done
[ ! -e /usr/include/flvsplice ] || fail "/usr/include/flvsplice exists: a build installed into /usr?"

work=$(mktemp -d /tmp/flvsplice-package-check.XXXXXX)
moved=
we_installed=
cleanup() {
    [ -z "$moved" ] || mv "$moved" "$build"
    if [ -n "$we_installed" ]; then
        dpkg -P "${packages[@]}" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# --- the build, as Debian builds: for /usr, with its hardening flags --------
step "building in $build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DFLVSPLICE_BUILD_TESTS=OFF -DFLVSPLICE_BUILD_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
    "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
    "-DCMAKE_SHARED_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build "$build" -j "$jobs"
version=$("$build/cli/flvsplice" --version | sed -n 's/^flvsplice \([0-9][0-9.]*\)$/\1/p')
[ -n "$version" ] || fail "flvsplice --version does not print 'flvsplice VERSION'"
step "version $version"

# Runs the consumer and checks that it saw this version in its headers and in
# the library it loaded, and that it wrote an FLV file.
run_consumer() {
    local consumer=$1 out
    out=$work/out-$(basename "$1").flv
    "$consumer" samples/sample.flv "$out" | tee "$work/consumer.txt"
    grep -qx "headers $version, library $version" "$work/consumer.txt" ||
        fail "$consumer does not report version $version"
    [ "$(head -c 3 "$out")" = FLV ] || fail "$consumer wrote no FLV file"
}

# --- 1. staged install, used through pkg-config and find_package ----------
stage=$work/stage
step "installing into $stage"
cmake --install "$build" --prefix "$stage" >/dev/null
pc=$(find "$stage" -name flvsplice.pc)
[ -n "$pc" ] || fail "no flvsplice.pc installed"
grep -qx "prefix=$stage" "$pc" || fail "flvsplice.pc does not name the prefix $stage"

mv "$build" "$work/build-away"
moved=$work/build-away
(
    # Nothing but the staged prefix: no default search path, no build tree.
    PKG_CONFIG_LIBDIR=$(dirname "$pc")
    export PKG_CONFIG_LIBDIR PKG_CONFIG_PATH=
    [ "$(pkg-config --modversion flvsplice)" = "$version" ] || fail "pkg-config --modversion"
    step "pkg-config: $(pkg-config --cflags --libs flvsplice)"
    # shellcheck disable=SC2046
    c++ -std=c++20 tests/package/consumer.cpp $(pkg-config --cflags --libs flvsplice) \
        -Wl,-rpath,"$(pkg-config --variable=libdir flvsplice)" -o "$work/consumer-pc"
    run_consumer "$work/consumer-pc"

    step "find_package with CMAKE_PREFIX_PATH=$stage"
    cmake -S tests/package -B "$work/consumer-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$stage" >/dev/null
    grep -q "^flvsplice_DIR:PATH=$stage/" "$work/consumer-cmake/CMakeCache.txt" ||
        fail "find_package found flvsplice outside $stage"
    cmake --build "$work/consumer-cmake" >/dev/null
    run_consumer "$work/consumer-cmake/consumer"
)
mv "$moved" "$build"
moved=

# --- 2. a static library through pkg-config --static ----------------------
step "static library"
cmake -S . -B "$work/static" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DFLVSPLICE_BUILD_CLI=OFF -DFLVSPLICE_BUILD_TESTS=OFF -DFLVSPLICE_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX="$work/stage-static" >/dev/null
cmake --build "$work/static" -j "$jobs" >/dev/null
cmake --install "$work/static" >/dev/null
(
    PKG_CONFIG_LIBDIR=$(dirname "$(find "$work/stage-static" -name flvsplice.pc)")
    export PKG_CONFIG_LIBDIR PKG_CONFIG_PATH=
    cflags=$(pkg-config --cflags flvsplice) libs=$(pkg-config --static --libs flvsplice)
    step "pkg-config --static: $cflags $libs"
    [[ " $cflags " == *" -DFLVSPLICE_STATIC "* ]] || fail "Cflags lack -DFLVSPLICE_STATIC"
    # shellcheck disable=SC2086
    c++ -std=c++20 $cflags -c tests/package/consumer.cpp -o "$work/consumer.o"
    # The C driver links no C++ runtime of its own: Libs.private must bring it.
    # shellcheck disable=SC2086
    cc "$work/consumer.o" $libs -o "$work/consumer-static"
    ! ldd "$work/consumer-static" | grep -q libflvsplice || fail "the static consumer loads a libflvsplice"
    run_consumer "$work/consumer-static"
)

# --- 3. Debian packages ---------------------------------------------------
step "cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/debs" >/dev/null)
debs=("$work"/debs/*.deb)
[ ${#debs[@]} -eq ${#packages[@]} ] || fail "expected ${#packages[@]} packages, got: ${debs[*]}"
for deb in "${debs[@]}"; do
    echo "   $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb is not version $version"
done

step "lintian"
lintian --fail-on error --tag-display-limit 0 "${debs[@]}" || fail "lintian reports errors"

# What each package path is before the install, to compare after the purge.
for deb in "${debs[@]}"; do
    dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | grep -v '^/\?$'
done | sort -u >"$work/paths"
while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
done <"$work/paths" >"$work/before"

step "dpkg -i"
we_installed=1
# A minimal image may keep dpkg from installing manual pages
# (/etc/dpkg/dpkg.cfg.d): ours, and the folders that hold it, are asked for by
# name, which overrides such an exclusion.
includes=()
while read -r path; do
    includes+=("--path-include=$path")
done < <(grep '^/usr/share/man/' "$work/paths")
dpkg "${includes[@]}" -i "${debs[@]}"
for package in "${packages[@]}"; do
    installed "$package" || fail "$package did not install"
    [ "$(dpkg-query -W -f='${Version}' "$package")" = "$version" ] || fail "$package version"
done

step "the installed command, manual page, completion and library"
[ "$(command -v flvsplice)" = /usr/bin/flvsplice ] || fail "flvsplice is not /usr/bin/flvsplice"
[ "$(/usr/bin/flvsplice --version)" = "flvsplice $version" ] || fail "/usr/bin/flvsplice --version"
library=$(ldd /usr/bin/flvsplice | awk '$1 == "libflvsplice.so.0" { print $3 }')
[[ $(realpath "$library") == /usr/lib/*/libflvsplice.so.$version ]] ||
    fail "/usr/bin/flvsplice loads '$library', not the packaged library"
/usr/bin/flvsplice info samples/sample.flv
man=$(dpkg-divert --truename /usr/bin/man)
[ "$("$man" -w flvsplice)" = /usr/share/man/man1/flvsplice.1.gz ] || fail "man -w flvsplice"
python3 tests/cli/test_completion.py --binary /usr/bin/flvsplice \
    --completion /usr/share/bash-completion/completions/flvsplice
# The -dev package alone, from the default search paths.
[ "$(pkg-config --variable=prefix flvsplice)" = /usr ] || fail "the packaged flvsplice.pc is not for /usr"
# shellcheck disable=SC2046
c++ -std=c++20 tests/package/consumer.cpp $(pkg-config --cflags --libs flvsplice) -o "$work/consumer-usr"
run_consumer "$work/consumer-usr"

step "dpkg -r, dpkg -P"
dpkg -r "${packages[@]}"
# Only a package with files left (its shlibs and triggers) needs a purge.
for package in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q config-files; then
        dpkg -P "$package"
    fi
done
we_installed=
for package in "${packages[@]}"; do
    ! installed "$package" || fail "$package is still installed"
done
while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then echo "$path"; fi
done <"$work/paths" >"$work/after"
diff "$work/before" "$work/after" || fail "the packages left files behind (> lines)"

echo "package-check: passed"
