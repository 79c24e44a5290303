#!/usr/bin/env bash
# Builds pondard as its Debian package ships it and checks what a user gets: an optimised
# build, its install tree (cmake --install) and its .deb (cpack); the desktop entry, the user
# unit, the manual page and the package each pass their validator, the package holds exactly
# the install tree, the program that shares files links no library of the desktop, and the
# packaged program answers --version. Some validators only warn about
# a setting they then ignore, so any message of theirs counts as a failure. Runs as root (the
# unit is checked in a mount namespace of its own). Builds into build/package, or
# $PONDAR_PACKAGE_BUILD.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${PONDAR_PACKAGE_BUILD:-build/package}
stage=$PWD/$build/stage
unpacked=$PWD/$build/unpacked

say() { echo "== package check: $*" >&2; }
fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}
# Runs a command that should pass without a word.
silent_or_fail() {
  local out
  if ! out=$("$@" 2>&1) || [ -n "$out" ]; then
    printf '%s\n' "$out" >&2
    fail "$*"
  fi
}

say "optimised build in $build"
# Built with the flags Debian builds its packages with, hardening included (stack protector,
# fortified libc calls, read-only relocations bound at start).
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DPONDAR_TESTS=OFF -DPONDAR_WERROR=ON \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null

say "install tree in $stage"
rm -rf "$stage" "$unpacked"
DESTDIR=$stage cmake --install "$build" --strip >/dev/null

say "desktop entry"
silent_or_fail desktop-file-validate "$stage/usr/share/applications/pondard.desktop"

say "user unit"
# systemd-analyze wants the program at the unit's ExecStart path and the manual page its
# Documentation= names; in a mount namespace of its own, /usr/bin shows the install tree's
# program too, while the machine's /usr/bin stays untouched.
runtime=$(mktemp -d)
silent_or_fail env XDG_RUNTIME_DIR="$runtime" MANPATH="$stage/usr/share/man" \
  unshare --mount -- sh -c 'mount -t overlay overlay -o lowerdir="$1/usr/bin:/usr/bin" /usr/bin &&
    exec systemd-analyze --user verify "$1/usr/lib/systemd/user/pondard.service"' sh "$stage"
rm -rf "$runtime"

say "manual page"
silent_or_fail sh -c 'LC_ALL=C.UTF-8 MANROFFSEQ= MANWIDTH=80 \
  man --warnings -E UTF-8 -l -Tutf8 -Z "$1" >/dev/null' sh "$stage/usr/share/man/man1/pondard.1.gz"

say ".deb"
rm -f "$build"/pondard_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/pondard_*.deb)
deb=${debs[0]}
lintian --fail-on error,warning --display-info "$deb" || fail "lintian $deb"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 qt6-qpa-plugins libssl3 libxcb1 libdeflate0 libsystemd0 \
  libpipewire-0.3-0 libpipewire-0.3-modules; do
  [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "$deb does not depend on $needed: $depends"
done
dpkg-deb -x "$deb" "$unpacked"
diff -r "$stage" "$unpacked" >&2 || fail "$deb differs from the install tree"

say "the packaged pondard links no library of the desktop, and its window's program is there"
cmake -DPROGRAM="$unpacked/usr/bin/pondard" -P tests/CheckLeanProgram.cmake >/dev/null ||
  fail "the packaged pondard links libraries of the desktop"
[ -x "$unpacked/usr/lib/pondard/pondard-desktop" ] || fail "$deb holds no /usr/lib/pondard/pondard-desktop"

say "the packaged pondard --version"
# Inside a network namespace of its own, and with a time limit: were --version not understood,
# the program would start a peer, which broadcasts and runs until stopped.
version=$(timeout 60 unshare --net -- sh -c 'ip link set lo up && exec "$1" --version' \
  sh "$unpacked/usr/bin/pondard" </dev/null) || fail "pondard --version"
expected="pondard $(sed -n 's/^project(Pondar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
[ "$version" = "$expected" ] || fail "pondard --version said '$version', not '$expected'"
say "$(basename "$deb"): $version, all validators passed"
