#!/bin/sh
# Loads the web server with wrk on 127.0.0.1 and prints its figures.
#
#   bench/web_bench.sh [build dir]        (default: build)
#
# Runs <build>/bin/pvserve in a private HOME, then:
#   - the static page /index.html and the unknown-object request
#     /?_object=NoSuch, each at 50 connections for 10 s: requests per second,
#     99th-percentile latency, socket errors;
#   - the server's resident memory before and after 100,000 requests.
# The server closes every connection, so each request is a new connection.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
server="$build/bin/pvserve"
threads=${PV_WRK_THREADS:-4}
connections=50
seconds=10

command -v wrk >/dev/null || { echo "wrk is not installed (apt-get install wrk)" >&2; exit 1; }
[ -x "$server" ] || { echo "$server is missing: cmake --build $build --target pvserve" >&2; exit 1; }

home=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT INT TERM

mkdir -p "$home/.config/Brantlow/Postvane"
printf '[GENERAL]\nPort=%d\n' 47000 > "$home/.config/Brantlow/Postvane/postvane.ini"
env -u XDG_CONFIG_HOME -u XDG_STATE_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME -u TMPDIR \
  HOME="$home" "$server" > "$home/pvserve.out" &
pid=$!
for _ in $(seq 100); do
  grep -q '^port ' "$home/pvserve.out" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { echo "pvserve did not start" >&2; exit 1; }
  sleep 0.1
done
port=$(sed -n 's/^port //p' "$home/pvserve.out")
[ -n "$port" ] || { echo "pvserve did not report its port" >&2; exit 1; }
base="http://127.0.0.1:$port"

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }

# One wrk run; prints a summary line from its report.
load() {
  name=$1 path=$2
  wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency "$base$path" > "$home/wrk.out" 2>&1
  awk -v name="$name" '
    /requests in/            { total = $1 }
    /^Requests\/sec:/        { rate = $2 }
    /^ +99%/                 { p99 = $2 }
    /Socket errors:/         { sub(/^ *Socket errors: */, ""); errors = $0 }
    /Non-2xx or 3xx/         { bad = $NF }
    END {
      if (errors == "") errors = "none"
      if (bad == "") bad = 0
      printf "%-34s %10s req/s  p99 %-9s  socket errors: %s  (requests: %s, non-2xx/3xx: %s)\n",
             name, rate, p99, errors, total, bad
    }' "$home/wrk.out"
}

echo "pvserve on $base, wrk with $threads threads and $connections connections for ${seconds}s"
load "static page /index.html" "/index.html"
rate=$(awk '/^Requests\/sec:/ { print int($2) }' "$home/wrk.out")
load "unknown object /?_object=NoSuch" "/?_object=NoSuch"

# A fresh server for the memory figure, so the runs above do not count.
kill "$pid"; wait "$pid" 2>/dev/null || true
: > "$home/pvserve.out"
env -u XDG_CONFIG_HOME -u XDG_STATE_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME -u TMPDIR \
  HOME="$home" "$server" > "$home/pvserve.out" &
pid=$!
for _ in $(seq 100); do
  grep -q '^port ' "$home/pvserve.out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^port //p' "$home/pvserve.out")
base="http://127.0.0.1:$port"
sleep 1
before=$(rss)
# 100,000 requests, twice: the first figure is the target, the second shows
# whether the growth goes on or was the first threads' stacks and arenas.
# wrk's threads stop at their share, but wrk itself waits for the whole
# duration: give it twice the time the rate above needs.
limit=$((200000 / (rate > 0 ? rate : 1000) + 2))
[ "$limit" -gt 120 ] && limit=120
hundred_k() {
  PV_REQUESTS_PER_THREAD=$((100000 / threads)) \
    wrk -t"$threads" -c"$connections" -d"${limit}s" -s "$here/stop_after.lua" "$base/index.html" \
    > "$home/wrk.out" 2>&1
  sleep 1
  awk '/requests in/ { print $1 }' "$home/wrk.out"
}
made=$(hundred_k)
after=$(rss)
echo "resident memory: $before kB idle, $after kB after $made requests (growth $((after - before)) kB)"
made=$(hundred_k)
again=$(rss)
echo "                 $again kB after $made more requests (growth $((again - after)) kB)"
