#!/usr/bin/env bash
# Makes the Debian packages from a build folder with cpack, as the README says, and checks them:
# what each one holds (and does not), the stripped programs, the systemd units with
# `systemd-analyze verify` and `security --offline=yes` on the unpacked files, and lintian with no
# error. Usage: package_test.sh BUILD_DIR
set -euo pipefail
build="$(cd "$1" && pwd)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
[ "$prefix" = /usr ] || { echo "FAIL: $build installs under '$prefix'; packages need /usr"; exit 1; }
(cd "$build" && cpack -G DEB -B "$scratch/out") >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1; }
server=$(ls "$scratch"/out/kovbridge_*_amd64.deb)
desktop=$(ls "$scratch"/out/kovbridge-gui_*_amd64.deb)
version=$(dpkg-deb -f "$server" Version)
echo "packages: $(basename "$server") $(basename "$desktop")"

# What each package holds.
expect_files() {
  local deb="$1"
  shift
  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/list"
  for f in "$@"; do
    grep -qxF "$f" "$scratch/list" || fail "$(basename "$deb") lacks $f"
  done
}
expect_files "$server" /usr/bin/kovbridge /usr/lib/systemd/system/kovbridge.service \
  /usr/lib/systemd/system/kovbridge@.service /usr/lib/sysusers.d/kovbridge.conf \
  /usr/share/man/man8/kovbridge.8.gz /usr/share/man/man5/BridgePorts.conf.5.gz \
  /usr/share/doc/kovbridge/examples/BridgePorts.conf /usr/share/doc/kovbridge/copyright \
  /usr/share/doc/kovbridge/changelog.gz
grep -q kovbridge-gui "$scratch/list" && fail "the kovbridge package holds the desktop program"
expect_files "$desktop" /usr/bin/kovbridge-gui /usr/share/applications/kovbridge-gui.desktop \
  /usr/share/icons/hicolor/48x48/apps/kovbridge.png /usr/share/man/man1/kovbridge-gui.1.gz \
  /usr/share/doc/kovbridge-gui/copyright
grep -qE '/usr/bin/kovbridge$|systemd' "$scratch/list" &&
  fail "the desktop package holds what the kovbridge package has"
# The desktop program is installed once, by one rule.
installs=$(cmake --install "$build" --prefix "$scratch/install" | grep -c '/bin/kovbridge-gui$' || true)
[ "$installs" = 1 ] || fail "the desktop program is installed $installs times"

dpkg-deb -f "$server" Depends | grep -q libsystemd0 || fail "kovbridge does not depend on libsystemd0"
dpkg-deb -f "$desktop" Depends | grep -qF "kovbridge (= $version)" ||
  fail "kovbridge-gui does not depend on kovbridge $version"
for script in postinst prerm postrm; do
  dpkg-deb -I "$server" "$script" >/dev/null 2>&1 || fail "kovbridge has no $script"
done

# Unpacked into a scratch root.
root="$scratch/root"
dpkg -x "$server" "$root"
dpkg -x "$desktop" "$root"
for program in kovbridge kovbridge-gui; do
  readelf -S "$root/usr/bin/$program" | grep -qE '\.symtab|\.debug_' && fail "$program is not stripped"
done
"$root/usr/bin/kovbridge" --version | grep -qF "KOV Bridge $version" || fail "kovbridge --version"
grep -qx 'Exec=kovbridge-gui' "$root/usr/share/applications/kovbridge-gui.desktop" ||
  fail "the desktop entry does not start kovbridge-gui"
grep -qx 'Icon=kovbridge' "$root/usr/share/applications/kovbridge-gui.desktop" ||
  fail "the desktop entry names another icon"
zcat "$root/usr/share/man/man8/kovbridge.8.gz" | grep -q 'SIGHUP' || fail "kovbridge(8) lacks SIGHUP"

# The units, against the unpacked files and the targets they name.
units="$root/usr/lib/systemd/system"
cp -n /lib/systemd/system/*.target /lib/systemd/system/*.slice /lib/systemd/system/*.socket \
  "$units"/ 2>/dev/null || true
for unit in kovbridge.service kovbridge@demo.service; do
  out=$(systemd-analyze verify --man=no --root="$root" "$unit" 2>&1) || fail "verify $unit: $out"
  [ -z "$out" ] || fail "verify $unit says: $out"
  exposure=$(systemd-analyze security --offline=yes --root="$root" "$unit" 2>&1 |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
  echo "$unit: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }' || fail "$unit exposure '$exposure'"
done
grep -qx 'WorkingDirectory=/var/lib/kovbridge/%i' "$units/kovbridge@.service" ||
  fail "the template's working directory"
grep -qx 'ExecStart=/usr/bin/kovbridge' "$units/kovbridge.service" || fail "ExecStart"

# lintian: no error; warnings are shown.
lintian --tag-display-limit 0 "$server" "$desktop" >"$scratch/lintian" 2>&1 || true
grep -E '^[EW]: ' "$scratch/lintian" || true
grep -q '^E: ' "$scratch/lintian" && fail "lintian found errors"
grep -qiE 'error|not found' "$scratch/lintian" && ! grep -qE '^[EWIN]: ' "$scratch/lintian" &&
  fail "lintian did not run: $(cat "$scratch/lintian")"

[ "$failures" = 0 ] || exit 1
echo "packages checked"
