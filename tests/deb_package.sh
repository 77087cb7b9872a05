#!/bin/sh
# The Debian package: what it holds, that its dependencies are what this system
# provides, and that installing it over an earlier version keeps the learner's data and
# folder owners. Everything is installed into a scratch root, never into /.
set -eu
build=$1
[ "$(id -u)" -eq 0 ] || { echo "needs root (dpkg --root, chown)"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" > "$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/out/*.deb)
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
folder=./opt/pianocorvida
for file in $folder/pianocorvida-plugin $folder/share/pianocorvida.db \
            ./usr/lib/systemd/user/pianocorvida-plugin.service; do
  echo "$listing" | grep -qx "$file" || fail "package lacks $file"
done
[ "$(echo "$listing" | grep -c "^$folder/countoff/.*\.wav$")" -eq 19 ] || fail "count-off sounds missing"
# A file under db/ would belong to dpkg, which replaces it on every upgrade.
! echo "$listing" | grep -q "^$folder/db/." || fail "package ships a file in db/"
# One unit, where every user's service manager finds it; none under the program's folder.
! echo "$listing" | grep -q "^$folder/lib/" || fail "package ships a unit in $folder/lib"

# Version 2 of the same contents: installing it is an upgrade.
dpkg-deb -R "$deb" "$scratch/v2"
sed -i 's/^Version: .*/&+1/' "$scratch/v2/DEBIAN/control"
dpkg-deb -b "$scratch/v2" "$scratch/v2.deb" > /dev/null

# The scratch root knows only the packages the control file depends on, as this
# system has them: dpkg refuses the package when a dependency is wrong.
root=$scratch/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
touch "$admin/available" "$admin/status"
depends=$(dpkg-deb -f "$deb" Depends)
[ -n "$depends" ] || fail "no dependencies"
# The learner hears the accompaniment through the built-in synthesizer and a SoundFont.
case "$depends" in *libfluidsynth3*) ;; *) fail "no dependency on FluidSynth: $depends" ;; esac
case "$depends" in *soundfont*) ;; *) fail "no dependency on a SoundFont: $depends" ;; esac
for name in $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*)//; s/:.*//' | sort -u); do
  if dpkg-query -s "$name" > /dev/null 2>&1; then
    dpkg-query -s "$name" >> "$admin/status"
    echo >> "$admin/status"
    touch "$admin/info/$name.list" "$admin/info/$name:$(dpkg --print-architecture).list"
  fi
done
install_package() {
  dpkg --root="$root" --force-script-chrootless -i "$1" > "$scratch/dpkg.log" 2>&1 ||
    { cat "$scratch/dpkg.log"; fail "dpkg -i $(basename "$1") failed"; }
}
owners() { stat -c %U "$root/opt/pianocorvida" "$root/opt/pianocorvida/db" \
  "$root/opt/pianocorvida/db/pianocorvida.db" "$root/opt/pianocorvida/cache" | sort -u; }
installed=$root/opt/pianocorvida

SUDO_USER=nobody install_package "$deb"
tables=$(sqlite3 "$installed/db/pianocorvida.db" "SELECT count(*) FROM sqlite_master WHERE type='table'")
[ "$tables" -eq 5 ] || fail "first install: database has $tables tables"
[ "$(owners)" = nobody ] || fail "first install: writable parts owned by $(owners)"
[ "$(stat -c %U "$installed/pianocorvida-plugin")" = root ] || fail "program handed over"
# Built without the web application's origins: no origin list appears.
if ! echo "$listing" | grep -qx "$folder/share/allowed-origins.txt"; then
  [ ! -e "$installed/db/allowed-origins.txt" ] || fail "first install wrote an origin list"
fi

sqlite3 "$installed/db/pianocorvida.db" "INSERT INTO Midi VALUES ('7', 'learner stamp')"
printf 'https://learner.example\n' > "$installed/db/allowed-origins.txt"
printf 'song' > "$installed/cache/7"
chown nobody "$installed/db/allowed-origins.txt" "$installed/cache/7"

# Someone other than the learner upgrades.
SUDO_USER=daemon install_package "$scratch/v2.deb"
dpkg --root="$root" -s pianocorvida-plugin | grep -q '^Version: .*+1$' || fail "not upgraded"
kept=$(sqlite3 "$installed/db/pianocorvida.db" "SELECT lastModifiedDate FROM Midi WHERE midiID = '7'")
[ "$kept" = "learner stamp" ] || fail "database replaced on upgrade"
[ "$(cat "$installed/db/allowed-origins.txt")" = https://learner.example ] || fail "origins changed"
[ "$(cat "$installed/cache/7")" = song ] || fail "cache changed on upgrade"
[ "$(owners)" = nobody ] || fail "upgrade: writable parts owned by $(owners)"
echo "package: $(stat -c %s "$deb") bytes; Depends: $depends"
