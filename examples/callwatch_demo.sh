#!/usr/bin/env bash
# callwatch_demo.sh TOLVAN-CALLWATCH: shows the watcher noticing a Zoom call.
#
# Uses the audio server a desktop session would use; when none answers, it
# starts a private PulseAudio server with a null sink and a null source (no
# sound hardware needed; docs/events.md shows the same by hand). Then it runs
# the watcher through the host example (callwatch_host.mjs), which keeps a
# pipe on its standard input, and plays a simulated Zoom call: one process
# that records and one that plays silence, for about six seconds. Every line
# is stamped with the time since the watcher started, by one clock. It waits
# for the end of the call to be reported, lets the watcher go by closing its
# standard input, and stops everything it started. Takes about 20 seconds.
set -euo pipefail

if (($# != 1)); then
  echo "usage: $0 PATH-OF-TOLVAN-CALLWATCH" >&2
  exit 2
fi
watcher=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d /tmp/callwatch-demo.XXXXXX)
chmod 700 "$work"
pids=()
to_host=

# Also runs after Ctrl-C, when some of these may be gone already.
cleanup() {
  set +e
  [[ -n $to_host ]] && exec {to_host}>&-
  ((${#pids[@]})) && kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# One clock for every stamp: the system clock, from the moment the watcher
# starts (the host example is given the same moment).
start=
elapsed() { python3 -c 'import sys, time; print(f"{time.time() - float(sys.argv[1]):6.2f} s")' "$start"; }
say() { printf '%s  [demo] %s\n' "$(elapsed)" "$*"; }

# --- an audio server ----------------------------------------------------------
# The probe must not start a server as a side effect.
printf 'autospawn = no\n' >"$work/client.conf"
device=()
if PULSE_CLIENTCONFIG=$work/client.conf timeout 3 pactl info >/dev/null 2>&1; then
  echo "Using the running audio server: $(pactl info | sed -n 's/^Server Name: //p')"
else
  HOME=$work XDG_RUNTIME_DIR=$work pulseaudio -n --daemonize=no --exit-idle-time=-1 \
    --use-pid-file=no -L "module-native-protocol-unix socket=$work/native auth-anonymous=1" \
    -L "module-null-sink sink_name=fake_out" -L "module-null-source source_name=fake_mic" \
    >"$work/server.log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER=unix:$work/native
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl info >/dev/null 2>&1 || { echo "could not start a PulseAudio server" >&2; exit 1; }
  echo "No audio server answered; started a private one at $PULSE_SERVER"
  device=(fake)
fi

# One Zoom process recording into /dev/null, one playing silence.
call_pids=()
zoom_stream() { # zoom_stream record|playback
  local options=(--raw --client-name="Zoom Meeting" --property=application.process.binary=zoom)
  if [[ $1 == record ]]; then
    ((${#device[@]})) && options+=(--device=fake_mic)
    pacat --record "${options[@]}" /dev/null 2>/dev/null &
  else
    ((${#device[@]})) && options+=(--device=fake_out)
    pacat --playback "${options[@]}" /dev/zero 2>/dev/null &
  fi
  call_pids+=($!)
}

# --- the watcher, as its host runs it ------------------------------------------
echo "Expected: \"ready\" at once, \"candidate-started\" on the third second of the"
echo "call, \"candidate-ended\" on the eighth second after it."
echo
mkfifo "$work/stdin"
start=$(python3 -c 'import time; print(time.time())')
# The host example runs the watcher and prints its events until its own
# standard input, this fifo, ends.
node "$here/callwatch_host.mjs" --since "$start" "$watcher" <"$work/stdin" | tee "$work/lines" &
pids+=($!)
exec {to_host}>"$work/stdin" # the watcher runs while this stays open

sleep 2
say "Zoom call begins: one process recording, one playing"
zoom_stream record
zoom_stream playback
sleep 6
say "Zoom call ends"
kill "${call_pids[@]}"
wait "${call_pids[@]}" 2>/dev/null || true

for _ in $(seq 120); do # up to 12 s for the end of the call
  grep -q candidate-ended "$work/lines" 2>/dev/null && break
  sleep 0.1
done
sleep 1
say "closing the watcher's standard input"
exec {to_host}>&-
to_host=
wait "${pids[-1]}"
grep -q candidate-ended "$work/lines" || { echo "the end of the call was not reported" >&2; exit 1; }
