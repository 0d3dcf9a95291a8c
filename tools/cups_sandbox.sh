#!/usr/bin/env bash
# A private print system for tests and benchmarks: its own cupsd and an ippeveprinter as the
# printer, in one scratch folder, touching nothing of the machine's own CUPS.
#
#   tools/cups_sandbox.sh start DIR [--queue NAME] [--owner PID]
#   tools/cups_sandbox.sh stop DIR
#
# start writes DIR/env (KEY=VALUE lines: CUPS_SERVER, QUEUE, PRINTER_URI, PRINTER_PORT,
# PRINTER_WEB, JOBS_DIR); export CUPS_SERVER to talk to this cupsd with libcups, lp or lpstat.
# The printer keeps every job file in JOBS_DIR. --owner: stop by itself once that process ends
# (a test that crashed leaves no daemons behind). Exits 77 with the reason on stderr when a tool
# is missing (tools/setup.sh installs them).
#
# ippeveprinter of Debian 12 will not start without DNS-SD (even with "-r off"), and avahi needs
# a system D-Bus. As root we start both privately: a dbus-daemon on a socket of our own and an
# avahi-daemon limited to the loopback interface, in a mount namespace with its own
# /run/avahi-daemon (its pid file there would otherwise stop a second sandbox running in
# parallel). Without root, a running system avahi-daemon is used.
# The printer's web form sets its trays' paper levels: PRINTER_WEB/media?size1=...&level1=0
# gives "media-empty" (see tests/print/cups_fixture.cpp).
# The queue takes what CUPS itself and the printer take, the same on every machine: the file type
# conversions other packages add (cups-filters: TIFF, HEIF, text to PDF...) are left out of its
# data folder. BRISKO_CUPS_SYSTEM_FILTERS=1 keeps them, as the machine's own CUPS has them.
set -euo pipefail

usage() { sed -n '2,13p' "$0" >&2; exit 2; }
[ $# -ge 2 ] || usage
cmd=$1 dir=$2
shift 2

stop_sandbox() {
  local d=$1 p pids=() n
  for name in cupsd printer avahi dbus watchdog; do
    [ -f "$d/run/$name.pid" ] || continue
    p=$(cat "$d/run/$name.pid")
    rm -f "$d/run/$name.pid"
    [ -n "$p" ] && [ "$p" != "${BASHPID:-}" ] && kill "$p" 2>/dev/null && pids+=("$p")
  done
  # Gone before the caller removes the folder they write in.
  for p in "${pids[@]}"; do
    n=30
    while kill -0 "$p" 2>/dev/null && [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done
  done
  if [ -f "$d/run/sockdir" ]; then
    rm -rf "$(cat "$d/run/sockdir")"
    rm -f "$d/run/sockdir"
  fi
}

if [ "$cmd" = stop ]; then
  stop_sandbox "$dir"
  exit 0
fi
[ "$cmd" = start ] || usage

queue=Selphy
owner=""
while [ $# -gt 0 ]; do
  case "$1" in
    --queue) queue=$2; shift ;;
    --owner) owner=$2; shift ;;
    *) usage ;;
  esac
  shift
done

skip() { echo "cups_sandbox: $*" >&2; exit 77; }
for tool in cupsd ippeveprinter lpadmin; do
  command -v "$tool" >/dev/null 2>&1 || PATH="$PATH:/usr/sbin:/sbin"
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (cups-daemon, cups-ipp-utils, cups-client)"
done
private_avahi=0
if [ "$(id -u)" = 0 ]; then
  for tool in dbus-daemon avahi-daemon unshare; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (dbus-daemon, avahi-daemon, util-linux)"
  done
  unshare --mount --propagation private true 2>/dev/null ||
    skip "cannot make a mount namespace for a private avahi-daemon (unshare --mount refused)"
  private_avahi=1
elif ! avahi-daemon -c >/dev/null 2>&1; then
  skip "ippeveprinter needs an avahi-daemon: run as root (a private one is started) or start the system's"
fi

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
run=$dir/run
rm -rf "$run" "$dir/cups" "$dir/jobs"
mkdir -p "$run" "$dir/cups/cache" "$dir/cups/state" "$dir/cups/log" "$dir/jobs"
# Unix socket paths are limited to 107 bytes: the sockets live in a short folder of their own,
# and so do the spool and the server root, which the backends (run as an unprivileged user)
# must reach even when DIR sits in a private folder: a backend that cannot read the queue's PPD
# sends the job's options as they are, which no real station does.
sock=$(mktemp -d /tmp/brisko-cups.XXXXXX)
chmod 755 "$sock"
mkdir -p "$sock/spool/tmp" "$sock/root/ppd"
echo "$sock" >"$run/sockdir"

fail() {
  echo "cups_sandbox: $*" >&2
  for f in "$run"/*.log "$dir/cups/log/error_log"; do
    [ -s "$f" ] && { echo "--- $f" >&2; tail -n 15 "$f" >&2; }
  done
  stop_sandbox "$dir"
  exit 1
}
wait_for() {  # wait_for SECONDS COMMAND...: polls until the command succeeds
  local n=$(($1 * 10))
  shift
  while ! "$@" 2>/dev/null; do
    n=$((n - 1))
    [ $n -gt 0 ] || return 1
    sleep 0.1
  done
}
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
alive() { kill -0 "$1" 2>/dev/null; }

if [ $private_avahi = 1 ]; then
  cat >"$run/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$sock/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
  </policy>
</busconfig>
EOF
  cat >"$run/avahi.conf" <<EOF
[server]
host-name=brisko-sandbox-$$
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-addresses=no
EOF
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$sock/bus
  dbus-daemon --config-file="$run/bus.conf" --nofork >"$run/dbus.log" 2>&1 &
  echo $! >"$run/dbus.pid"
  wait_for 10 test -S "$sock/bus" || fail "dbus-daemon did not start"
  mkdir -p /run/avahi-daemon
  unshare --mount --propagation private -- sh -c \
    'mount -t tmpfs tmpfs /run/avahi-daemon && exec avahi-daemon -f "$1" --no-drop-root --no-chroot --no-rlimits --no-proc-title' \
    sh "$run/avahi.conf" >"$run/avahi.log" 2>&1 &
  echo $! >"$run/avahi.pid"
  wait_for 10 grep -q "Server startup complete" "$run/avahi.log" || fail "avahi-daemon did not start"
fi

# The printer's "print command" keeps the job attributes it was given beside each job file
# (FILE.env), so a test can see what reached the printer.
cat >"$run/print-command" <<'EOF'
#!/bin/sh
env | grep '^IPP_' >"$1.env"
EOF
chmod 755 "$run/print-command"

# The printer: a dye-sub-like colour printer taking JPEG, PNG and PDF as they are, so the queue
# needs no filters. A free port is found by trying.
started=0
for attempt in 1 2 3 4 5 6 7 8; do
  port=$((20000 + (RANDOM * 7 + $$ + attempt * 977) % 40000))
  port_open "$port" && continue
  ippeveprinter -p "$port" -n localhost -d "$dir/jobs" -k -c "$run/print-command" -s 10,10 -M Brisko -m "Test Photo" \
    -f image/jpeg,image/png,application/pdf,image/pwg-raster "$queue-$$-$attempt" >"$run/printer.log" 2>&1 &
  pid=$!
  if wait_for 10 port_open "$port" && alive "$pid"; then
    echo "$pid" >"$run/printer.pid"
    started=1
    break
  fi
  kill "$pid" 2>/dev/null || true
  sleep 0.5
done
[ $started = 1 ] || fail "ippeveprinter did not start"
printer_uri=ipp://127.0.0.1:$port/ipp/print

user=lp group=lp
if [ "$(id -u)" != 0 ]; then
  user=$(id -un) group=$(id -gn)
fi
getent passwd "$user" >/dev/null || user=nobody
getent group "$group" >/dev/null || group=nogroup
c=$dir/cups
cat >"$c/cupsd.conf" <<EOF
Listen $sock/cups.sock
LogLevel ${BRISKO_CUPS_LOGLEVEL:-info}
Browsing No
WebInterface No
DefaultAuthType None
PreserveJobHistory Yes
PreserveJobFiles No
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
cat >"$c/cups-files.conf" <<EOF
User $user
Group $group
SystemGroup root $(id -gn)
ServerRoot $sock/root
RequestRoot $sock/spool
TempDir $sock/spool/tmp
CacheDir $c/cache
StateDir $c/state
ErrorLog $c/log/error_log
AccessLog $c/log/access_log
PageLog $c/log/page_log
EOF
if [ "${BRISKO_CUPS_SYSTEM_FILTERS:-0}" != 1 ]; then
  # CUPS's own data, but of the type conversions only its own mime.types and mime.convs.
  data=$c/data
  mkdir -p "$data/mime"
  for entry in /usr/share/cups/*; do
    [ "$(basename "$entry")" = mime ] || ln -sfn "$entry" "$data/"
  done
  for f in mime.types mime.convs; do
    [ -e "/usr/share/cups/mime/$f" ] && ln -sfn "/usr/share/cups/mime/$f" "$data/mime/$f"
  done
  echo "DataDir $data" >>"$c/cups-files.conf"
fi
export CUPS_SERVER=$sock/cups.sock
cupsd -f -c "$c/cupsd.conf" -s "$c/cups-files.conf" >"$run/cupsd.log" 2>&1 &
echo $! >"$run/cupsd.pid"
wait_for 10 test -S "$CUPS_SERVER" || fail "cupsd did not start"
# cupsd writes the queue's PPD from the printer's own answer, in the background.
lpadmin -p "$queue" -E -v "$printer_uri" -m everywhere >"$run/lpadmin.log" 2>&1 || fail "lpadmin failed"
wait_for 15 test -s "$sock/root/ppd/$queue.ppd" || fail "no PPD for $queue"

cat >"$dir/env" <<EOF
CUPS_SERVER=$CUPS_SERVER
QUEUE=$queue
PRINTER_URI=$printer_uri
PRINTER_PORT=$port
PRINTER_WEB=http://127.0.0.1:$port
JOBS_DIR=$dir/jobs
EOF

if [ -n "$owner" ]; then
  # Detached from our output, so a caller reading it is not held until the watchdog ends.
  (
    while kill -0 "$owner" 2>/dev/null && [ -f "$run/cupsd.pid" ]; do sleep 1; done
    stop_sandbox "$dir"
  ) </dev/null >/dev/null 2>&1 &
  echo $! >"$run/watchdog.pid"
fi
