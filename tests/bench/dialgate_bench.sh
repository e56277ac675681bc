#!/bin/bash
# Load on dialgate over loopback with wrk (Connection: close), at 1 and 16
# connections, beside two baselines in the same run:
#   nginx    one worker, "return 302" with a Location of the same length;
#   ceiling  redirect_ceiling.c: the same design (poll, accept, one read, send,
#            close) answering the same bytes every time, touching no store.
# Prints requests per second and p99 latency of each, and the ratios. It
# measures; it never fails on a time.
#
# usage: tests/bench/dialgate_bench.sh [SECONDS-PER-RUN]
# Build first (cmake --build --preset host); needs root, wrk and nginx-light.
#
# Every response ends with the close and carries no length, so wrk counts each
# as a read error: only connect, write and timeout errors are counted here.
set -euo pipefail

src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD:-$src/build/host}
here=$src/tests/bench

die() {
  printf 'dialgate_bench: %s\n' "$*" >&2
  exit 1
}

# ---- inside the fresh network namespace ------------------------------------------

# wrk's latency text (e.g. 812.00us, 1.20ms, 2.00s) in milliseconds.
to_ms() {
  awk -v t="$1" 'BEGIN {
    v = t + 0; u = t; sub(/^[0-9.]+/, "", u)
    if (u == "us") v /= 1000; else if (u == "s") v *= 1000; else if (u == "m") v *= 60000
    printf "%.3f", v }'
}

# One wrk run: prints "RPS P99MS ERRORS".
load() {
  local port=$1 conns=$2 out rps p99 errs
  out=$(wrk -t1 -c"$conns" -d"${secs}s" --latency -H 'Connection: close' -H 'Host: example.com' \
        "http://127.0.0.1:$port/some/page")
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  errs=$(awk '/Socket errors:/ {gsub(/,/, ""); print $4 + $8 + $10}' <<<"$out")
  printf '%s %s %s\n' "${rps:-0}" "$(to_ms "${p99:-0}")" "${errs:-0}"
}

wait_port() {
  local i
  for i in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  printf "dialgate_bench: nothing listens on port %s\n" "$1" >&2
  return 1
}

inner() {
  work=$1 secs=$2
  # Nothing started here outlives the run.
  trap 'kill $(jobs -p) 2>/dev/null || true' EXIT
  ip link set lo up
  export DEVLIB_ROOT=$work/root
  "$build/tools/nvram" set LAN_IP=192.168.1.1
  "$build/tools/nvram" unset HTTPD_PORT

  "$build/dialgate/dialgate" &
  local dialgate=$!
  wait_port 10080

  # The service's own answer, for the ceiling's bytes and nginx's Location.
  curl -s -i --raw -H 'Host: example.com' "http://127.0.0.1:10080/some/page" >"$work/response"
  local location
  location=$(sed -n 's/^Location: \(.*\)\r$/\1/p' "$work/response")
  [ -n "$location" ] || die "dialgate gave no redirect"

  "$work/ceiling" 10082 "$work/response" &
  local ceiling=$!

  mkdir -p "$work/nginx"
  cat >"$work/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:10081;
    location / { return 302 "$location"; }
  }
}
EOF
  nginx -p "$work/nginx" -c "$work/nginx.conf" &
  local nginx=$!
  wait_port 10081 || { cat "$work/nginx/error.log" >&2; exit 1; }
  wait_port 10082

  declare -A rps p99 errs
  local name port conns r
  for name in dialgate nginx ceiling; do
    case $name in dialgate) port=10080 ;; nginx) port=10081 ;; ceiling) port=10082 ;; esac
    wrk -t1 -c4 -d1s -H 'Connection: close' "http://127.0.0.1:$port/" >/dev/null # warm up
    for conns in 1 16; do
      read -r rps[$name.$conns] p99[$name.$conns] errs[$name.$conns] < <(load "$port" "$conns")
    done
  done
  kill "$dialgate" "$ceiling" "$nginx"
  wait 2>/dev/null || true

  printf '\n%-9s %5s %12s %10s %8s\n' server conns 'req/s' 'p99 ms' errors
  for conns in 1 16; do
    for name in dialgate nginx ceiling; do
      printf '%-9s %5s %12s %10s %8s\n' "$name" "$conns" "${rps[$name.$conns]}" "${p99[$name.$conns]}" \
        "${errs[$name.$conns]}"
    done
  done
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
  printf '\nratios\n'
  for conns in 1 16; do
    printf '  %2s conns: req/s dialgate/ceiling %s, dialgate/nginx %s; p99 dialgate/ceiling %s, dialgate/nginx %s\n' \
      "$conns" "$(ratio "${rps[dialgate.$conns]}" "${rps[ceiling.$conns]}")" \
      "$(ratio "${rps[dialgate.$conns]}" "${rps[nginx.$conns]}")" \
      "$(ratio "${p99[dialgate.$conns]}" "${p99[ceiling.$conns]}")" \
      "$(ratio "${p99[dialgate.$conns]}" "${p99[nginx.$conns]}")"
  done
}

if [ "${1:-}" = --inner ]; then
  inner "$2" "$3"
  exit 0
fi

# ---- outside: tools, a device root, a fresh namespace -----------------------------

secs=${1:-5}
[ "$(id -u)" -eq 0 ] || die "needs root for a network namespace of its own"
for t in wrk nginx cc curl; do
  command -v "$t" >/dev/null || die "needs $t (apt-get install wrk nginx-light gcc curl)"
done
[ -x "$build/dialgate/dialgate" ] && [ -x "$build/tools/nvram" ] ||
  die "build first: cmake --preset host && cmake --build --preset host -j2"

work=$(mktemp -d /tmp/dialgate-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
cc -O2 -o "$work/ceiling" "$here/redirect_ceiling.c"

if [ -x "$src/sim/devsim" ]; then
  "$src/sim/devsim" build "$work/root" >/dev/null
  "$src/sim/devsim" run "$work/root" -- "$here/dialgate_bench.sh" --inner "$work" "$secs"
else
  # No simulated device in this tree: a bare device root and namespace.
  mkdir -p "$work/root/dev" "$work/root/flash" "$work/root/var"
  : >"$work/root/dev/nvram"
  unshare --net --mount --fork "$here/dialgate_bench.sh" --inner "$work" "$secs"
fi
