#!/bin/sh
# Installing into a folder that already holds a learner's database and cache keeps
# them; a fresh folder gets the shipped files and the user unit that starts the
# program, inside the install folder: nothing is written outside DESTDIR and the
# prefix. The home folder is a scratch one: nothing is installed for the real user.
set -eu
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home"
target=$HOME/.local/lib/pianocorvida

cmake --install "$build" --prefix "$target" > /dev/null
[ -x "$target/pianocorvida-plugin" ] || { echo "program not installed"; exit 1; }
[ "$(ls "$target/countoff" | wc -l)" -eq 19 ] || { echo "count-off sounds missing"; exit 1; }
tables=$(sqlite3 "$target/db/pianocorvida.db" "SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE type='table' ORDER BY name)")
[ "$tables" = "Device,Exersise,Installation,Midi,User" ] || { echo "tables: $tables"; exit 1; }

unit=$target/lib/systemd/user/pianocorvida-plugin.service
[ -f "$unit" ] || { echo "user unit not installed"; exit 1; }
for line in Type=notify Restart=on-failure "ExecStart=\"$target/pianocorvida-plugin\"" \
            WantedBy=default.target; do
  grep -qxF "$line" "$unit" || { echo "unit lacks $line"; exit 1; }
done
if command -v systemd-analyze > /dev/null; then
  # It answers 0 to a misspelt value and only prints it: any output is a fault.
  report=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$report" ] ||
    { echo "systemd-analyze verify: $report"; exit 1; }
fi

sqlite3 "$target/db/pianocorvida.db" "INSERT INTO Midi VALUES ('7', 'learner stamp')"
mkdir -p "$target/cache" && printf 'song' > "$target/cache/7"
printf 'https://learn.example\n' > "$target/db/allowed-origins.txt"
cmake --install "$build" --prefix "$target" > /dev/null
kept=$(sqlite3 "$target/db/pianocorvida.db" "SELECT lastModifiedDate FROM Midi WHERE midiID = '7'")
[ "$kept" = "learner stamp" ] || { echo "database overwritten on reinstall"; exit 1; }
[ "$(cat "$target/cache/7")" = "song" ] || { echo "cache changed on reinstall"; exit 1; }
[ "$(cat "$target/db/allowed-origins.txt")" = "https://learn.example" ] || { echo "origin list changed on reinstall"; exit 1; }

# Installing into a staging root (DESTDIR) looks for an existing database there, not at
# the prefix outside it, and writes nothing outside the staged prefix.
HOME=/nonexistent DESTDIR="$scratch/staged" cmake --install "$build" --prefix "$target" > /dev/null
[ -f "$scratch/staged$target/db/pianocorvida.db" ] || { echo "staged install lacks the database"; exit 1; }
[ -f "$scratch/staged$target/lib/systemd/user/pianocorvida-plugin.service" ] ||
  { echo "staged install lacks the unit"; exit 1; }
outside=$(cd "$scratch/staged" && find . -type f | grep -v "^\.$target/" || true)
[ -z "$outside" ] || { echo "staged install wrote outside the prefix: $outside"; exit 1; }

# A prefix outside the home folder, as a packager tries one: everything lands under it,
# nothing in the home folder or the system's folder of user units.
system_unit=/usr/lib/systemd/user/pianocorvida-plugin.service
had_system_unit=$([ -e "$system_unit" ] && echo yes || echo no)
before=$(cd "$scratch" && find . -path ./prefix -prune -o -type f -print | sort)
cmake --install "$build" --prefix "$scratch/prefix" > /dev/null
after=$(cd "$scratch" && find . -path ./prefix -prune -o -type f -print | sort)
[ "$before" = "$after" ] || { echo "install wrote outside the prefix: $(echo "$after" | grep -vxF "$before")"; exit 1; }
[ "$had_system_unit" = yes ] || [ ! -e "$system_unit" ] || { echo "install wrote $system_unit"; exit 1; }
grep -qxF "ExecStart=\"$scratch/prefix/pianocorvida-plugin\"" \
  "$scratch/prefix/lib/systemd/user/pianocorvida-plugin.service" || { echo "prefix unit wrong"; exit 1; }

# The build's own step keeps an existing database too (the build folder is an install
# folder as well).
source_dir=$(cd "$(dirname "$0")/.." && pwd)
cmake -DSQLITE3="$(command -v sqlite3)" -DSCHEMA="$source_dir/data/schema.sql" \
      -DDATABASE="$target/db/pianocorvida.db" -P "$source_dir/data/make-database.cmake"
kept=$(sqlite3 "$target/db/pianocorvida.db" "SELECT lastModifiedDate FROM Midi WHERE midiID = '7'")
[ "$kept" = "learner stamp" ] || { echo "database overwritten by the build step"; exit 1; }
echo "install keeps data: ok"
