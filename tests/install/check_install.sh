#!/usr/bin/env bash
# check_install.sh BUILD_DIR EXAMPLE_DIR WORK_DIR CXX [CXXFLAGS]
# BUILD_DIR is installed into WORK_DIR first; given as prefix=DIR, DIR is a
# tree installed already (check_deb.sh passes the unpacked packages' usr).
set -euo pipefail
build=$1 example=$2 work=$3 cxx=$4 cxxflags=${5:-}
rm -rf "$work"
mkdir -p "$work"
case $build in
  prefix=*) prefix=${build#prefix=} ;;
  *) prefix=$work/prefix; cmake --install "$build" --prefix "$prefix" >/dev/null ;;
esac
lib=$(dirname "$(find "$prefix" -name 'liboscprobe.so' | head -n 1)")
test -n "$lib"

echo "== exports of liboscprobe"
# Everything defined and exported must belong to the probe classes (their
# operations, virtual tables and type information) or to OscProbeWake.
exports=$(nm -DC --defined-only "$lib/liboscprobe.so")
unexpected=$(echo "$exports" | awk '{ $1 = ""; $2 = ""; sub(/^  /, ""); sub(/@@?OSCPROBE_1$/, ""); print }' |
  grep -vE '^(OscProbe(AC|Battery|CPU|DiskSpace|HM|SubNet|Wake)?::|(vtable|typeinfo|typeinfo name) for OscProbe(AC|Battery|CPU|DiskSpace|HM|SubNet)?$|OSCPROBE_1$)' || true)
if [ -n "$unexpected" ]; then
  echo "unexpected exports:"; echo "$unexpected"; exit 1
fi
for sym in 'OscProbeCPU::probe()' 'vtable for OscProbe' 'typeinfo for OscProbeSubNet' 'OscProbeAC::caffeine(bool)' \
           'OscProbeWake::generation()'; do
  grep -qF "$sym" <<<"$exports" || { echo "missing export: $sym"; exit 1; }
done
readelf -d "$lib/liboscprobe.so" | grep -q 'SONAME.*liboscprobe.so.1' || { echo "no versioned SONAME"; exit 1; }

echo "== find_package(oscprobe)"
cmake -S "$example" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" >/dev/null
cmake --build "$work/host-cmake" >/dev/null
"$work/host-cmake/host" 127.0.0.0/8 100 2>/dev/null | tee "$work/cmake.out"
grep -q '^go: cpu' "$work/cmake.out"

echo "== pkg-config oscprobe"
export PKG_CONFIG_PATH=$lib/pkgconfig
pkg-config --exists oscprobe
# shellcheck disable=SC2046
# shellcheck disable=SC2086
"$cxx" $cxxflags -std=c++17 -o "$work/host-pc" "$example/host.cpp" $(pkg-config --cflags --libs oscprobe)
LD_LIBRARY_PATH=$lib "$work/host-pc" 127.0.0.1/32 100 2>/dev/null | tee "$work/pc.out"
grep -q '^go: cpu' "$work/pc.out"

echo "== installed tool"
case $build in
  prefix=*) # packaged: the loader finds the libraries in the system's own directory
    for f in "$prefix/bin/oscprobe" "$lib"/liboscprobe.so.1 "$lib"/liboscsupport.so.1; do
      ! readelf -d "$f" | grep -E 'RUNPATH|RPATH' || { echo "$f carries a RUNPATH"; exit 1; }
    done
    export LD_LIBRARY_PATH=$lib ;;
esac
"$prefix/bin/oscprobe" --version | grep -q '^oscprobe [0-9]'
# 0 all go, 1 some no-go: either is this machine's answer; 3 is a failure.
status=0
"$prefix/bin/oscprobe" status >"$work/status.out" || status=$?
grep -q '^cpu ' "$work/status.out"
[ "$status" -le 1 ] || { cat "$work/status.out"; echo "oscprobe status exited $status"; exit 1; }
ls "$prefix"/share/man/man1/oscprobe.1* >/dev/null  # packages compress it
echo "install check passed"
