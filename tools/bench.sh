#!/usr/bin/env bash
# End-to-end benchmark of the station as shipped: the real brisko-workflow binary (--run-once,
# --headless for the idle row) against a peer tool doing the same work, run alternately in the
# same rounds, and one table of medians, ratios (ours / peer) and the station's peak memory.
#
#   tools/bench.sh [--quick] [--rounds N] [--build DIR] [--dir SCRATCH] [--only ROW,...]
#                  [--album-photos N]
#
# --quick: small sizes and one round (about a minute plus the build). --build DIR takes an
# existing build folder (its bin/ or top holding brisko-workflow); without it a Release build
# is made in build/bench. --dir: where the scratch folder goes (default $TMPDIR or /var/tmp);
# it is removed at the end. --only: a comma list of row keys (idle tag copy-small move
# copy-large copy-check rotate compose plt-rss camera print shots upload idle-big copy-big album). Peer tools (exiv2, ImageMagick,
# jpegtran, strace) are installed when missing. Absolute times on a shared machine are noise: read
# the ratios, and beside them the system calls per file and the time spent in them (strace -c -f
# of one extra run of each side, outside the timed rounds), which do not swing with the disk.
# The small-copy row drops the page cache and flushes the disk before every round of either
# side (as root, or through sudo -n), then loads both programs once; where dropping is not
# permitted it says so and only flushes.
# The rows over 200,000 photos (idle-big, copy-big) need about 2 GB of disk and some minutes;
# they run only when asked for with --only. The album row (100 templates over 1,000 photos,
# 100,000 pages: hours) takes --album-photos N to run over fewer photos.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
rounds=""
build=""
base="${TMPDIR:-/var/tmp}"
only=""
album_photos=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --rounds) rounds=$2; shift ;;
    --build) build=$2; shift ;;
    --dir) base=$2; shift ;;
    --only) only=",$2,"; shift ;;
    --album-photos) album_photos=$2; shift ;;
    -h | --help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$quick" = 1 ]; then
  : "${rounds:=1}"
  n_idle=2000 idle_from=8 idle_to=14 n_tag=69 n_small=500 n_move=1000 n_large=60 n_rotate=12 n_compose=2
  n_plt=2 n_camera=40 n_print=10 n_shots=100 n_upload=30
else
  : "${rounds:=3}"
  n_idle=20000 idle_from=8 idle_to=28 n_tag=690 n_small=5000 n_move=10000 n_large=600 n_rotate=60
  n_upload=300
  n_compose=12 n_plt=100 n_camera=200 n_print=50 n_shots=500  # the album row alone renders 1000 pages: minutes on a busy machine
fi
n_big=200000 big_folders=200
if [ "$quick" = 1 ]; then n_big=20000 big_folders=20; fi
wanted() { [ -z "$only" ] || [[ "$only" == *",$1,"* ]]; }
# Rows that only run when named.
asked() { [[ "$only" == *",$1,"* ]]; }

# --- Tools and the build ------------------------------------------------------------------------

need=()
command -v exiv2 >/dev/null || need+=(exiv2)
# A stand-in `convert` may sit earlier on PATH; the real one comes with the package.
[ -x /usr/bin/convert ] || need+=(imagemagick)
command -v jpegtran >/dev/null || need+=(libjpeg-turbo-progs)
command -v strace >/dev/null || need+=(strace)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  echo "Installing: ${need[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
convert=/usr/bin/convert

if [ -z "$build" ]; then
  build=build/bench
  bash tools/setup.sh
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRISKO_TESTS=OFF -DBRISKO_BENCH=ON "${launcher[@]}" >/dev/null
  cmake --build "$build" --target brisko-workflow print_bench -j "$(nproc)"
fi
station=""
for c in "$build/brisko-workflow" "$build/bin/brisko-workflow"; do
  [ -x "$c" ] && station=$(realpath "$c")
done
[ -n "$station" ] || { echo "bench.sh: no brisko-workflow in $build" >&2; exit 1; }

scratch=$(mktemp -d "$base/brisko-bench.XXXXXX")
idle_pid=""
cleanup() {
  if [ -n "$idle_pid" ]; then kill "$idle_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
echo "station: $station"
echo "scratch: $scratch   rounds: $rounds   load: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- Helpers ------------------------------------------------------------------------------------

# The environment every station run gets: its own config, state and runtime folders.
station_vars=(env -u DISPLAY -u WAYLAND_DISPLAY XDG_CONFIG_HOME="$scratch/xdg/config"
  XDG_STATE_HOME="$scratch/xdg/state" XDG_RUNTIME_DIR="$scratch/xdg/run")
station_env() { "${station_vars[@]}" "$@"; }
mkdir -p "$scratch/xdg/config" "$scratch/xdg/state" "$scratch/xdg/run"
chmod 700 "$scratch/xdg/run"

xml_escape() {
  local s=$1
  s=${s//&/&amp;}
  s=${s//</&lt;}
  s=${s//\"/&quot;}
  printf '%s' "$s"
}

# make_store STORE NAME=VALUE...: a store holding one action made of the given values (an
# integer value is stored as a number), restored from a generated backup.
make_store() {
  local store=$1
  shift
  local backup="$store.BriskoWorkflowBackup" kv name value
  {
    printf '<?xml version="1.0" encoding="UTF-8"?>\r\n'
    printf '<k name="HKEY_LOCAL_MACHINE"><k name="SOFTWARE"><k name="Brisko Pty Ltd"><k name="BriskoFileWorkflow">\r\n'
    printf '<k name="Actions"><v name="NumActions" value="0x00000001 (1)" type="REG_DWORD"/></k>\r\n'
    printf '<k name="Settings"><v name="m_TempPath" value="%s"/></k>\r\n' "$(xml_escape "$scratch/temp/")"
    printf '<k name="Action_0">\r\n'
    for kv in "$@"; do
      name=${kv%%=*}
      value=${kv#*=}
      if [[ "$value" =~ ^[0-9]+$ ]]; then
        printf '<v name="%s" value="0x%08x (%d)" type="REG_DWORD"/>\r\n' "$name" "$value" "$value"
      else
        printf '<v name="%s" value="%s"/>\r\n' "$name" "$(xml_escape "$value")"
      fi
    done
    printf '</k></k></k></k></k>\r\n'
  } >"$backup"
  rm -f "$store"
  station_env "$station" --store "$store" --restore "$backup" >/dev/null
}

rss_file="$scratch/rss"
# ours STORE: one --run-once of the station; prints its seconds; its peak memory (KiB) goes to
# $rss_file. The log goes to $scratch/last.log.
ours() {
  local t0=$EPOCHREALTIME
  station_env /usr/bin/time -f %M -o "$rss_file" "$station" --store "$1" --run-once >"$scratch/last.log" 2>&1 ||
    { echo "bench.sh: the station failed, see below" >&2; tail -20 "$scratch/last.log" >&2; exit 1; }
  local t1=$EPOCHREALTIME
  echo "$t0 $t1" | awk '{printf "%.4f\n", $2 - $1}'
}
# timed CMD...: the seconds a shell command takes.
timed() {
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  local t1=$EPOCHREALTIME
  echo "$t0 $t1" | awk '{printf "%.4f\n", $2 - $1}'
}
median() { tr ' ' '\n' | awk 'NF' | sort -g | awk '{a[NR]=$1} END {if (NR) print (NR % 2 ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2); else print ""}'; }
max_of() { tr ' ' '\n' | awk 'NF' | sort -g | tail -1; }

# drop_caches: a cold start for the next round: the disk flushed and, where permitted, the page
# cache dropped, so that a round does not inherit the last one's write-back.
cache_note=""
drop_caches() {
  sync
  if [ -w /proc/sys/vm/drop_caches ]; then
    echo 3 >/proc/sys/vm/drop_caches
  elif sudo -n true 2>/dev/null; then
    sudo -n sh -c 'echo 3 >/proc/sys/vm/drop_caches'
  else
    cache_note="page cache not dropped (needs root or sudo -n): rounds after a flush only"
  fi
  # The programs themselves are loaded again, for both sides: the rounds time the photos' data
  # coming from the disk, not the station's libraries.
  station_env "$station" --version >/dev/null 2>&1 || true
  cp --version >/dev/null
}

# calls FILES CMD...: one untimed run of CMD under strace -c -f; prints "calls per file /
# milliseconds in calls per 1000 files".
calls() {
  local files=$1
  shift
  local out="$scratch/strace.txt"
  strace -f -c -o "$out" "$@" >/dev/null 2>&1 || true
  awk -v n="$files" '/ total$/ {c = $4; s = $2} END {if (n > 0 && c > 0) printf "%.1f / %.0f ms", c / n, s * 1000 / n * 1000; else print "-"}' "$out"
}

rows=()
# add_row LABEL OURS_TIMES PEER_TIMES RSS_KIB GOAL [OURS_CALLS PEER_CALLS]
add_row() {
  local label=$1 o p ratio rss
  o=$(echo "$2" | median)
  p=$(echo "$3" | median)
  ratio=$(awk -v o="$o" -v p="$p" 'BEGIN {if (p > 0) printf "%.2f", o / p; else print "-"}')
  rss=$(echo "$4" | max_of)
  rss=$(awk -v k="$rss" 'BEGIN {if (k > 0) printf "%.0f", k / 1024; else print "-"}')
  rows+=("$label|$o|${p:--}|$ratio|$rss|$5|${6:--}|${7:--}")
  printf '  %s: ours %s s, peer %s s, ratio %s, peak %s MiB, calls/file (ms per 1000 files) ours %s, peer %s\n' \
    "$label" "$o" "${p:--}" "$ratio" "$rss" "${6:--}" "${7:--}"
}

# Synthetic files of a given size, IMG_00000.jpg onwards (one process makes them all).
make_files() {
  local folder=$1 count=$2 kib=$3
  mkdir -p "$folder"
  head -c $((count * kib * 1024)) /dev/urandom | split -b $((kib * 1024)) -d -a 5 --additional-suffix=.jpg - "$folder/IMG_"
}

# The camera JPEGs: the project's and the shared set, damaged ones left out.
mapfile -t camera < <(find "$root/tests/data/jpeg" "$root/../shared/testdata/jpeg" -type f \
  \( -iname '*.jpg' -o -iname '*.jpeg' \) -not -path '*/broken/*' 2>/dev/null | sort)
[ ${#camera[@]} -gt 0 ] || { echo "bench.sh: no camera JPEGs found" >&2; exit 1; }
# replicate FOLDER COUNT FILES...: COUNT copies of the files, round robin.
replicate() {
  local folder=$1 count=$2
  shift 2
  local files=("$@") i
  mkdir -p "$folder"
  for ((i = 0; i < count; i++)); do
    printf -v name '%s/IMG_%05d.jpg' "$folder" "$i"
    cp -p "${files[i % ${#files[@]}]}" "$name"
  done
}
fresh() { rm -rf "$1" && mkdir -p "$1"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

mkdir -p "$scratch/temp"

# --- Idle ---------------------------------------------------------------------------------------

if wanted idle; then
  echo "idle: headless Copy Files over $n_idle copied files, CPU $idle_from-$idle_to s after start"
  make_files "$scratch/idle/hot" "$n_idle" 4
  mkdir -p "$scratch/idle/archive"
  cp -p "$scratch/idle/hot/." "$scratch/idle/archive/" -r
  make_store "$scratch/idle/store.db" m_iType=2 m_strName=Idle "m_strSourceFolder=$scratch/idle/hot/" \
    "m_strDestFolder=$scratch/idle/archive/" "m_strFileSpec=*.jpg"
  shares=() rss_all=()
  hz=$(getconf CLK_TCK)
  for ((r = 0; r < rounds; r++)); do
    # Started directly (not through a function) so that $! is the station itself.
    "${station_vars[@]}" "$station" --headless --store "$scratch/idle/store.db" >"$scratch/idle.log" 2>&1 &
    idle_pid=$!
    sleep "$idle_from"
    a=$(cpu_ticks "$idle_pid")
    t0=$EPOCHREALTIME
    sleep $((idle_to - idle_from))
    b=$(cpu_ticks "$idle_pid")
    t1=$EPOCHREALTIME
    rss_all+=("$(awk '/VmHWM/ {print $2}' "/proc/$idle_pid/status")")
    kill -TERM "$idle_pid"
    wait "$idle_pid" || true
    idle_pid=""
    shares+=("$(awk -v a="$a" -v b="$b" -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {printf "%.4f", (b - a) / hz / (t1 - t0) * 100}')")
  done
  add_row "Idle --headless, Copy Files over $n_idle copied files: % of a core" "${shares[*]}" "" "${rss_all[*]}" \
    "<= 1%"
  rows[-1]=$(echo "${rows[-1]}" | awk -F'|' -v OFS='|' '{$4 = $2 "%"; print}')
  rm -rf "$scratch/idle"
fi

# --- 200,000 photos: the first copy pass and the idle station over them -------------------------

# The tree: $n_big photos of 4 KB in $big_folders folders.
if asked copy-big || asked idle-big; then
  echo "big: $n_big photos in $big_folders folders"
  per=$((n_big / big_folders))
  for ((d = 0; d < big_folders; d++)); do
    printf -v folder '%s/big/hot/d%03d' "$scratch" "$d"
    make_files "$folder" "$per" 4
  done
  make_store "$scratch/big.db" m_iType=6 m_strName=Big "m_strSourceFolder=$scratch/big/hot/" \
    "m_strDestFolder=$scratch/big/out/" "m_strFileSpec=*.jpg"
fi

if asked copy-big; then
  echo "copy-big: first Copy Subfolders pass over $n_big photos"
  # The calls per photo come from a sample of the same shape (ten folders of the same size, an
  # action of its own): strace over the whole tree would take longer than the timed rounds.
  n_big_sample=$((per * 10 < n_big ? per * 10 : n_big))
  for ((d = 0; d < n_big_sample / per; d++)); do
    printf -v folder '%s/big/sample/d%03d' "$scratch" "$d"
    make_files "$folder" "$per" 4
  done
  make_store "$scratch/big-sample.db" m_iType=6 m_strName=BigSample "m_strSourceFolder=$scratch/big/sample/" \
    "m_strDestFolder=$scratch/big/out/" "m_strFileSpec=*.jpg"
  fresh "$scratch/big/out"
  oc=$(calls "$n_big_sample" "${station_vars[@]}" "$station" --store "$scratch/big-sample.db" --run-once)
  fresh "$scratch/big/out"
  pc=$(calls "$n_big_sample" sh -c "cp -p -r '$scratch/big/sample/.' '$scratch/big/out/' && sync")
  rm -rf "$scratch/big/sample"
  o=() p=() rss_all=()
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/big/out"
    drop_caches
    t=$(ours "$scratch/big.db")
    o+=("$(awk -v a="$t" -v b="$(timed sync)" 'BEGIN {printf "%.4f", a + b}')")
    rss_all+=("$(cat "$rss_file")")
    [ "$(find "$scratch/big/out" -type f | wc -l)" = "$n_big" ] || echo "  warning: $(find "$scratch/big/out" -type f | wc -l) of $n_big copied"
    fresh "$scratch/big/out"
    drop_caches
    p+=("$(timed sh -c "cp -p -r '$scratch/big/hot/.' '$scratch/big/out/' && sync")")
  done
  add_row "First pass over $n_big photos in $big_folders folders (Copy Subfolders) / cp -p -r + sync; calls over $n_big_sample" \
    "${o[*]}" "${p[*]}" "${rss_all[*]}" "<= 1.5" "$oc" "$pc"
fi

if asked idle-big; then
  echo "idle-big: headless Copy Subfolders over $n_big copied photos"
  [ "$(find "$scratch/big/out" -type f 2>/dev/null | wc -l)" = "$n_big" ] || { fresh "$scratch/big/out" && cp -p -r "$scratch/big/hot/." "$scratch/big/out/"; }
  shares=() rss_all=() watches=0
  hz=$(getconf CLK_TCK)
  for ((r = 0; r < rounds; r++)); do
    "${station_vars[@]}" "$station" --headless --store "$scratch/big.db" >"$scratch/idle.log" 2>&1 &
    idle_pid=$!
    # The first pass reads every folder and looks at every copy: measured once it is over
    # (less than a fifth of a core over two seconds).
    sleep 8
    a=$(cpu_ticks "$idle_pid")
    while sleep 2; do
      b=$(cpu_ticks "$idle_pid")
      [ $((b - a)) -lt $((hz * 2 / 5)) ] && break
      a=$b
    done
    a=$(cpu_ticks "$idle_pid")
    t0=$EPOCHREALTIME
    sleep 30
    b=$(cpu_ticks "$idle_pid")
    t1=$EPOCHREALTIME
    rss_all+=("$(awk '/VmHWM/ {print $2}' "/proc/$idle_pid/status")")
    watches=$(cat /proc/"$idle_pid"/fdinfo/* 2>/dev/null | grep -c '^inotify wd:' || true)
    kill -TERM "$idle_pid"
    wait "$idle_pid" || true
    idle_pid=""
    shares+=("$(awk -v a="$a" -v b="$b" -v hz="$hz" -v t0="$t0" -v t1="$t1" 'BEGIN {printf "%.4f", (b - a) / hz / (t1 - t0) * 100}')")
  done
  add_row "Idle --headless, Copy Subfolders over $n_big copied photos: % of a core ($watches watches)" \
    "${shares[*]}" "" "${rss_all[*]}" "<= 1%, < 200 MB"
  rows[-1]=$(echo "${rows[-1]}" | awk -F'|' -v OFS='|' '{$4 = $2 "%"; print}')
fi
rm -rf "${scratch:?}/big"

# --- Tagging: Move Files + BriskoExif against exiv2 in place -------------------------------------

if wanted tag; then
  echo "tag: $n_tag camera JPEGs"
  make_store "$scratch/tag.db" m_iType=1 m_strName=Tag "m_strSourceFolder=$scratch/tag/in/" \
    "m_strDestFolder=$scratch/tag/out/" "m_strFileSpec=*.jpg" m_bAddOrUpdateBriskoExif=1
  o=() p=() rss_all=()
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/tag"
    replicate "$scratch/tag/in" "$n_tag" "${camera[@]}"
    mkdir -p "$scratch/tag/out"
    sync
    o+=("$(ours "$scratch/tag.db")")
    rss_all+=("$(cat "$rss_file")")
    fresh "$scratch/tag"
    replicate "$scratch/tag/in" "$n_tag" "${camera[@]}"
    sync
    p+=("$(timed sh -c "exiv2 -q -M'set Exif.Photo.UserComment charset=Ascii BriskoExif:m_origFilename=bench|' mo '$scratch'/tag/in/*.jpg")")
  done
  fresh "$scratch/tag"
  replicate "$scratch/tag/in" "$n_tag" "${camera[@]}"
  mkdir -p "$scratch/tag/out"
  oc=$(calls "$n_tag" "${station_vars[@]}" "$station" --store "$scratch/tag.db" --run-once)
  fresh "$scratch/tag"
  replicate "$scratch/tag/in" "$n_tag" "${camera[@]}"
  pc=$(calls "$n_tag" sh -c "exiv2 -q -M'set Exif.Photo.UserComment charset=Ascii BriskoExif:m_origFilename=bench|' mo '$scratch'/tag/in/*.jpg")
  add_row "BriskoExif tag $n_tag camera JPEGs (Move Files) / exiv2 in place" "${o[*]}" "${p[*]}" "${rss_all[*]}" \
    "<= 0.9" "$oc" "$pc"
  rm -rf "$scratch/tag"
fi

# --- Copies: Copy Files against cp -p and sync ---------------------------------------------------

copy_row() {
  local key=$1 count=$2 kib=$3 goal=$4 cold=${5:-0}
  echo "$key: copy $count x $kib KB"
  make_files "$scratch/$key/in" "$count" "$kib"
  make_store "$scratch/$key.db" m_iType=2 m_strName=Copy "m_strSourceFolder=$scratch/$key/in/" \
    "m_strDestFolder=$scratch/$key/out/" "m_strFileSpec=*.jpg"
  local o=() p=() rss_all=() t oc pc
  fresh "$scratch/$key/out"
  oc=$(calls "$count" "${station_vars[@]}" "$station" --store "$scratch/$key.db" --run-once)
  fresh "$scratch/$key/out"
  pc=$(calls "$count" sh -c "cp -p '$scratch/$key/in'/* '$scratch/$key/out/' && sync")
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/$key/out"
    if [ "$cold" = 1 ]; then drop_caches; else sync; fi
    t=$(ours "$scratch/$key.db")
    o+=("$(awk -v a="$t" -v b="$(timed sync)" 'BEGIN {printf "%.4f", a + b}')")
    rss_all+=("$(cat "$rss_file")")
    [ "$(ls "$scratch/$key/out" | wc -l)" = "$count" ] || echo "  warning: $(ls "$scratch/$key/out" | wc -l) of $count copied"
    fresh "$scratch/$key/out"
    if [ "$cold" = 1 ]; then drop_caches; else sync; fi
    p+=("$(timed sh -c "cp -p '$scratch/$key/in'/* '$scratch/$key/out/' && sync")")
  done
  local mib=$((kib >= 1024 ? kib / 1024 : 0))
  local size=$([ "$mib" -gt 0 ] && echo "$mib MB" || echo "$kib KB")
  add_row "Copy $count x $size (Copy Files) / cp -p + sync$([ "$cold" = 1 ] && echo ", cold rounds")" "${o[*]}" \
    "${p[*]}" "${rss_all[*]}" "$goal" "$oc" "$pc"
  rm -rf "${scratch:?}/$key"
}
if wanted copy-small; then copy_row copy-small "$n_small" 64 "<= 1.2" 1; fi

# --- Camera: Copy Files from a Directory Browse camera against gphoto2 --get-all-files ------------

if wanted camera; then
  echo "camera: download $n_camera x 5 MB from a Directory Browse camera"
  command -v gphoto2 >/dev/null || { echo "bench.sh: gphoto2 is not installed (tools/setup.sh)" >&2; exit 1; }
  make_files "$scratch/camera/cam/DCIM/100BENCH" "$n_camera" 5120
  make_store "$scratch/camera.db" m_iType=2 m_strName=Camera "m_strSourceFolder=camera:disk:$scratch/camera/cam" \
    "m_strDestFolder=$scratch/camera/out/" "m_strFileSpec=*.jpg" m_bIncludeSubFolders=1
  o=() p=() rss_all=()
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/camera/out"
    sync
    t=$(ours "$scratch/camera.db")
    o+=("$(awk -v a="$t" -v b="$(timed sync)" 'BEGIN {printf "%.4f", a + b}')")
    rss_all+=("$(cat "$rss_file")")
    # The camera's folders below the source are kept (DCIM/100BENCH/...), so count files.
    [ "$(find "$scratch/camera/out" -type f | wc -l)" = "$n_camera" ] || echo "  warning: $(find "$scratch/camera/out" -type f | wc -l) of $n_camera copied"
    fresh "$scratch/camera/out"
    sync
    p+=("$(timed sh -c "cd '$scratch/camera/out' && gphoto2 --camera 'Directory Browse' --port 'disk:$scratch/camera/cam' --get-all-files && sync")")
    [ "$(find "$scratch/camera/out" -type f | wc -l)" = "$n_camera" ] || echo "  warning: gphoto2 fetched $(find "$scratch/camera/out" -type f | wc -l) of $n_camera"
  done
  add_row "Download $n_camera x 5 MB from a camera (Copy Files, Directory Browse) / gphoto2 --get-all-files + sync" \
    "${o[*]}" "${p[*]}" "${rss_all[*]}" "<= 1.3"
  rm -rf "$scratch/camera"
fi

# --- Moves on one file system against find -exec mv -t -------------------------------------------

if wanted move; then
  echo "move: $n_move files on one file system"
  make_files "$scratch/move/a" "$n_move" 4
  mkdir -p "$scratch/move/b"
  make_store "$scratch/move.db" m_iType=1 m_strName=Move "m_strSourceFolder=$scratch/move/a/" \
    "m_strDestFolder=$scratch/move/b/" "m_strFileSpec=*.jpg"
  o=() p=() rss_all=()
  back() { find "$scratch/move/b" -type f -exec mv -t "$scratch/move/a" {} +; }
  oc=$(calls "$n_move" "${station_vars[@]}" "$station" --store "$scratch/move.db" --run-once)
  back
  pc=$(calls "$n_move" find "$scratch/move/a" -type f -exec mv -t "$scratch/move/b" {} +)
  back
  for ((r = 0; r < rounds; r++)); do
    sync
    o+=("$(ours "$scratch/move.db")")
    rss_all+=("$(cat "$rss_file")")
    [ "$(ls "$scratch/move/b" | wc -l)" = "$n_move" ] || echo "  warning: $(ls "$scratch/move/b" | wc -l) of $n_move moved"
    back
    sync
    p+=("$(timed find "$scratch/move/a" -type f -exec mv -t "$scratch/move/b" {} +)")
    back
  done
  add_row "Move $n_move files, one file system (Move Files) / find -exec mv -t" "${o[*]}" "${p[*]}" \
    "${rss_all[*]}" "<= 1.5" "$oc" "$pc"
  rm -rf "$scratch/move"
fi

# --- Shots: RAW+JPEG pairs renamed with a counter against a shell loop of mv ----------------------

# make_shots FOLDER COUNT: COUNT shots IMG_nnnnn.JPG (4 KiB) + .CR2 (8 KiB), every fifth with an
# .xmp sidecar.
make_shots() {
  local folder=$1 count=$2 i
  make_files "$folder" "$count" 4
  for ((i = 0; i < count; i++)); do
    printf -v b '%s/IMG_%05d' "$folder" "$i"
    mv "$b.jpg" "$b.JPG"
  done
  head -c $((count * 8192)) /dev/urandom | split -b 8192 -d -a 5 --additional-suffix=.CR2 - "$folder/IMG_"
  for ((i = 0; i < count; i += 5)); do printf -v b '%s/IMG_%05d.xmp' "$folder" "$i"; echo '<x:xmpmeta xmlns:x="adobe:ns:meta/"/>' >"$b"; done
}
# The peer: the same renames (one counter value per shot, each file keeping its extension).
peer_shots() {
  local a=$1 b=$2 n=0 j f base nb
  cd "$a"
  for j in *.JPG; do
    base=${j%.JPG}
    n=$((n + 1))
    printf -v nb '%06d' "$n"
    for f in "$base".*; do mv "$f" "$b/$nb${f#"$base"}"; done
  done
  cd "$root"
}

if wanted shots; then
  n_files=$((n_shots * 2 + n_shots / 5))
  echo "shots: $n_shots RAW+JPEG shots ($n_files files) renamed with a counter, one file system"
  make_store "$scratch/shots.db" m_iType=1 m_strName=Shots "m_strSourceFolder=$scratch/shots/a/" \
    "m_strDestFolder=$scratch/shots/b/" "m_strFileSpec=*.*" m_bKeepShotsTogether=1 m_bRenameFile=1 \
    m_ComponentArray_count=2 m_ComponentArray_0=4 m_ComponentArray_1=2
  o=() p=() rss_all=()
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/shots"
    make_shots "$scratch/shots/a" "$n_shots"
    mkdir -p "$scratch/shots/b"
    sync
    o+=("$(ours "$scratch/shots.db")")
    rss_all+=("$(cat "$rss_file")")
    [ "$(ls "$scratch/shots/b" | wc -l)" = "$n_files" ] || echo "  warning: $(ls "$scratch/shots/b" | wc -l) of $n_files moved"
    fresh "$scratch/shots"
    make_shots "$scratch/shots/a" "$n_shots"
    mkdir -p "$scratch/shots/b"
    sync
    p+=("$(timed peer_shots "$scratch/shots/a" "$scratch/shots/b")")
    [ "$(ls "$scratch/shots/b" | wc -l)" = "$n_files" ] || echo "  warning: the peer moved $(ls "$scratch/shots/b" | wc -l) of $n_files"
  done
  fresh "$scratch/shots"
  make_shots "$scratch/shots/a" "$n_shots"
  mkdir -p "$scratch/shots/b"
  oc=$(calls "$n_files" "${station_vars[@]}" "$station" --store "$scratch/shots.db" --run-once)
  fresh "$scratch/shots"
  make_shots "$scratch/shots/a" "$n_shots"
  mkdir -p "$scratch/shots/b"
  pc=$(calls "$n_files" bash -c "$(declare -f peer_shots); root='$root'; peer_shots '$scratch/shots/a' '$scratch/shots/b'")
  add_row "Move $n_shots RAW+JPEG shots with a counter rename (Move Files, shots) / shell loop of mv" \
    "${o[*]}" "${p[*]}" "${rss_all[*]}" "<= 1.5" "$oc" "$pc"
  rm -rf "$scratch/shots"
fi

if wanted copy-large; then copy_row copy-large "$n_large" 3072 "<= 0.5"; fi

# --- Checked copies: Copy Files with checks against cp -p, sync and xxhsum of both sides ----------

if wanted copy-check; then
  key=copy-check
  echo "$key: copy $n_large x 3 MB, each copy read back from the disk and compared"
  make_files "$scratch/$key/in" "$n_large" 3072
  make_store "$scratch/$key.db" m_iType=2 m_strName=Copy "m_strSourceFolder=$scratch/$key/in/" \
    "m_strDestFolder=$scratch/$key/out/" "m_strFileSpec=*.jpg" m_bVerifyCopies=1
  # The peer: copy, flush, hash the sources (XXH3-128) and check the copies against them.
  peer_check="cp -p '$scratch/$key/in'/* '$scratch/$key/out/' && sync && cd '$scratch/$key/in' &&
    xxhsum -H2 -- * >'$scratch/$key.sums' && cd '$scratch/$key/out' && xxhsum --quiet -c '$scratch/$key.sums'"
  o=() p=() rss_all=()
  fresh "$scratch/$key/out"
  oc=$(calls "$n_large" "${station_vars[@]}" "$station" --store "$scratch/$key.db" --run-once)
  fresh "$scratch/$key/out"
  pc=$(calls "$n_large" sh -c "$peer_check")
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/$key/out"
    sync
    t=$(ours "$scratch/$key.db")
    o+=("$(awk -v a="$t" -v b="$(timed sync)" 'BEGIN {printf "%.4f", a + b}')")
    rss_all+=("$(cat "$rss_file")")
    checked=$(grep -c ' (checked)$' "$scratch/last.log" || true)
    [ "$checked" = "$n_large" ] || echo "  warning: $checked of $n_large copies checked"
    fresh "$scratch/$key/out"
    sync
    p+=("$(timed sh -c "$peer_check")")
  done
  add_row "Copy $n_large x 3 MB checked (Copy Files, read back and compared) / cp -p + sync + xxhsum -c" \
    "${o[*]}" "${p[*]}" "${rss_all[*]}" "<= 1.0" "$oc" "$pc"
  rm -rf "${scratch:?}/$key" "$scratch/$key.sums"
fi

# --- Lossless rotation against jpegtran -trim ----------------------------------------------------

if wanted rotate; then
  echo "rotate: $n_rotate x 3 MP, orientation 6"
  mkdir -p "$scratch/rot"
  # A camera file scaled to 3 MP keeps its EXIF block; orientation 6 asks for a quarter turn.
  "$convert" "${camera[0]}" -resize '2048x1536!' -quality 92 "$scratch/rot/photo.jpg"
  exiv2 -q -M'set Exif.Image.Orientation 6' mo "$scratch/rot/photo.jpg"
  make_store "$scratch/rot.db" m_iType=1 m_strName=Rotate "m_strSourceFolder=$scratch/rot/in/" \
    "m_strDestFolder=$scratch/rot/out/" "m_strFileSpec=*.jpg" m_bAutoRotateJPG=1
  o=() p=() rss_all=()
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/rot/in" && fresh "$scratch/rot/out"
    replicate "$scratch/rot/in" "$n_rotate" "$scratch/rot/photo.jpg"
    sync
    o+=("$(ours "$scratch/rot.db")")
    rss_all+=("$(cat "$rss_file")")
    fresh "$scratch/rot/in" && fresh "$scratch/rot/out"
    replicate "$scratch/rot/in" "$n_rotate" "$scratch/rot/photo.jpg"
    sync
    p+=("$(timed sh -c "for f in '$scratch/rot/in'/*.jpg; do jpegtran -rotate 90 -trim -copy all -outfile '$scratch/rot/out/'\${f##*/} \"\$f\"; done")")
  done
  fresh "$scratch/rot/in" && fresh "$scratch/rot/out"
  replicate "$scratch/rot/in" "$n_rotate" "$scratch/rot/photo.jpg"
  oc=$(calls "$n_rotate" "${station_vars[@]}" "$station" --store "$scratch/rot.db" --run-once)
  fresh "$scratch/rot/in" && fresh "$scratch/rot/out"
  replicate "$scratch/rot/in" "$n_rotate" "$scratch/rot/photo.jpg"
  pc=$(calls "$n_rotate" sh -c "for f in '$scratch/rot/in'/*.jpg; do jpegtran -rotate 90 -trim -copy all -outfile '$scratch/rot/out/'\${f##*/} \"\$f\"; done")
  add_row "Lossless rotate $n_rotate x 3 MP (Move Files) / jpegtran -trim" "${o[*]}" "${p[*]}" "${rss_all[*]}" \
    "<= 0.85" "$oc" "$pc"
  rm -rf "$scratch/rot"
fi

# --- Create Image with PLT ------------------------------------------------------------------------

# album_xml TEMPLATES: an album of page templates with one photo hole, an overlay and a caption.
album_xml() {
  local n=$1 i rect
  rect() {
    printf '<%s><m_fCropHeightPercentage>%s</m_fCropHeightPercentage><m_fCropWidthPercentage>%s</m_fCropWidthPercentage><m_fCropXOffsetPercentage>%s</m_fCropXOffsetPercentage><m_fCropYOffsetPercentage>%s</m_fCropYOffsetPercentage></%s>' \
      "$1" "$5" "$4" "$2" "$3" "$1"
  }
  printf '<?xml version="1.0" encoding="UTF-8"?><ALBUM><VERSION>1</VERSION><ALBUMID>1</ALBUMID><ALBUM_NAME>Bench</ALBUM_NAME><TEMPLATES><NUMTEMPLATES>%d</NUMTEMPLATES>' "$n"
  for ((i = 0; i < n; i++)); do
    printf '<TEMPLATE_%d><TEMPLATE_VERSION>1</TEMPLATE_VERSION><NAME>Bench %d</NAME><CATEGORY>Bench</CATEGORY><ARTIST>Bench</ARTIST><USESINGLEPHOTOIMAGE>0</USESINGLEPHOTOIMAGE><ORIG_CX>3000</ORIG_CX><ORIG_CY>2000</ORIG_CY><APPVERSION>1</APPVERSION><THUMBNAIL_IMAGEOFFSET></THUMBNAIL_IMAGEOFFSET><NUMPHOTORECTS>1</NUMPHOTORECTS>' "$i" "$i"
    rect PHOTORECT_0 0.25 0.2 0.5 0.6
    printf '<NUMPHOTOPREVIEWRECTS>1</NUMPHOTOPREVIEWRECTS>'
    rect PHOTOPREVIEWRECT_0 0 0 0 0
    printf '<NUMTRANSSETTINGS>0</NUMTRANSSETTINGS><NUMCAPTIONS>1</NUMCAPTIONS><CAPTION_0><m_iCaptionType>0</m_iCaptionType><m_iPictureHoleIndex>0</m_iPictureHoleIndex><m_strCaption>Bench caption</m_strCaption><m_iHorizAlignFlag>1</m_iHorizAlignFlag><m_iVertAlignFlag>1</m_iVertAlignFlag><m_iFontSize>240</m_iFontSize><m_iFontOpacity>100</m_iFontOpacity><m_bShadow>0</m_bShadow><m_bBold>0</m_bBold><m_bItalic>0</m_bItalic><m_TextRGB>8421504</m_TextRGB><m_strFontFace>Arial</m_strFontFace><m_fCropHeightPercentage>0.1</m_fCropHeightPercentage><m_fCropWidthPercentage>1</m_fCropWidthPercentage><m_fCropXOffsetPercentage>0</m_fCropXOffsetPercentage><m_fCropYOffsetPercentage>0.85</m_fCropYOffsetPercentage></CAPTION_0>'
    printf '<BACKGROUND_IMAGEOFFSET>background.jpg</BACKGROUND_IMAGEOFFSET><OVERLAY_IMAGEOFFSET>overlay.png</OVERLAY_IMAGEOFFSET><NUM_PICTURES>0</NUM_PICTURES></TEMPLATE_%d>' "$i"
  done
  printf '</TEMPLATES></ALBUM>'
}

if wanted compose || wanted plt-rss || asked album; then
  mkdir -p "$scratch/plt"
  # The page, and an overlay: an opaque frame round a transparent window over the hole.
  "$convert" -size 3000x2000 gradient:'#2a3ca0-#b4b4a0' -quality 92 "$scratch/plt/background.jpg"
  "$convert" -size 3000x2000 xc:none -fill '#f5f5f5' -draw 'rectangle 720,370 2280,1630' \
    -fill none -draw 'fill-opacity 0 rectangle 770,420 2230,1580' -alpha on \
    \( -size 1460x1160 xc:black \) -geometry +770+420 -compose DstOut -composite "$scratch/plt/overlay.png"
  album_xml 1 >"$scratch/plt/one.xml"
  album_xml 10 >"$scratch/plt/ten.xml"
  station_env "$station" --plt-pack "$scratch/plt/one.xml" "$scratch/plt/one.plt" >/dev/null
  station_env "$station" --plt-pack "$scratch/plt/ten.xml" "$scratch/plt/ten.plt" >/dev/null
  if asked album; then
    album_xml 100 >"$scratch/plt/hundred.xml"
    station_env "$station" --plt-pack "$scratch/plt/hundred.xml" "$scratch/plt/hundred.plt" >/dev/null
  fi
  # The photos: a camera file scaled up, EXIF block kept, upright.
  "$convert" "${camera[0]}" -resize '6000x4000!' -quality 92 "$scratch/plt/big.jpg"
  exiv2 -q -M'set Exif.Image.Orientation 1' mo "$scratch/plt/big.jpg"
  "$convert" "${camera[0]}" -resize '2048x1536!' -quality 92 "$scratch/plt/small.jpg"
  exiv2 -q -M'set Exif.Image.Orientation 1' mo "$scratch/plt/small.jpg"
fi

if wanted compose; then
  echo "compose: $n_compose x 24 MP into a 3000x2000 page"
  make_store "$scratch/compose.db" m_iType=7 m_strName=Compose "m_strSourceFolder=$scratch/plt/in/" \
    "m_strDestFolder=$scratch/plt/out/" "m_strFileSpec=*.jpg" "m_strBriskoPltFilepath=$scratch/plt/one.plt"
  o=() p=() rss_all=()
  for ((r = 0; r < rounds; r++)); do
    fresh "$scratch/plt/in" && fresh "$scratch/plt/out"
    replicate "$scratch/plt/in" "$n_compose" "$scratch/plt/big.jpg"
    sync
    o+=("$(ours "$scratch/compose.db")")
    rss_all+=("$(cat "$rss_file")")
    [ "$(ls "$scratch/plt/out" | wc -l)" = "$n_compose" ] || echo "  warning: $(ls "$scratch/plt/out" | wc -l) of $n_compose pages"
    fresh "$scratch/plt/out"
    replicate "$scratch/plt/in" "$n_compose" "$scratch/plt/big.jpg"
    sync
    p+=("$(timed sh -c "cd '$scratch/plt' && for f in in/IMG_*.jpg; do $convert background.jpg \\( -define jpeg:size=3000x2400 \"\$f\" -resize 1500x1200^ -gravity center -extent 1500x1200 \\) -gravity NorthWest -geometry +750+400 -composite overlay.png -composite -font Liberation-Sans -pointsize 100 -fill '#808080' -gravity North -annotate +0+1720 'Bench caption' -quality 92 \"out/\${f##*/}\"; done")")
  done
  add_row "Compose $n_compose x 24 MP into a 3000x2000 page (PLT) / ImageMagick" "${o[*]}" "${p[*]}" \
    "${rss_all[*]}" "<= 0.3"
fi

if wanted plt-rss; then
  echo "plt-rss: 10 templates x $n_plt photos"
  make_store "$scratch/plt-rss.db" m_iType=7 m_strName=Album "m_strSourceFolder=$scratch/plt/in/" \
    "m_strDestFolder=$scratch/plt/out/" "m_strFileSpec=*.jpg" "m_strBriskoPltFilepath=$scratch/plt/ten.plt"
  fresh "$scratch/plt/in" && fresh "$scratch/plt/out"
  replicate "$scratch/plt/in" "$n_plt" "$scratch/plt/small.jpg"
  t=$(ours "$scratch/plt-rss.db")
  [ "$(ls "$scratch/plt/out" | wc -l)" = $((n_plt * 10)) ] || echo "  warning: $(ls "$scratch/plt/out" | wc -l) of $((n_plt * 10)) pages"
  add_row "Peak RSS of 10 templates x $n_plt photos (3 MP, PLT)" "$t" "" "$(cat "$rss_file")" "memory"
fi

if asked album; then
  n_album=${album_photos:-$([ "$quick" = 1 ] && echo 10 || echo 1000)}
  echo "album: 100 templates x $n_album photos"
  make_store "$scratch/album.db" m_iType=7 m_strName=Album "m_strSourceFolder=$scratch/plt/in/" \
    "m_strDestFolder=$scratch/plt/out/" "m_strFileSpec=*.jpg" "m_strBriskoPltFilepath=$scratch/plt/hundred.plt"
  fresh "$scratch/plt/in" && fresh "$scratch/plt/out"
  replicate "$scratch/plt/in" "$n_album" "$scratch/plt/small.jpg"
  t=$(ours "$scratch/album.db")
  [ "$(ls "$scratch/plt/out" | wc -l)" = $((n_album * 100)) ] || echo "  warning: $(ls "$scratch/plt/out" | wc -l) of $((n_album * 100)) pages"
  add_row "Peak RSS of 100 templates x $n_album photos (3 MP, PLT)" "$t" "" "$(cat "$rss_file")" "memory"
fi

# --- Printing -----------------------------------------------------------------------------------

if wanted print; then
  echo "print: $n_print pages to an ippeveprinter queue (a private cupsd)"
  print_driver=""
  for c in "$build/print_bench" "$build/bin/print_bench"; do
    [ -x "$c" ] && print_driver=$(realpath "$c")
  done
  if [ -z "$print_driver" ]; then
    echo "  skipped: no print_bench in $build (configure with -DBRISKO_BENCH=ON)"
  elif ! bash tools/cups_sandbox.sh start "$scratch/cups" --owner $$ >"$scratch/cups.log" 2>&1; then
    echo "  skipped: $(tail -1 "$scratch/cups.log")"
  else
    cups_server=$(sed -n 's/^CUPS_SERVER=//p' "$scratch/cups/env")
    q=$(sed -n 's/^QUEUE=//p' "$scratch/cups/env")
    # A composed 4x6 page at 300 dpi.
    "$convert" -size 1200x1800 gradient:'#2a3ca0-#b4b4a0' -font Liberation-Sans -pointsize 90 -fill white \
      -gravity south -annotate +0+120 'Bench page' -quality 92 "$scratch/page.jpg"
    lp_all() {
      local f
      for f in "$scratch/print/in"/*.jpg; do CUPS_SERVER=$cups_server lp -d "$q" -t "${f##*/}" "$f" >/dev/null; done
      while CUPS_SERVER=$cups_server lpstat -o "$q" 2>/dev/null | grep -q .; do sleep 0.05; done
    }
    o=() p=()
    for ((r = 0; r < rounds; r++)); do
      fresh "$scratch/print/in" && fresh "$scratch/print/done" && fresh "$scratch/print/records"
      replicate "$scratch/print/in" "$n_print" "$scratch/page.jpg"
      o+=("$(CUPS_SERVER=$cups_server "$print_driver" "$q" "$scratch/print/records" "$scratch/print/done" \
        "$scratch/print/in"/*.jpg)")
      [ "$(ls "$scratch/print/done" | wc -l)" = "$n_print" ] || echo "  warning: $(ls "$scratch/print/done" | wc -l) of $n_print printed"
      fresh "$scratch/print/in"
      replicate "$scratch/print/in" "$n_print" "$scratch/page.jpg"
      p+=("$(timed lp_all)")
    done
    bash tools/cups_sandbox.sh stop "$scratch/cups"
    add_row "Print $n_print pages, one job in flight, to the last completed / lp of each file" "${o[*]}" "${p[*]}" \
      "" "<= 1.2"
  fi
fi

# --- Upload: Upload Files to a loopback WebDAV server against rclone copy of the same folder -----

if wanted upload && command -v rclone >/dev/null; then
  echo "upload: $n_upload x 3 MB to a loopback WebDAV server"
  make_files "$scratch/upload/in" "$n_upload" 3072
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf '[gallery]\ntype = webdav\nurl = http://127.0.0.1:%s/\nvendor = other\n' "$port" >"$scratch/upload/rclone.conf"
  mkdir -p "$scratch/upload/served" "$scratch/upload/cache"
  rclone serve webdav "$scratch/upload/served" --addr "127.0.0.1:$port" --config /dev/null \
    --cache-dir "$scratch/upload/cache" >/dev/null 2>&1 &
  served_pid=$!
  for _ in $(seq 100); do (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
  # Through hidden names renamed into place (the default), and written in place.
  for in_place in 0 1; do
    make_store "$scratch/upload.db" m_iType=9 m_strName=Upload "m_strSourceFolder=$scratch/upload/in/" \
      "m_strDestFolder=gallery:ours/" "m_strFileSpec=*.jpg" "m_bUploadInPlace=$in_place"
    o=() p=() rss_all=()
    for ((r = 0; r < rounds; r++)); do
      rm -rf "$scratch/upload/served/ours" "$scratch/upload/served/peer" "$scratch/temp/upload_queue"
      # The server caches its listings: it starts afresh over the emptied folder.
      kill "$served_pid" 2>/dev/null || true
      wait "$served_pid" 2>/dev/null || true
      rclone serve webdav "$scratch/upload/served" --addr "127.0.0.1:$port" --config /dev/null \
        --cache-dir "$scratch/upload/cache" >/dev/null 2>&1 &
      served_pid=$!
      for _ in $(seq 100); do (echo >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
      # A pass sends for at most half a minute: Run Once again until every photo is there.
      total=0
      for _ in $(seq 30); do
        t=$(RCLONE_CONFIG="$scratch/upload/rclone.conf" ours "$scratch/upload.db")
        total=$(awk -v a="$total" -v b="$t" 'BEGIN {printf "%.4f", a + b}')
        [ "$(ls "$scratch/upload/served/ours" 2>/dev/null | wc -l)" -ge "$n_upload" ] && break
      done
      o+=("$total")
      rss_all+=("$(cat "$rss_file")")
      [ "$(ls "$scratch/upload/served/ours" | wc -l)" = "$n_upload" ] || echo "  warning: $(ls "$scratch/upload/served/ours" | wc -l) of $n_upload sent"
      p+=("$(timed rclone copy --config "$scratch/upload/rclone.conf" --cache-dir "$scratch/upload/cache" \
        "$scratch/upload/in" gallery:peer/)")
    done
    add_row "Upload $n_upload x 3 MB to loopback WebDAV (Upload Files$([ "$in_place" = 1 ] && echo ", in place")) / rclone copy" \
      "${o[*]}" "${p[*]}" "${rss_all[*]}" "<= 1.2"
  done
  kill "$served_pid" 2>/dev/null || true
  wait "$served_pid" 2>/dev/null || true
  rm -rf "${scratch:?}/upload"
fi

# --- The table ----------------------------------------------------------------------------------

echo
echo "Load at the end: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores); medians of $rounds round(s); ratio = ours / peer"
[ -z "$cache_note" ] || echo "Note: $cache_note"
echo
echo "| Workload | Ours (s) | Peer (s) | Ratio | Peak RSS (MiB) | Goal | Calls/file, ms per 1000 files: ours | peer |"
echo "|---|---|---|---|---|---|---|---|"
for row in "${rows[@]}"; do
  IFS='|' read -r label o p ratio rss goal oc pc <<<"$row"
  echo "| $label | $o | $p | $ratio | $rss | $goal | $oc | $pc |"
done
