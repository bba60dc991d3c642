#!/bin/sh
# Runs the Windows installer given silently in a scratch Wine prefix: the
# program, its Start-menu entries and the Startup shortcut must be in place,
# with the wiki folder as the shortcuts' working directory; the installed
# server must serve and save a page from that folder and stop; the silent
# uninstaller must then remove all of it but the wiki. The second argument is
# the 64-bit Wine loader, which also runs Wine's own programs (cmd, reg).
set -eu
setup=$1
wine=$2
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
# Wine maps Documents and the desktop menus into HOME: keep them in scratch.
export WINEPREFIX="$scratch/prefix" HOME="$scratch/home" WINEDEBUG=-all WINELOADER="$wine"
# Mono, Gecko and desktop menu entries are not needed here, and slow.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY XDG_CONFIG_HOME
mkdir "$HOME"
log="$scratch/wine.log"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
STOP_SECONDS=20
START_SECONDS=60
UNINSTALL_KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillet'

fail() {  # printf, as some shells' echo reads the backslashes of Windows paths
  printf 'FAILED: %s\n' "$*"
  tail -n 20 "$log"
  exit 1
}

"$wine" wineboot -i >>"$log" 2>&1 || fail "$wine could not make the Wine prefix: wineboot -i ended with $?"
"$wine" "$setup" /S >>"$log" 2>&1 || fail "the silent install ended with $?"
profile=$("$wine" cmd /c echo %USERPROFILE% 2>>"$log" | tr -d '\r')
[ -n "$profile" ] || fail "Wine's cmd named no %USERPROFILE%"
profile_unix=$("$wine" winepath -u "$profile" 2>>"$log") ||
  fail "winepath found no Unix path for $profile"
program="$profile\\AppData\\Local\\Programs\\Quillet"
program_unix="$profile_unix/AppData/Local/Programs/Quillet"
menu_unix="$profile_unix/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
wiki="$profile\\Documents\\Wiki"
wiki_unix="$profile_unix/Documents/Wiki"
# Wine spells the Startup folder StartUp.
shortcuts="Quillet/Quillet.lnk|Quillet/Open the wiki.url|Quillet/Uninstall.lnk|StartUp/Quillet.lnk"

test -f "$program_unix/quillet.exe" || fail "no quillet.exe in $program_unix"
IFS='|'
for shortcut in $shortcuts; do
  test -f "$menu_unix/$shortcut" || fail "no $shortcut in the Start menu"
done
unset IFS
tr -d '\r' <"$menu_unix/Quillet/Open the wiki.url" | grep -qx 'URL=http://localhost:8088/' ||
  fail "Open the wiki leads elsewhere"
for shortcut in Quillet/Quillet.lnk StartUp/Quillet.lnk; do
  printf '%s\n%s\n' "$program\\quillet.exe" "$wiki" >"$scratch/expected"
  python3 "$here/shortcut_paths.py" "$menu_unix/$shortcut" >"$scratch/found" 2>>"$log" ||
    fail "shortcut_paths.py could not read $shortcut"
  cmp -s "$scratch/expected" "$scratch/found" ||
    fail "$shortcut does not start quillet.exe in the wiki folder: $(cat "$scratch/found")"
done
"$wine" reg query "$UNINSTALL_KEY" /v UninstallString >>"$log" 2>&1 || fail "no uninstall entry"
echo "ok: the silent install made quillet.exe, the Start-menu entries and the Startup shortcut"

(cd "$wiki_unix" && exec "$wine" "$program_unix/quillet.exe") >>"$log" 2>&1 &
server=$!
# Wine's first start of a program in a new prefix is slow.
python3 "$here/../support/wiki_client.py" ask "/save/installed?data=Saved+under+Wine&eof=1" "$START_SECONDS" |
  grep -q "Page saved!" || fail "the installed server did not save a page"
python3 "$here/../support/wiki_client.py" ask /byebye 0 >/dev/null || fail "the installed server did not take the stop"
waited=0
while kill -0 "$server" 2>/dev/null; do
  [ "$waited" -lt "$STOP_SECONDS" ] || fail "the installed server did not stop"
  sleep 1
  waited=$((waited + 1))
done
status=0
wait "$server" || status=$?
[ "$status" -eq 0 ] || fail "the installed server exited with $status"
page="$wiki_unix/pages/installed.txt"
test -f "$page" || fail "the page was not saved in the wiki folder"
printf 'ok: the installed server saved a page in %s and stopped with 0\n' "$wiki"

"$wine" "$program_unix/uninstall.exe" /S >>"$log" 2>&1 || fail "the silent uninstall ended with $?"
# The uninstaller runs on from a copy in the temporary folder: wait for it.
wineserver -w || fail "wineserver -w ended with $?"
test ! -e "$program_unix" || fail "the uninstall left $(ls "$program_unix")"
test ! -e "$menu_unix/Quillet" || fail "the uninstall left the Start-menu folder"
test ! -e "$menu_unix/StartUp/Quillet.lnk" || fail "the uninstall left the Startup shortcut"
"$wine" reg query "$UNINSTALL_KEY" >>"$log" 2>&1 && fail "the uninstall left its entry"
test -f "$page" || fail "the uninstall deleted the wiki"
echo "ok: the silent uninstall removed the program and its shortcuts and kept the wiki"
