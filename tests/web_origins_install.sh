#!/bin/sh
# The build option that names the web application's origins: a build configured with
# it installs them as db/allowed-origins.txt where no such file is, never over one,
# through cmake --install, and the package ships them among its shared files; a build
# without it writes no list; an entry that is not an origin stops the configuration.
# Only the packaging rules run: nothing is built.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$*"; exit 1; }
# The rules of the packaging folder alone, for one component, into a prefix.
install_rules() {  # build-folder component prefix
  cmake -DCMAKE_INSTALL_PREFIX="$3" -DCMAKE_INSTALL_COMPONENT="$2" \
        -P "$1/packaging/cmake_install.cmake" > /dev/null
}

with=$scratch/with
cmake -S "$source_dir" -B "$with" \
      "-DPIANOCORVIDA_WEB_ORIGINS=https://learn.example;http://localhost:8080" \
      > "$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log"; fail "configure failed"; }
expected='# The web application'"'"'s origins, written at install
https://learn.example
http://localhost:8080'

# cmake --install: written where none is, kept where one is.
prefix=$scratch/prefix
install_rules "$with" learner_data "$prefix"
[ "$(cat "$prefix/db/allowed-origins.txt")" = "$expected" ] ||
  fail "installed list: $(cat "$prefix/db/allowed-origins.txt")"
printf 'https://mine.example\n' > "$prefix/db/allowed-origins.txt"
install_rules "$with" learner_data "$prefix"
[ "$(cat "$prefix/db/allowed-origins.txt")" = https://mine.example ] || fail "list overwritten"

# The package: its shared files carry the list, read-only, for every learner's
# service (which reads it while the learner keeps no list of their own); nothing is
# written for a learner at install.
root=$scratch/root
shared=$root/usr/share/pianocorvida
DESTDIR=$root install_rules "$with" package /usr
[ "$(cat "$shared/allowed-origins.txt")" = "$expected" ] || fail "package lacks the list"
written=$(cd "$root" && find . -type f | grep -v '^\./usr/share/' || true)
[ -z "$written" ] || fail "the package's rules wrote outside /usr/share: $written"

# The build without the option writes none, by either way.
plain=$scratch/plain
install_rules "$build" learner_data "$plain"
[ ! -e "$plain/db/allowed-origins.txt" ] || fail "build without the option wrote a list"
DESTDIR=$plain/root install_rules "$build" package /usr
[ ! -e "$plain/root/usr/share/pianocorvida/allowed-origins.txt" ] ||
  fail "package without the option ships a list"

# Not an origin: a path, a space, no scheme.
for bad in "https://learn.example/app" "https://learn.example;learn.example" "https://a b"; do
  if cmake -S "$source_dir" -B "$scratch/bad" "-DPIANOCORVIDA_WEB_ORIGINS=$bad" \
       > "$scratch/bad.log" 2>&1; then
    fail "configure took $bad"
  fi
  grep -q "is not an origin" "$scratch/bad.log" || { cat "$scratch/bad.log"; fail "no reason for $bad"; }
  rm -rf "$scratch/bad"
done
echo "web origins install: ok"
