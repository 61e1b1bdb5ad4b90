#!/bin/sh
# The web server of the real `postvane` program against nginx in the same
# run, on 127.0.0.1, one request per connection.
#
#   bench/web_bench.sh [build dir]        (default: build)
#
# postvane runs in a private HOME without a desktop; nginx (Debian's
# package) runs with one worker, keepalive_timeout 0 and no access log, and
# serves the same bytes: the store's /index.html as a file, and the body of
# the unknown-object answer at "/". Both servers are pinned to the cores in
# PV_SERVER_CORES (default 0-3), the load generator (bench/web_load.cpp,
# which reads every answer to the close) to PV_CLIENT_CORES (default 4-7).
#
# For each case (static page and unknown object, with 1 and with 50
# clients) the two servers take turns, PV_ROUNDS times (default 3) for
# PV_SECONDS each (default 5); the medians are printed: requests/s, p50 and
# p99 latency, CPU time per answer (user + system of the server's
# processes, from /proc/<pid>/stat before and after), and the ratios
# postvane/nginx. Then postvane's resident memory and thread count idle
# and after 100,000 and 200,000 requests. The load average is printed
# before and after: the machine should be quiet.
set -eu

build=${1:-build}
program="$build/bin/postvane"
load="$build/bin/pvwebload"
server_cores=${PV_SERVER_CORES:-0-3}
client_cores=${PV_CLIENT_CORES:-4-7}
rounds=${PV_ROUNDS:-3}
seconds=${PV_SECONDS:-5}
nginx=${PV_NGINX:-/usr/sbin/nginx}

[ -x "$program" ] || { echo "$program is missing: cmake --build $build" >&2; exit 1; }
[ -x "$load" ] || { echo "$load is missing: cmake --build $build --target pvwebload" >&2; exit 1; }
[ -x "$nginx" ] || { echo "nginx is not installed (make bench-deps)" >&2; exit 1; }

work=$(mktemp -d)
chmod 755 "$work"
pv_pid= nginx_pid=
cleanup() {
  [ -n "$pv_pid" ] && kill "$pv_pid" 2>/dev/null && wait "$pv_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# A free loopback port.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# The body of an answer to GET $2 on port $1, into file $3.
fetch_body() {
  python3 - "$1" "$2" "$3" <<'EOF'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1:%s\r\n\r\n" % (sys.argv[2], sys.argv[1])).encode())
data = b""
while True:
    piece = s.recv(65536)
    if not piece:
        break
    data += piece
open(sys.argv[3], "wb").write(data.split(b"\r\n\r\n", 1)[1])
EOF
}
wait_port() {
  for _ in $(seq 100); do
    python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1]))).close()' "$1" \
      2>/dev/null && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  exit 1
}

# postvane, in a private HOME, without a desktop.
pv_port=$(free_port)
mkdir -p "$work/home/.config/Brantlow/Postvane"
printf '[GENERAL]\nPort=%d\n' "$pv_port" > "$work/home/.config/Brantlow/Postvane/postvane.ini"
env -i PATH=/usr/bin:/bin HOME="$work/home" taskset -c "$server_cores" "$program" \
  > "$work/postvane.out" 2>&1 &
pv_pid=$!
wait_port "$pv_port"

# nginx: one worker, no keep-alive, the same bytes.
nginx_port=$(free_port)
mkdir -p "$work/www" "$work/nginx"
fetch_body "$pv_port" /index.html "$work/www/index.html"
fetch_body "$pv_port" "/?_object=NoSuch" "$work/unknown.txt"
cat > "$work/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_timeout 0;
  sendfile on;
  tcp_nopush on;
  default_type text/html;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/www;
    location = / { return 200 '$(cat "$work/unknown.txt")'; }
  }
}
EOF
taskset -c "$server_cores" "$nginx" -c "$work/nginx/nginx.conf" -p "$work/nginx" -e "$work/nginx/error.log" 2>"$work/nginx/stderr" &
nginx_pid=$!
wait_port "$nginx_port"

# Clock ticks of user + system time of a process and its children's threads.
ticks() {
  total=0
  for p in "$@"; do
    t=$(awk '{ print $14 + $15 }' "/proc/$p/stat")
    total=$((total + t))
  done
  echo "$total"
}
hz=$(getconf CLK_TCK)
nginx_pids() { echo "$nginx_pid $(ps -o pid= --ppid "$nginx_pid" | tr '\n' ' ')"; }

# One measured run: prints "rate p50 p99 cpu_us_per_answer".
run() {
  port=$1 path=$2 clients=$3 pids=$4
  threads=$([ "$clients" -ge 4 ] && echo 4 || echo 1)
  before=$(ticks $pids)
  out=$(taskset -c "$client_cores" "$load" -p "$port" -a "$path" -c "$clients" -t "$threads" -d "$seconds")
  after=$(ticks $pids)
  echo "$out" | awk -v cpu=$((after - before)) -v hz="$hz" '{
    for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
    if (v["errors"] != 0) printf "errors: %s\n", v["errors"] > "/dev/stderr"
    good = v["requests"] - v["errors"]
    printf "%s %s %s %.1f\n", v["rate"], v["p50_us"], v["p99_us"], cpu * 1e6 / hz / (good > 0 ? good : 1)
  }'
}
median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "servers on cores $server_cores, load generator on $client_cores; $rounds rounds of ${seconds}s, medians"
printf '%-32s %-8s %9s %9s %9s %12s\n' case server "req/s" "p50 us" "p99 us" "CPU us/ans"
for case in "static page|/index.html|1" "unknown object|/?_object=NoSuch|1" \
            "static page|/index.html|50" "unknown object|/?_object=NoSuch|50"; do
  name=${case%%|*} rest=${case#*|}
  path=${rest%%|*} clients=${rest#*|}
  : > "$work/pv.runs"
  : > "$work/ng.runs"
  for _ in $(seq "$rounds"); do
    run "$pv_port" "$path" "$clients" "$pv_pid" >> "$work/pv.runs"
    run "$nginx_port" "$path" "$clients" "$(nginx_pids)" >> "$work/ng.runs"
  done
  for who in pv ng; do
    for col in 1 2 3 4; do
      cut -d' ' -f$col "$work/$who.runs" | median > "$work/$who.$col"
    done
  done
  label="$name, $clients client$([ "$clients" = 1 ] || echo s)"
  printf '%-32s %-8s %9s %9s %9s %12s\n' "$label" postvane \
    "$(cat "$work/pv.1")" "$(cat "$work/pv.2")" "$(cat "$work/pv.3")" "$(cat "$work/pv.4")"
  printf '%-32s %-8s %9s %9s %9s %12s\n' "" nginx \
    "$(cat "$work/ng.1")" "$(cat "$work/ng.2")" "$(cat "$work/ng.3")" "$(cat "$work/ng.4")"
  awk -v r1="$(cat "$work/pv.1")" -v r2="$(cat "$work/ng.1")" -v a1="$(cat "$work/pv.2")" \
      -v a2="$(cat "$work/ng.2")" -v b1="$(cat "$work/pv.3")" -v b2="$(cat "$work/ng.3")" \
      -v c1="$(cat "$work/pv.4")" -v c2="$(cat "$work/ng.4")" 'BEGIN {
    printf "%-32s %-8s %8.2fx %8.2fx %8.2fx %11.2fx\n", "", "ratio", r1 / r2, a1 / a2, b1 / b2, c1 / c2
  }'
done

# Memory and threads of a fresh postvane: idle, after 100k and 200k requests.
kill "$pv_pid"; wait "$pv_pid" 2>/dev/null || true
env -i PATH=/usr/bin:/bin HOME="$work/home" taskset -c "$server_cores" "$program" \
  > "$work/postvane.out" 2>&1 &
pv_pid=$!
wait_port "$pv_port"
sleep 1
state() {
  awk '/^VmRSS:/ { rss = $2 } /^Threads:/ { n = $2 } END { printf "%s kB resident, %s threads", rss, n }' \
    "/proc/$pv_pid/status"
}
echo "postvane idle:                  $(state)"
taskset -c "$client_cores" "$load" -p "$pv_port" -a /index.html -c 50 -t 4 -n 100000 > /dev/null
echo "after 100,000 requests:         $(state)"
taskset -c "$client_cores" "$load" -p "$pv_port" -a "/?_object=NoSuch" -c 50 -t 4 -n 100000 > /dev/null
echo "after 200,000 requests:         $(state)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
