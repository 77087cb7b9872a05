#!/bin/sh
# The Debian package: what it holds and where (the program and its shared files
# read-only under /usr, nothing in /opt, no maintainer script, no owner changed), that
# lintian finds no error and no warning in it, that its dependencies are what this
# system provides, and, installed into a scratch root over the earlier /opt package,
# that learners' services run from it each keep their own files while the package's
# folders stay unwritten (package_learners_test), and that an upgrade leaves the
# learners' files alone. Everything is installed into a scratch root, never into /.
# Arguments: the build folder, the package_learners_test program.
set -eu
build=$1
learners_test=$2
tests_dir=$(cd "$(dirname "$0")" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "needs root (dpkg --root, learners' user ids)"; exit 77; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "$*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" > "$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack failed"; }
deb=$(ls "$scratch"/out/*.deb)
version=$(dpkg-deb -f "$deb" Version)
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/lib/pianocorvida/pianocorvida-plugin ./usr/share/pianocorvida/pianocorvida.db \
            ./usr/lib/systemd/user/pianocorvida-plugin.service \
            ./usr/share/doc/pianocorvida-plugin/copyright \
            ./usr/share/doc/pianocorvida-plugin/changelog.gz; do
  echo "$listing" | grep -qx "$file" || fail "package lacks $file"
done
[ "$(echo "$listing" | grep -c "^\./usr/share/pianocorvida/countoff/.*\.wav$")" -eq 19 ] ||
  fail "count-off sounds missing"
outside=$(echo "$listing" | grep -v -e '^\./$' -e '^\./usr/' || true)
[ -z "$outside" ] || fail "package ships outside /usr: $outside"
# A learner's files are made by their own service, never shipped where dpkg owns them.
! echo "$listing" | grep -q -e '/db/' -e '/cache/' || fail "package ships a learner's file"
owners=$(dpkg-deb --fsys-tarfile "$deb" | tar -tv | awk '{print $2}' | sort -u)
[ "$owners" = root/root ] || fail "package files owned by $owners"
dpkg-deb -e "$deb" "$scratch/control"
scripts=$(ls "$scratch/control" | grep -v -x -e control -e md5sums || true)
[ -z "$scripts" ] || fail "package has maintainer scripts: $scripts"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/user/pianocorvida-plugin.service |
  grep -qxF 'ExecStart="/usr/lib/pianocorvida/pianocorvida-plugin"' || fail "unit starts another program"
top=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/pianocorvida-plugin/changelog.gz |
      gzip -dc | head -n 1)
case "$top" in "pianocorvida-plugin ($version) "*) ;; *) fail "changelog's last entry: $top" ;; esac

if command -v lintian > /dev/null; then
  lintian --fail-on none "$deb" > "$scratch/lintian.log" 2>&1 || { cat "$scratch/lintian.log"; fail "lintian failed"; }
  ! grep -q '^[EW]:' "$scratch/lintian.log" || { cat "$scratch/lintian.log"; fail "lintian: errors or warnings"; }
  echo "lintian: no error, no warning ($(grep -c '^[IPX]:' "$scratch/lintian.log" || true) notes)"
else
  echo "lintian: not installed (scripts/install-deps.sh installs it), not run"
fi

# The earlier package: everything in /opt/pianocorvida, where its learner's service also
# kept the database, cache and log.
old=$scratch/old
mkdir -p "$old/DEBIAN" "$old/opt/pianocorvida/countoff" "$old/opt/pianocorvida/share"
cp "$build/pianocorvida-plugin" "$old/opt/pianocorvida/"
cp "$build/countoff/go.wav" "$old/opt/pianocorvida/countoff/"
cp "$build/db/pianocorvida.db" "$old/opt/pianocorvida/share/"
cat > "$old/DEBIAN/control" <<EOF
Package: pianocorvida-plugin
Version: 0.0.3.0
Architecture: $(dpkg --print-architecture)
Maintainer: Piano Corvida developers <developers@pianocorvida.invalid>
Description: the earlier package, with everything in /opt
EOF
dpkg-deb -b "$old" "$scratch/old.deb" > /dev/null
# Version 2 of the new contents: installing it is an upgrade.
dpkg-deb -R "$deb" "$scratch/v2"
sed -i 's/^Version: .*/&+1/' "$scratch/v2/DEBIAN/control"
dpkg-deb -b "$scratch/v2" "$scratch/v2.deb" > /dev/null

# The scratch root knows only the packages the control file depends on, as this
# system has them: dpkg refuses the package when a dependency is wrong. Learners
# (other user ids) reach the program in it.
root=$scratch/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
chmod 0755 "$scratch"
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
# Every entry, with what a write changes (a folder's time changes with any entry's).
snapshot() {
  find "$@" \( -type d -printf '%p %m %U\n' \) -o -printf '%p %s %m %U %T@\n' | sort
}

install_package "$scratch/old.deb"
earlier=$root/opt/pianocorvida
mkdir -p "$earlier/db" "$earlier/cache"
cp "$earlier/share/pianocorvida.db" "$earlier/db/pianocorvida.db"
sqlite3 "$earlier/db/pianocorvida.db" "INSERT INTO Midi VALUES ('7', 'old stamp')"
printf 'old song' > "$earlier/cache/7"
printf '2025-01-01 10:00:00,000 [INFO] old line\n' > "$earlier/pianocorvida.log"
chmod 0644 "$earlier/db/pianocorvida.db"  # as the earlier postinst left it
chown -R 4203:4203 "$earlier/db" "$earlier/cache" "$earlier/pianocorvida.log"

install_package "$deb"
dpkg --root="$root" -s pianocorvida-plugin | grep -qx "Version: $version" || fail "not upgraded from /opt"
# dpkg took the earlier package's own files away and left its learner's data.
[ ! -e "$earlier/pianocorvida-plugin" ] && [ ! -e "$earlier/share" ] ||
  fail "earlier package's files left in /opt"
[ "$(cat "$earlier/cache/7")" = "old song" ] || fail "earlier learner's data lost"
[ -z "$(find "$root/usr" ! -user root)" ] || fail "package gave files away: $(find "$root/usr" ! -user root)"
[ ! -e "$root/home" ] || fail "install wrote in home folders"

# The learners' test adds a row to the earlier database on purpose; nothing else there
# may change.
installed=$(snapshot "$root/usr"; find "$root/opt" | sort)
"$tests_dir/in-netns.sh" env PIANOCORVIDA_PACKAGE_ROOT="$root" "$learners_test" \
  > "$scratch/learners.log" 2>&1 || { cat "$scratch/learners.log"; fail "learners' services failed"; }
grep -q '^\[  PASSED  \] 2 tests' "$scratch/learners.log" || { cat "$scratch/learners.log"; fail "learners' tests did not run"; }
after=$(snapshot "$root/usr"; find "$root/opt" | sort)
[ "$installed" = "$after" ] || {
  echo "$installed" > "$scratch/installed"; echo "$after" > "$scratch/after"
  diff "$scratch/installed" "$scratch/after"; fail "learners' services wrote in the package's folders or /opt"
}

# An upgrade replaces the program and leaves every learner's files alone.
homes=$(snapshot "$root/home")
install_package "$scratch/v2.deb"
dpkg --root="$root" -s pianocorvida-plugin | grep -q '^Version: .*+1$' || fail "not upgraded"
[ "$(snapshot "$root/home")" = "$homes" ] || fail "upgrade changed a learner's files"
echo "learners: $(grep '^\[  PASSED  \]' "$scratch/learners.log")"
echo "package: $(stat -c %s "$deb") bytes; Depends: $depends"
