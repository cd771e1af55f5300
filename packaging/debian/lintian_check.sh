#!/usr/bin/env bash
# lintian over the Debian packages: no error allowed (warnings are printed), and every package's
# version is the project's. Usage: lintian_check.sh PACKAGES_DIR VERSION
set -uo pipefail
packages=$1 version=$2
if ! command -v lintian >/dev/null; then
  echo "SKIPPED: lintian is not installed (Debian package lintian; scripts/setup installs it)"
  exit 77
fi
shopt -s nullglob
debs=("$packages"/*.deb)
((${#debs[@]} == 8)) || { echo "FAIL: ${#debs[@]} packages in $packages, not 8"; exit 1; }
status=0
for deb in "${debs[@]}"; do
  v=$(dpkg-deb -f "$deb" Version)
  [[ "$v" == "$version" ]] || { echo "FAIL: $(basename "$deb") has version $v, not $version"; status=1; }
  printf '%-40s %9s bytes, %6s KiB installed\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
    "$(dpkg-deb -f "$deb" Installed-Size)"
done
# lintian warns that it runs as root; that is all it says about that.
lintian --tag-display-limit 0 --fail-on error "${debs[@]}" 2>&1 | grep -v 'running with root privileges'
((PIPESTATUS[0] == 0)) || { echo "FAIL: lintian found errors"; status=1; }
((status == 0)) && echo "lintian: no errors in ${#debs[@]} packages"
exit $status
