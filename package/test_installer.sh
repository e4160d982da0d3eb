#!/usr/bin/env bash
# The Windows installer under Wine, in a prefix of its own: a silent install,
# the files, attributes and registry entries it leaves, the installed VST 3
# bundle loaded by a host, a reinstall over it, and silent uninstalls that
# leave nothing of ours behind but a user's own presets.
# Usage: test_installer.sh SETUP.exe LOAD_BUNDLE.exe DIST_WINDOWS VERSION NAME VENDOR PLUGIN_ID
set -u
[ $# -eq 7 ] || { echo "usage: $0 SETUP.exe LOAD_BUNDLE.exe DIST_WINDOWS VERSION NAME VENDOR PLUGIN_ID" >&2; exit 2; }
setup=$(realpath "$1") load_bundle=$(realpath "$2") src=$(realpath "$3") version=$4 name=$5 vendor=$6 id=$7

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
WINEPREFIX=$(mktemp -d /tmp/zfen-installer-test.XXXXXX)
# No Mono or Gecko prompts in a fresh prefix.
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$WINESERVER" -k 2>/dev/null; rm -rf "$WINEPREFIX" "$WINEPREFIX.boot.log"' EXIT

failures=0
check() { # check DESCRIPTION COMMAND...: runs the command; its status is the result.
  local what=$1; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# Each Wine run is bounded, so a hung dialog fails the test instead of stalling it.
wine() { timeout 120 "$WINE" "$@"; }
# Waits for every process in the prefix, such as the uninstaller's copy of itself.
settle() { timeout 120 "$WINESERVER" -w; }

c="$WINEPREFIX/drive_c"
vst3_dir="$c/Program Files/Common Files/VST3/$id.vst3"
lv2_dir="$c/Program Files/Common Files/LV2/$id.lv2"
preset_vendor="$c/ProgramData/VST3 Presets/$vendor"
preset_dir="$preset_vendor/$name"
app_vendor="$c/Program Files/$vendor"
uninstaller_win="C:\\Program Files\\$vendor\\$name\\Uninstall $name.exe"
vst3_win="C:\\Program Files\\Common Files\\VST3\\$id.vst3"
key="HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$id"

# PE machine of an executable: 8664 for x86-64, 14c for x86.
pe_machine() {
  local pe
  pe=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  [ "$(od -An -c -j"$pe" -N4 "$1" | tr -d ' ')" = 'PE\0\0' ] || { echo none; return; }
  od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' '
}
# A registry value as reg.exe prints it (64-bit reg.exe: the 64-bit view).
reg_value() { wine reg query "$key" /v "$1" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
# Windows attribute letters of a path, as attrib prints them.
attributes() { wine cmd /c attrib "$1" 2>/dev/null | tr -d '\r' | cut -c1-12 | tr -d ' '; }
has_letters() { local a; a=$(attributes "$1"); for l in "${@:2}"; do [[ $a == *$l* ]] || return 1; done; }
same_presets() { # same_presets DIR: exactly the factory presets, byte for byte
  diff <(cd "$src/vst3-presets" && ls) <(cd "$1" && ls) && diff -r "$src/vst3-presets" "$1"
}
gone() { for p in "$@"; do [ ! -e "$p" ] || { echo "  still there: ${p#"$c"/}"; return 1; }; done; }
no_key() { ! wine reg query "$key" >/dev/null 2>&1; }
# Anything on drive C named after us, but NSIS's own copy of the uninstaller in %TEMP%.
leftovers() {
  find "$c" \( -iname "*$id*" -o -iname "*$vendor*" -o -iname "*$name*" \) -not -path "$c/users/*/Temp/*"
}
no_leftovers() { local l; l=$(leftovers); [ -z "$l" ] || { echo "$l" | sed "s|^$c/|  left: |"; return 1; }; }
registry_clean() { # the prefix's registry files, written out once Wine has stopped
  "$WINESERVER" -k 2>/dev/null; sleep 1
  ! grep -i -F -e "$id" -e "\"$vendor" "$WINEPREFIX"/*.reg
}
run_installer() { wine "$setup" /S && settle; }
run_uninstaller() { wine "$uninstaller_win" /S && settle; }

echo "installer: $setup"
echo "prefix:    $WINEPREFIX"
check "the installer is a 64-bit program: 32-bit Windows will not start it" \
  test "$(pe_machine "$setup")" = 8664
echo "skip a run in a 32-bit prefix: the installer's stub is 64-bit, and 32-bit Wine is not needed here"

new_prefix() { wine wineboot -i >"$WINEPREFIX.boot.log" 2>&1 || { cat "$WINEPREFIX.boot.log"; return 1; }; }
check "a new Wine prefix" new_prefix
check "silent install (/S) exits 0" run_installer
check "VST 3 bundle installed, identical to dist" diff -r "$src/vst3/$id.vst3" "$vst3_dir"
check "LV2 bundle installed, identical to dist" diff -r "$src/lv2/$id.lv2" "$lv2_dir"
check "factory presets in ProgramData\\VST3 Presets\\$vendor\\$name" same_presets "$preset_dir"
check "desktop.ini is hidden and system" has_letters "$vst3_win\\desktop.ini" H S
check "the VST 3 bundle folder is a system folder (Explorer shows its icon)" has_letters "$vst3_win" S
check "uninstaller in Program Files\\$vendor\\$name" test -f "$app_vendor/$name/Uninstall $name.exe"
check "uninstall key: DisplayName $name" test "$(reg_value DisplayName)" = "$name"
check "uninstall key: DisplayVersion $version" test "$(reg_value DisplayVersion)" = "$version"
check "uninstall key: Publisher $vendor" test "$(reg_value Publisher)" = "$vendor"
check "uninstall key: UninstallString" test "$(reg_value UninstallString)" = "\"$uninstaller_win\""
check "uninstall key: QuietUninstallString" test "$(reg_value QuietUninstallString)" = "\"$uninstaller_win\" /S"

# A Unix path through Wine's Z: drive.
load_bundle_win="Z:${load_bundle//\//\\}"
out=$(wine "$load_bundle_win" "$vst3_win" 2>&1 | tr -d '\r')
echo "$out" | sed 's/^/  host: /'
check "the installed VST 3 bundle loads in a host, vendor $vendor" grep -qx "vendor: $vendor" <<<"$out"
check "  ... with 2 classes" grep -qx "classes: 2" <<<"$out"
check "  ... the processor named $name" grep -qx "class: Audio Module Class | $name" <<<"$out"

# A reinstall replaces the bundle whole: a file the old one had goes.
touch "$vst3_dir/Contents/stale.txt" "$lv2_dir/stale.ttl"
check "reinstall over it exits 0" run_installer
check "reinstall: VST 3 bundle identical to dist (old files gone)" diff -r "$src/vst3/$id.vst3" "$vst3_dir"
check "reinstall: LV2 bundle identical to dist (old files gone)" diff -r "$src/lv2/$id.lv2" "$lv2_dir"

check "silent uninstall (/S) exits, and its copy of itself ends" run_uninstaller
check "uninstall: bundles, presets, uninstaller and their vendor folders removed" \
  gone "$vst3_dir" "$lv2_dir" "$preset_vendor" "$app_vendor"
check "uninstall: uninstall key removed" no_key
check "uninstall: nothing named $id, $vendor or $name left on drive C" no_leftovers
check "uninstall: no registry entry of ours left" registry_clean
# NSIS runs the uninstaller from a copy in %TEMP% and has Windows delete the
# copy at the next restart; its folder may stay, as on Windows.
echo "note: in %TEMP%: $(cd "$c" && find users -path '*/Temp/*' | tr '\n' ' ')"

# A user's own preset in the factory folder survives an uninstall.
check "install again" run_installer
echo user >"$preset_dir/My Own.vstpreset"
check "uninstall again" run_uninstaller
check "uninstall keeps a user's preset, and only it, in its folder" \
  test "$(cd "$preset_dir" 2>/dev/null && ls)" = "My Own.vstpreset"
check "uninstall again: bundles and uninstaller removed" gone "$vst3_dir" "$lv2_dir" "$app_vendor"

if [ "$failures" -eq 0 ]; then
  echo "PASS: Windows installer under Wine"
else
  echo "FAIL: Windows installer under Wine ($failures checks failed)"
  exit 1
fi
