#!/usr/bin/env bash
# The Windows installer as a user gets it: built from this build by CPack, installed silently
# under Wine into a Wine prefix of its own made for the test, its files checked, the installed
# programs started with plain Wine (no DLL paths: what they load must lie in their folder),
# and the uninstaller run silently, which must leave nothing behind. The zip made in the same
# run must hold the same files.
#
#   test_installer.sh BUILD_FOLDER QT_FOLDER VERSION
#
# QT_FOLDER gives only Qt's offscreen platform plugin, which the package does not ship, for
# the start without a display; the second start shows the wizard on a virtual X display
# through the platform plugin that the package ships. About 30 s, most of it CPack's
# compression, while the Wine prefix is made beside it.
set -euo pipefail
# Wine's desktop window belongs to the whole prefix and is made on the display of the first
# program: every Wine program of the test runs on one virtual X display.
if [ -z "${SVC_TEST_INSTALLER_XVFB:-}" ]; then
    command -v xvfb-run >/dev/null || {
        echo "test_installer: FAILED: xvfb-run is missing (Debian package xvfb)" >&2
        exit 1
    }
    SVC_TEST_INSTALLER_XVFB=1 exec xvfb-run -a bash "$0" "$@"
fi
build=$1
qt=$2
version=$3
name="SVCorblexAppGen-$version-win64"
# Not the default folder, so that the check also shows that /D= is honoured; with blanks in it
# as Program Files has.
folder_windows='C:\SV Corblex\Application Generator'

start=$SECONDS
step_start=$SECONDS
step() {
    echo "test_installer: $1 ($((SECONDS - step_start)) s)"
    step_start=$SECONDS
}
fail() {
    echo "test_installer: FAILED: $*" >&2
    exit 1
}

work=$(mktemp -d)
export WINEPREFIX="$work/wine"
export WINEDEBUG=-all
# No desktop integration and no Mono or Gecko prompts in the new prefix.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
# Nothing from the build's Wine set-up: the installed programs find their DLLs and plugins
# themselves.
unset WINEPATH QT_PLUGIN_PATH
while IFS='=' read -r variable _; do
    [[ $variable == WINEQT_* ]] && unset "$variable"
done < <(env)
boot_pid=""
cleanup() {
    if [ -n "$boot_pid" ]; then
        kill "$boot_pid" 2>/dev/null || true
        wait "$boot_pid" 2>/dev/null || true
    fi
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A Unix path as Windows programs under Wine see it, and a path on the prefix's drive C: as
# a Unix path.
windows_path() {
    echo "Z:${1//\//\\}"
}
unix_path() {
    local path="$WINEPREFIX/drive_c/${1#C:\\}"
    echo "${path//\\//}"
}

# The prefix is made while CPack compresses.
mkdir -p "$WINEPREFIX"
wine wineboot --init >"$work/wineboot.log" 2>&1 &
boot_pid=$!

cpack -G "NSIS;ZIP" --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.log")"
installer="$work/package/$name.exe"
zip="$work/package/$name.zip"
[ -f "$installer" ] || fail "no $name.exe: $(ls "$work/package")"
[ -f "$zip" ] || fail "no $name.zip: $(ls "$work/package")"
step "built $name.exe ($(($(stat -c %s "$installer") / 1024)) KiB) and $name.zip"

wait "$boot_pid" || fail "wineboot: $(cat "$work/wineboot.log")"
boot_pid=""
step "made a Wine prefix"

# The installer takes the folder from the rest of its command line after /D=, blanks and
# all, and quotes around "/D=..." spoil it; Wine would put them there, as it quotes any
# argument with a blank, so the command line goes through cmd /c as it is.
[[ $installer != *" "* ]] || fail "the path of the installer has a blank: $installer"
timeout 120 wine cmd /c "$(windows_path "$installer") /S /D=$folder_windows" ||
    fail "the installer ended with $?"
app=$(unix_path "$folder_windows")
[ -d "$app" ] || fail "nothing in $folder_windows after installing"
step "installed silently"

# Exactly the programs, DLLs and plugins the programs need; no test programs, no other Qt.
expected_binaries="Qt6Core.dll
Qt6Gui.dll
Qt6Network.dll
Qt6PrintSupport.dll
Qt6Sql.dll
Qt6Widgets.dll
SVCorblexAppGen.exe
Uninstall.exe
libgcc_s_seh-1.dll
libstdc++-6.dll
libwinpthread-1.dll
platforms/qwindows.dll
sqldrivers/qsqlite.dll
styles/qwindowsvistastyle.dll
sv6.exe
sv6admin.exe
svcorblex-request.exe"
binaries=$(cd "$app" && find . -type f \( -iname '*.exe' -o -iname '*.dll' \) | sed 's|^\./||' |
    LC_ALL=C sort)
[ "$binaries" = "$expected_binaries" ] ||
    fail "the programs and DLLs differ from those expected:
$(diff <(echo "$expected_binaries") <(echo "$binaries") || true)"
# The manual beside the wizard, where Help looks for it; the licences.
[ "$(head -c 5 "$app/SVCorblexAppGen.pdf")" = "%PDF-" ] || fail "no manual beside the wizard"
for licence in LICENSE.txt licenses/Qt/LGPL-3.0-only.txt licenses/Qt/GPL-3.0-only.txt; do
    [ -s "$app/$licence" ] || fail "$licence is missing"
done
cmp -s "$app/LICENSE.txt" "$(dirname "$0")/../../LICENSE" || fail "LICENSE.txt is not the project's"
# A Start menu entry for the wizard and one for the manual, both into the installed folder.
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/SV Corblex Application Generator"
for link in "SV Corblex Application Generator:SVCorblexAppGen.exe" \
    "SV Corblex Application Generator Manual:SVCorblexAppGen.pdf"; do
    lnk="$menu/${link%%:*}.lnk"
    [ -f "$lnk" ] || fail "no Start menu entry \"${link%%:*}\""
    grep -aqF "$folder_windows\\${link#*:}" "$lnk" ||
        fail "the Start menu entry \"${link%%:*}\" does not lead to $folder_windows\\${link#*:}"
done
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\SVCorblexAppGen' \
    /v UninstallString >"$work/reg.txt" 2>&1 || fail "no uninstall entry in the registry"
grep -qF "$folder_windows\\Uninstall.exe" "$work/reg.txt" ||
    fail "the uninstall entry names another uninstaller: $(cat "$work/reg.txt")"
# The zip holds the same folder, less the uninstaller.
zip_files=$(cmake -E tar tf "$zip" | grep -v '/$' | sed "s|^$name/||" | LC_ALL=C sort)
installed_files=$(cd "$app" && find . -type f ! -name Uninstall.exe | sed 's|^\./||' |
    LC_ALL=C sort)
[ "$zip_files" = "$installed_files" ] ||
    fail "the zip and the installed folder differ:
$(diff <(echo "$zip_files") <(echo "$installed_files") || true)"
step "checked the installed files, the Start menu, the registry and the zip"

# The installed administration view reads an application file without a window.
cat >"$work/Check Line.SVT" <<'SVT'
[application]
format=SVT
version=1
setup=1
title=Check
variables=3
[variable 1]
name=Date
type=T
length=8
decimals=0
[variable 2]
name=Time
type=T
length=8
decimals=0
[variable 3]
name=Tank1_Level
type=N
length=6
decimals=2
link=HUB:Tank1.Level
code=P
[end]
SVT
timeout 60 wine "$app/sv6admin.exe" --check "@$(windows_path "$work/Check Line.SVT")" \
    >"$work/sv6admin.txt" 2>&1 ||
    fail "the installed sv6admin.exe --check refused a valid application file:
$(cat "$work/sv6admin.txt")"

# The installed sv6.exe records its history through the installed SQLite driver.
timeout 60 env WINEQT_QPA_PLATFORM=offscreen \
    WINEQT_QPA_PLATFORM_PLUGIN_PATH="$(windows_path "$qt/plugins/platforms")" \
    wine "$app/sv6.exe" --exit-after-polls 1 "$(windows_path "$work/Check Line.SVT")" \
    >"$work/sv6.txt" 2>&1 ||
    fail "the installed sv6.exe ended with $?: $(cat "$work/sv6.txt")"
grep -q "recording the history to" "$work/sv6.txt" ||
    fail "the installed sv6.exe did not record its history: $(cat "$work/sv6.txt")"

# The installed wizard starts and paints its window, then ends (SVC_EXIT_WHEN_SHOWN prints
# "shown ..." on standard output). Wine hands QT_ variables to Windows programs only under
# WINE-prefixed names.
timeout 60 env SVC_EXIT_WHEN_SHOWN=1 WINEQT_QPA_PLATFORM=offscreen \
    WINEQT_QPA_PLATFORM_PLUGIN_PATH="$(windows_path "$qt/plugins/platforms")" \
    wine "$app/SVCorblexAppGen.exe" >"$work/offscreen.out" 2>"$work/offscreen.err" ||
    fail "the installed wizard ended with $? offscreen: $(cat "$work/offscreen.err")"
grep -q '^shown ' "$work/offscreen.out" ||
    fail "the installed wizard did not show its window offscreen: $(cat "$work/offscreen.err")"

# On a virtual display through the package's own platform plugin and style; Qt's plugin
# report says from where it loaded them.
timeout 60 env SVC_EXIT_WHEN_SHOWN=1 WINEQT_DEBUG_PLUGINS=1 WINEQT_FORCE_STDERR_LOGGING=1 \
    wine "$app/SVCorblexAppGen.exe" \
    >"$work/display.out" 2>"$work/display.err" ||
    fail "the installed wizard ended with $? on a display: $(tail -20 "$work/display.err")"
grep -q '^shown ' "$work/display.out" ||
    fail "the installed wizard did not show its window: $(tail -20 "$work/display.err")"
app_qt=${folder_windows//\\//}
for plugin in platforms/qwindows.dll styles/qwindowsvistastyle.dll; do
    grep -qF "\"$app_qt/$plugin\" loaded library" "$work/display.err" ||
        fail "the wizard did not load the installed $plugin: $(grep 'loaded library' "$work/display.err")"
done
step "started the installed sv6admin.exe, sv6.exe and the wizard, offscreen and on a display"

# Installing again, elsewhere, first runs the uninstaller of the installation found in the
# registry (silently, as the installer itself is silent): the first folder loses its files.
# The old uninstaller runs in place there and may stay behind (on Windows it always does).
second_windows='C:\SV Corblex\Second Folder'
second=$(unix_path "$second_windows")
timeout 120 wine cmd /c "$(windows_path "$installer") /S /D=$second_windows" ||
    fail "installing again ended with $?"
[ -f "$second/SVCorblexAppGen.exe" ] || fail "nothing in $second_windows after installing again"
left=$(find "$app" -type f ! -name Uninstall.exe 2>/dev/null || true)
[ -z "$left" ] || fail "installing again left the first installation's files: $left"
wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\SVCorblexAppGen' \
    /v UninstallString >"$work/reg.txt" 2>&1 || fail "no uninstall entry after installing again"
grep -qF "$second_windows\Uninstall.exe" "$work/reg.txt" ||
    fail "after installing again the uninstall entry names $(cat "$work/reg.txt")"
step "installed again elsewhere, which removed the first installation"

# The uninstaller copies itself away and removes the folder from there; the Wine server ends
# once every program in the prefix has ended.
timeout 60 wine "$second/Uninstall.exe" /S || fail "the uninstaller ended with $?"
timeout 60 wineserver -w || fail "Wine's programs did not end after uninstalling"
[ ! -e "$second" ] ||
    fail "$second_windows is still there after uninstalling: $(cd "$second" && find .)"
[ ! -e "$menu" ] || fail "the Start menu folder is still there after uninstalling"
if wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\SVCorblexAppGen' \
    >/dev/null 2>&1; then
    fail "the uninstall entry is still in the registry"
fi
step "uninstalled silently"

echo "test_installer: all checks passed in $((SECONDS - start)) s"
