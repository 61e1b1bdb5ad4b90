#!/bin/sh
# What the largest requests cost the real `postvane` program: the time to
# answer a 16 MB body and a 16 MB form of 4 million fields (each sent at
# once from memory, on 127.0.0.1), and the program's resident memory idle,
# at its peak while they are served (the kernel's high-water mark, reset
# before each) and after.
#
#   bench/limits_bench.sh [build dir]        (default: build)
#
# PV_ROUNDS (default 5) requests of each kind; the median time is printed.
# The suite checks the memory bounds (tests/app/web/server_limits_test.cpp);
# times live here only.
set -eu

build=${1:-build}
program="$build/bin/postvane"
rounds=${PV_ROUNDS:-5}
[ -x "$program" ] || { echo "$program is missing: cmake --build $build" >&2; exit 1; }

work=$(mktemp -d)
pv_pid=
cleanup() {
  [ -n "$pv_pid" ] && kill "$pv_pid" 2>/dev/null && wait "$pv_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/home/.config/Brantlow/Postvane"
printf '[GENERAL]\nPort=%d\n' "$port" > "$work/home/.config/Brantlow/Postvane/postvane.ini"
env -i PATH=/usr/bin:/bin HOME="$work/home" "$program" > "$work/postvane.out" 2>&1 &
pv_pid=$!

python3 - "$port" "$pv_pid" "$rounds" <<'EOF'
import socket, statistics, sys, time

port, pid, rounds = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])

def status(field):
    for line in open("/proc/%s/status" % pid):
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return -1

def ask(request):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(request)
    answer = b""
    while True:
        piece = s.recv(65536)
        if not piece:
            break
        answer += piece
    s.close()
    return answer

for _ in range(100):
    try:
        ask(b"GET /index.html HTTP/1.0\r\n\r\n")
        break
    except OSError:
        time.sleep(0.1)
host = b"Host: 127.0.0.1:%d\r\n" % port
limit = 16 * 1024 * 1024
cases = {
    "16 MB body": b"b" * limit,
    "16 MB form of 4 million fields": b"a=1&" * (limit // 4),
}
idle = status("VmRSS")
print("resident idle: %d kB" % idle)
for name, body in cases.items():
    kind = b"Content-Type: application/x-www-form-urlencoded\r\n" if b"=" in body else b""
    request = (b"POST /?_object=NoSuch HTTP/1.1\r\n" + host + kind +
               b"Content-Length: %d\r\n\r\n" % len(body) + body)
    times, peaks = [], []
    for _ in range(rounds):
        open("/proc/%s/clear_refs" % pid, "w").write("5")
        start = time.monotonic()
        answer = ask(request)
        times.append((time.monotonic() - start) * 1000)
        peaks.append(status("VmHWM"))
        assert answer.endswith(b"Unable to locate Object Factory"), answer[:80]
    time.sleep(0.2)
    print("%s: median %.0f ms over %d, resident at most %d kB, %d kB after" %
          (name, statistics.median(times), rounds, max(peaks), status("VmRSS")))
EOF
