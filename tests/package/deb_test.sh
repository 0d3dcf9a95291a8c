#!/usr/bin/env bash
# Builds the Debian package from a built tree, checks its files and fields, installs it into a
# scratch root with dpkg and runs the installed program.
# Usage: deb_test.sh BUILD_DIR SOURCE_DIR [CPACK]
set -euo pipefail
build=$1 src=$2 cpack=${3:-cpack}
id=com.brisko.EventFileWorkflow
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack did not build the package"; }
debs=("$scratch"/out/brisko-workflow_*.deb)
[ -f "${debs[0]}" ] || fail "no brisko-workflow_*.deb in $(ls "$scratch/out")"
deb=${debs[0]}

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
expected=(
  ./usr/bin/brisko-workflow
  ./usr/libexec/brisko-workflow/brisko-workflow-window
  ./usr/share/man/man1/brisko-workflow.1.gz
  ./usr/share/applications/$id.desktop
  ./usr/share/metainfo/$id.metainfo.xml
  ./usr/share/icons/hicolor/scalable/apps/$id.svg
  ./usr/share/icons/hicolor/48x48/apps/$id.png
  ./usr/share/icons/hicolor/128x128/apps/$id.png
  ./usr/share/icons/hicolor/256x256/apps/$id.png
  ./usr/lib/systemd/user/brisko-workflow.service
  ./usr/share/doc/brisko-workflow/README.md
  ./usr/share/doc/brisko-workflow/copyright
)
[ -d "$src/docs/guide" ] && expected+=(./usr/share/doc/brisko-workflow/guide/index.html)
[ -d "$src/examples" ] && expected+=(./usr/share/brisko-workflow/examples/)
for f in "${expected[@]}"; do
  grep -qxF -- "$f" <<<"$contents" || fail "the package lacks $f"
done

info=$(dpkg-deb -I "$deb")
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
depend_names=$(sed 's/ ([^)]*)//g; s/, */\n/g; s/ *| */\n/g' <<<"$depends")
for lib in libc6 libstdc++6 libsqlite3-0 libturbojpeg0 libvips42 libqt6widgets6; do
  grep -qxF "$lib" <<<"$depend_names" || fail "Depends lacks $lib: '$depends'"
done
grep -qx ' Section: graphics' <<<"$info" || fail "no Section: graphics in $info"
grep -q '^ Description: unattended file-workflow station' <<<"$info" || fail "no description in $info"

# Installing against a copy of this system's package list also proves Depends can be met.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
cp /var/lib/dpkg/status "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-not-root --force-script-chrootless --log=/dev/null -i "$deb" \
  >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; fail "dpkg could not install the package"; }
status=$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' brisko-workflow)
[ "$status" = "install ok installed" ] || fail "package state '$status' after installing"

version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/brisko-workflow" --version)
grep -qE '^Brisko Event File Workflow [0-9]+\.[0-9]+\.[0-9]+$' <<<"$version" ||
  fail "installed program answered '$version'"

# --help sends the reader to the README the package installs.
readme=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/brisko-workflow" --help |
  grep -oE '/usr/share/doc/brisko-workflow/README.md' || true)
[ -n "$readme" ] && [ -f "$root$readme" ] || fail "--help does not name the installed README"

desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry not valid"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >"$scratch/as.log" 2>&1 ||
  { cat "$scratch/as.log" >&2; fail "metainfo not valid"; }
unit=$root/usr/lib/systemd/user/brisko-workflow.service
grep -qx 'ExecStart=brisko-workflow --headless' "$unit" || fail "unexpected ExecStart in $unit"
# systemd looks a bare command up in /usr/bin, which is not the scratch root: verify a copy.
if command -v systemd-analyze >/dev/null; then
  sed "s|^ExecStart=brisko-workflow|ExecStart=$root/usr/bin/brisko-workflow|" "$unit" >"$scratch/brisko-workflow.service"
  complaints=$(systemd-analyze verify --man=no "$scratch/brisko-workflow.service" 2>&1) || true
  [ -z "$complaints" ] || fail "systemd-analyze: $complaints"
fi
echo "$(basename "$deb") ($(du -k "$deb" | cut -f1) KiB), $version; Depends: $depends"
