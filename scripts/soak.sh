#!/usr/bin/env bash
# A soak of `tamsa serve`: soak.sh [SECONDS] (default 60).
#
# One serve process; three checking clients, each comparing every frame the server makes with
# the library run in its own process, each SIGKILLed at a random moment and started again; one
# client sending random requests the whole time. At the end every client is gone and the
# server is stopped; the script prints frames checked, wrong frames, failed calls, kills and the
# blocks the server had left, and fails unless no frame was wrong and no block was left.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
checkers=3

bash scripts/build.sh build -DTAMSA_WERROR=ON -DTAMSA_BUILD_TESTS=ON -DTAMSA_BUILD_BENCH=ON \
  -DTAMSA_SANITIZE=OFF -DBUILD_SHARED_LIBS=OFF >/dev/null
tamsa=build/tools/tamsa
client=build/tests/tamsa_test_client

work=$(mktemp -d)
server=""
random_client=""
cleanup() {
  [ -n "$random_client" ] && kill -9 "$random_client" 2>/dev/null || true
  [ -n "$server" ] && kill -9 "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$work/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# The server says where it serves on its first line: read that, and keep the rest.
mkfifo "$work/server.out"
"$tamsa" serve --port soak >"$work/server.out" 2>&1 &
server=$!
exec 3<"$work/server.out"
read -r first <&3
case "$first" in
  *'port "soak"'*) ;;
  *) echo "soak: the server did not start: $first" >&2; exit 1 ;;
esac
cat <&3 >"$work/server.log" &
reader=$!

deadline=$((SECONDS + seconds))

# A checking client, killed at a random moment and started again, until the time is up.
checker() {
  local id=$1 run=0 pid
  while [ $SECONDS -lt $deadline ]; do
    run=$((run + 1))
    "$client" check soak $((id * 100000 + run)) >"$work/check-$id-$run.out" 2>>"$work/check.err" &
    pid=$!
    sleep "$((RANDOM % 3)).$((RANDOM % 10))"
    kill -9 "$pid" 2>/dev/null && echo kill >>"$work/kills"
    wait "$pid" 2>/dev/null || true
  done
}

"$client" random soak $RANDOM >/dev/null 2>"$work/random.err" &
random_client=$!
pids=()
for id in $(seq 1 $checkers); do
  checker "$id" &
  pids+=($!)
done
wait "${pids[@]}"
kill -9 "$random_client" 2>/dev/null && echo kill >>"$work/kills"
wait "$random_client" 2>/dev/null || true
random_client=""

# Every client is gone; the server stops and says what it had left.
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
wait "$reader" || true

frames=$(cat "$work"/check-*.out | grep -c '^\(ok\|wrong\)$' || true)
wrong=$(cat "$work"/check-*.out | grep -c '^wrong$' || true)
failed=$(cat "$work"/check-*.out | grep -c '^failed$' || true)
kills=$(wc -l <"$work/kills" 2>/dev/null || echo 0)
summary=$(grep 'stopped after' "$work/server.log" || true)
left=$(sed -n 's/.*; \([0-9]*\) blocks left.*/\1/p' <<<"$summary")
echo "soak: ${seconds} s; frames checked ${frames}; wrong frames ${wrong}; failed calls ${failed};" \
  "kills ${kills}; blocks left ${left:-unknown}"
echo "soak: server: ${summary:-no summary (exit status $status)}"
if [ "$status" -ne 0 ] || [ "$wrong" -ne 0 ] || [ "${left:-1}" -ne 0 ] || [ "$frames" -eq 0 ]; then
  echo "soak: FAILED" >&2
  exit 1
fi
