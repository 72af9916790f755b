# shellcheck shell=bash
# build_deb SOURCE_DIR WORK_DIR [ARCH]: builds the Debian package from a copy
# of the checkout in WORK_DIR/src (so that the build's files stay out of the
# checkout), for ARCH (default: this machine's) with its cross compiler, tests
# off, two jobs; then runs lintian on it. Sets `deb` to the package file and
# `version`; returns non-zero with the reason on standard output when the
# build fails or lintian reports an error or a warning.
build_deb() {
  local src=$1 work=$2 arch=${3:-$(dpkg --print-architecture)} cross=()
  [ "$arch" = "$(dpkg --print-architecture)" ] || cross=(-a "$arch")
  rm -rf "$work/src"
  mkdir -p "$work/src"
  tar -C "$src" --exclude='./build*' --exclude='./obj-*' --exclude=./.git --exclude=./run --exclude=node_modules -cf - . |
    tar -C "$work/src" -xf -
  if ! (cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=2" \
    dpkg-buildpackage "${cross[@]}" -us -uc -b) >"$work/build-$arch.log" 2>&1; then
    tail -n 40 "$work/build-$arch.log"
    echo "dpkg-buildpackage ${cross[*]} failed"
    return 1
  fi
  version=$(cd "$src" && dpkg-parsechangelog -S Version)
  deb=$work/mirx-server_${version}_${arch}.deb
  [ -f "$deb" ] || { echo "no $deb"; return 1; }
  echo "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"
  lintian --fail-on error,warning "$work/mirx-server_${version}_${arch}.changes" \
    >"$work/lintian-$arch.txt" 2>&1 || {
    cat "$work/lintian-$arch.txt"
    echo "lintian found errors or warnings in the $arch package"
    return 1
  }
  local program listing
  listing=$(dpkg-deb -c "$deb")
  for program in usr/sbin/mirx_server usr/bin/mirx_node usr/bin/mirx_logrx usr/bin/mirx_dashboard; do
    grep -q " \./$program\$" <<<"$listing" || { echo "no $program in $(basename "$deb")"; return 1; }
  done
  grep -v 'running with root privileges' "$work/lintian-$arch.txt" || true
  echo "lintian $arch: no errors, no warnings"
}
