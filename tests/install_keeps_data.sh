#!/bin/sh
# Installing into a folder that already holds a learner's database and cache keeps
# them; a fresh folder gets the shipped files.
set -eu
build=$1
target=$(mktemp -d)
trap 'rm -rf "$target"' EXIT

cmake --install "$build" --prefix "$target" > /dev/null
[ -x "$target/pianocorvida-plugin" ] || { echo "program not installed"; exit 1; }
[ "$(ls "$target/countoff" | wc -l)" -eq 19 ] || { echo "count-off sounds missing"; exit 1; }
tables=$(sqlite3 "$target/db/pianocorvida.db" "SELECT group_concat(name) FROM (SELECT name FROM sqlite_master WHERE type='table' ORDER BY name)")
[ "$tables" = "Device,Exersise,Installation,Midi,User" ] || { echo "tables: $tables"; exit 1; }

sqlite3 "$target/db/pianocorvida.db" "INSERT INTO Midi VALUES ('7', 'learner stamp')"
mkdir -p "$target/cache" && printf 'song' > "$target/cache/7"
printf 'https://learn.example\n' > "$target/db/allowed-origins.txt"
cmake --install "$build" --prefix "$target" > /dev/null
kept=$(sqlite3 "$target/db/pianocorvida.db" "SELECT lastModifiedDate FROM Midi WHERE midiID = '7'")
[ "$kept" = "learner stamp" ] || { echo "database overwritten on reinstall"; exit 1; }
[ "$(cat "$target/cache/7")" = "song" ] || { echo "cache changed on reinstall"; exit 1; }
[ "$(cat "$target/db/allowed-origins.txt")" = "https://learn.example" ] || { echo "origin list changed on reinstall"; exit 1; }

# The build's own step keeps an existing database too (the build folder is an install
# folder as well).
source_dir=$(cd "$(dirname "$0")/.." && pwd)
cmake -DSQLITE3="$(command -v sqlite3)" -DSCHEMA="$source_dir/data/schema.sql" \
      -DDATABASE="$target/db/pianocorvida.db" -P "$source_dir/data/make-database.cmake"
kept=$(sqlite3 "$target/db/pianocorvida.db" "SELECT lastModifiedDate FROM Midi WHERE midiID = '7'")
[ "$kept" = "learner stamp" ] || { echo "database overwritten by the build step"; exit 1; }
echo "install keeps data: ok"
