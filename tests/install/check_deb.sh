#!/usr/bin/env bash
# check_deb.sh DEB_DIR EXAMPLE_DIR WORK_DIR CXX
# The Debian packages that `make deb` left in DEB_DIR, as hosts and operators
# get them: unpacked together into a scratch root, then check_install.sh on
# that root. Without packages it skips (exit 77), unless OSCPROBE_DEB_REQUIRED
# is set (CI, right after make deb).
set -euo pipefail
debs=$1 example=$2 work=$3 cxx=$4
shopt -s nullglob
pkgs=("$debs"/liboscprobe1_*.deb "$debs"/liboscprobe-dev_*.deb "$debs"/liboscprobe-net1_*.deb
      "$debs"/liboscprobe-net-dev_*.deb "$debs"/oscprobe_*.deb)
if [ ${#pkgs[@]} -ne 5 ]; then
  echo "skipped: not the five packages in $debs (make deb builds them)"
  [ -z "${OSCPROBE_DEB_REQUIRED:-}" ] || exit 1
  exit 77
fi
rm -rf "$work"
mkdir -p "$work/root"
for p in "${pkgs[@]}"; do
  echo "== unpack $(basename "$p")"
  dpkg-deb -x "$p" "$work/root"
done
exec "$(dirname "$0")/check_install.sh" "prefix=$work/root/usr" "$example" "$work/check" "$cxx"
