#!/usr/bin/env bash
# The Debian package: lintian's verdict, its files against what the install
# rules put below /usr, and an install and removal with dpkg, after which
# lv2ls and a VST 3 host find the plug-in where Linux hosts look, and no file
# of ours stays behind. dpkg works on the real /usr and its real database, but
# in a mount namespace of its own over overlays that vanish with it: the
# machine is never changed, even by a run that fails half-way, and runs may
# repeat or overlap. Needs root, as the namespace does.
# Usage: test_deb.sh PACKAGE.deb LINUX_BUILD_DIR LV2_URI
set -u
[ $# -eq 3 ] || { echo "usage: $0 PACKAGE.deb LINUX_BUILD_DIR LV2_URI" >&2; exit 2; }
deb=$(realpath "$1") build=$(realpath "$2") uri=$3
# The package is named as the bundles are: by the plug-in's id.
pkg=$(dpkg-deb -f "$deb" Package)

failures=0
check() { # check DESCRIPTION COMMAND...: runs the command; its status is the result.
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# The package's paths (files and folders) as absolute paths, sorted.
deb_paths() { dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's|^\./|/|' -e 's|/$||' | grep -v '^$' | sort; }

if [ "${ZFEN_DEB_TEST_INSIDE:-}" = 1 ]; then
  # In the namespace: /usr and dpkg's database on overlays in $work.
  work=$ZFEN_DEB_TEST_WORK
  overlays() {
    mount -t tmpfs zfen-deb-test "$work/ns" || return 1
    for d in /usr /var/lib/dpkg; do
      mkdir -p "$work/ns/upper$d" "$work/ns/work$d"
      mount -t overlay zfen-deb-test -o "lowerdir=$d,upperdir=$work/ns/upper$d,workdir=$work/ns/work$d" "$d" || return 1
    done
  }
  check "/usr and dpkg's database on throw-away overlays (needs root)" overlays || exit 1
  # Only the system's plug-in folders: no LV2_PATH, no home folder of ours.
  unset LV2_PATH
  export HOME="$work/home"
  dpkg() { command dpkg --log=/dev/null "$@"; }
  lists_plugin() { lv2ls | grep -qxF "$uri"; }
  status() { dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null; }
  # What of the package was there before: folders others share, like /usr/lib.
  deb_paths >"$work/paths"
  while read -r p; do [ ! -e "$p" ] || echo "$p"; done <"$work/paths" >"$work/there-before"

  check "before: lv2ls does not list $uri" eval '! lists_plugin'
  check "dpkg -i $(basename "$deb")" dpkg -i "$deb"
  check "dpkg: $pkg is installed" test "$(status)" = "install ok installed"
  check "lv2ls lists $uri" lists_plugin
  check "  ... from /usr/lib/lv2" eval 'lv2info "$uri" | grep -qE "^\s+Bundle: +file:///usr/lib/lv2/$pkg\.lv2/$"'
  sox -n -r 48000 -c 1 -b 32 -e floating-point "$work/in.wav" synth 0.2 sawtooth 110 2>/dev/null
  # (It says once that lv2apply offers no URID map, which only saving state needs.)
  check "  ... and lv2apply runs it on a signal" eval 'lv2apply -i "$work/in.wav" -o "$work/out.wav" "$uri" 2>/dev/null && test -s "$work/out.wav"'
  check "a host scanning /usr/lib/vst3 finds $pkg.vst3" \
    test "$(find /usr/lib/vst3 -maxdepth 1 -name '*.vst3' -printf '%f\n' | grep -cxF "$pkg.vst3")" = 1
  out=$("$build/tests/load_bundle" "/usr/lib/vst3/$pkg.vst3" 2>&1)
  echo "$out" | sed 's/^/  host: /'
  check "  ... and loads it: its factory has 2 classes" grep -qx "classes: 2" <<<"$out"
  check "dpkg -r $pkg" dpkg -r "$pkg"
  check "dpkg: $pkg is gone" test -z "$(status | grep -v '^unknown ok not-installed$')"
  check "lv2ls no longer lists $uri" eval '! lists_plugin'
  left() { # paths of the package still there that were not there before
    local l
    l=$(while read -r p; do [ ! -e "$p" ] || echo "$p"; done <"$work/paths" | grep -vxFf "$work/there-before")
    [ -z "$l" ] || { echo "$l" | sed 's/^/  left: /'; return 1; }
  }
  check "dpkg -r leaves no file or folder of ours" left
  exit "$failures"
fi

work=$(mktemp -d /tmp/zfen-deb-test.XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "package: $deb"

# Errors and warnings fail. Of lintian's advice (level "info") the package
# keeps: hardening-no-fortify-functions and hardening-no-bindnow (the binaries
# are built without _FORTIFY_SOURCE and -z now), binary-has-unneeded-section
# (CPack's strip keeps .comment, dh_strip drops it),
# package-contains-documentation-outside-usr-share-doc (index.html is the
# editor page, not documentation) and extended-description-is-probably-too-short.
lint=$(lintian --fail-on error,warning "$deb" 2>&1)
rc=$?
echo "$lint" | grep -v '^running with root' | sed 's/^/  lintian: /'
check "lintian: no error, no warning" test "$rc" -eq 0

DESTDIR="$work/destdir" cmake --install "$build" --prefix /usr >"$work/install.log" || cat "$work/install.log"
installed_paths() { (cd "$work/destdir" && find . -mindepth 1 | sed 's|^\.||' | sort); }
check "its files are what cmake --install puts below /usr (DESTDIR)" diff <(deb_paths) <(installed_paths)
check "  ... whose LV2 bundle is the build's, file for file" \
  diff -r "$build/bundles/lv2/$pkg.lv2" "$work/destdir/usr/lib/lv2/$pkg.lv2"
check "  ... and so is the VST 3 bundle" diff -r "$build/bundles/vst3/$pkg.vst3" "$work/destdir/usr/lib/vst3/$pkg.vst3"

mkdir -p "$work/ns" "$work/home"
# The namespace's checks count as ours; its exit code is how many failed.
ZFEN_DEB_TEST_INSIDE=1 ZFEN_DEB_TEST_WORK="$work" unshare --mount --propagation private "$0" "$@"
failures=$((failures + $?))

if [ "$failures" -eq 0 ]; then
  echo "PASS: Debian package"
else
  echo "FAIL: Debian package ($failures checks failed)"
  exit 1
fi
