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

echo "== exports of liboscprobe and liboscprobe-net"
# Everything defined and exported must belong to the probe classes (their
# operations, virtual tables and type information) or to OscProbeWake; and,
# under the private node, to the wake mechanism that liboscprobe-net runs on.
# unexpected LIB NODE PATTERN: the exports of LIB outside PATTERN.
unexpected() {
  nm -DC --defined-only "$lib/$1" | awk -v node="$2" '{ $1 = ""; $2 = ""; sub(/^  /, ""); sub("@@?" node "$", ""); print }' |
    grep -vE "$3" || true
}
exports=$(nm -DC --defined-only "$lib/liboscprobe.so")
bad=$(unexpected liboscprobe.so 'OSCPROBE_(1|PRIVATE_1)' '^(OscProbe(AC|Battery|CPU|DiskSpace|HM|SubNet|Wake)?::|(vtable|typeinfo|typeinfo name) for OscProbe(AC|Battery|CPU|DiskSpace|HM|SubNet)?$|OSCPROBE_1$|OSCPROBE_PRIVATE_1$|oscprobe::internal::(WakeRegistry::|NetlinkListener::|wakeGeneration\(\)$))')
bad+=$(unexpected liboscprobe-net.so OSCPROBE_NET_1 '^(OscProbe(Network|Metered)::|(vtable|typeinfo|typeinfo name) for OscProbe(Network|Metered)$|OSCPROBE_NET_1$)')
if [ -n "$bad" ]; then
  echo "unexpected exports:"; echo "$bad"; exit 1
fi
for sym in 'OscProbeCPU::probe()' 'vtable for OscProbe' 'typeinfo for OscProbeSubNet' 'OscProbeAC::caffeine(bool)' \
           'OscProbeWake::generation()' 'oscprobe::internal::wakeGeneration()@@OSCPROBE_PRIVATE_1'; do
  grep -qF "$sym" <<<"$exports" || { echo "missing export: $sym"; exit 1; }
done
grep -qF 'OscProbeNetwork::probe(OscProbeNetwork::Finding*)@@OSCPROBE_NET_1' <(nm -DC "$lib/liboscprobe-net.so") ||
  { echo "missing export: OscProbeNetwork::probe(Finding*)"; exit 1; }
for l in liboscprobe liboscprobe-net; do
  readelf -d "$lib/$l.so" | grep -q "SONAME.*$l.so.1" || { echo "$l: no versioned SONAME"; exit 1; }
done

echo "== find_package(oscprobe)"
cmake -S "$example" -B "$work/host-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" >/dev/null
cmake --build "$work/host-cmake" >/dev/null
"$work/host-cmake/host" 127.0.0.0/8 100 2>/dev/null | tee "$work/cmake.out"
grep -q '^go: cpu' "$work/cmake.out"
# The network host: this machine's answer either way; a bad id is refused.
# Unpacked packages carry no RUNPATH for liboscprobe-net's own needs.
(LD_LIBRARY_PATH=$lib "$work/host-cmake/network" 02:00:00:00:00:01 || [ $? -eq 1 ]) 2>/dev/null | grep -E '^(go|no-go): '
(LD_LIBRARY_PATH=$lib "$work/host-cmake/network" nonsense || [ $? -eq 2 ]) 2>&1 >/dev/null | grep -qF "'nonsense' is neither a MAC address"

echo "== pkg-config oscprobe"
export PKG_CONFIG_PATH=$lib/pkgconfig
pkg-config --exists oscprobe
# shellcheck disable=SC2046
# shellcheck disable=SC2086
"$cxx" $cxxflags -std=c++17 -o "$work/host-pc" "$example/host.cpp" $(pkg-config --cflags --libs oscprobe)
LD_LIBRARY_PATH=$lib "$work/host-pc" 127.0.0.1/32 100 2>/dev/null | tee "$work/pc.out"
grep -q '^go: cpu' "$work/pc.out"
pkg-config --exists oscprobe-net
# shellcheck disable=SC2046
# shellcheck disable=SC2086
"$cxx" $cxxflags -std=c++17 -o "$work/network-pc" "$example/network.cpp" $(pkg-config --cflags --libs oscprobe-net)
(LD_LIBRARY_PATH=$lib "$work/network-pc" ssid:home || [ $? -eq 1 ]) 2>/dev/null | grep -E '^(go|no-go): '


echo "== installed tool"
case $build in
  prefix=*) # packaged: the loader finds the libraries in the system's own directory
    for f in "$prefix/bin/oscprobe" "$lib"/liboscprobe.so.1 "$lib"/liboscsupport.so.1 "$lib"/liboscprobe-net.so.1; do
      ! readelf -d "$f" | grep -E 'RUNPATH|RPATH' || { echo "$f carries a RUNPATH"; exit 1; }
    done
    export LD_LIBRARY_PATH=$lib ;;
  # a tree configured for /usr (the Debian build's) installed elsewhere: no RUNPATH either
  *) readelf -d "$prefix/bin/oscprobe" | grep -qE 'RUNPATH|RPATH' || export LD_LIBRARY_PATH=$lib ;;
esac
"$prefix/bin/oscprobe" --version | grep -q '^oscprobe [0-9]'
# 0 all go, 1 some no-go: either is this machine's answer; 3 is a failure.
status=0
"$prefix/bin/oscprobe" status >"$work/status.out" || status=$?
grep -q '^cpu ' "$work/status.out"
[ "$status" -le 1 ] || { cat "$work/status.out"; echo "oscprobe status exited $status"; exit 1; }
ls "$prefix"/share/man/man1/oscprobe.1* >/dev/null  # packages compress it
echo "install check passed"
