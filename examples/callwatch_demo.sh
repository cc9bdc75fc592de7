#!/usr/bin/env bash
# callwatch_demo.sh TOLVAN-CALLWATCH: shows the watcher noticing a Zoom call.
#
# Uses the audio server a desktop session would use; when none answers, it
# starts a private PulseAudio server with a null sink and a null source (no
# sound hardware needed). Then it runs the watcher through the host example
# (callwatch_host.py), which keeps a pipe on its standard input, and plays a simulated Zoom call: one process
# that records and plays silence for about six seconds. It prints the
# watcher's lines with the time since the watcher started, waits for the
# end of the call to be reported, lets the watcher go by closing its
# standard input, and stops everything it started. Takes about 20 seconds.
set -euo pipefail

if (($# != 1)); then
  echo "usage: $0 PATH-OF-TOLVAN-CALLWATCH" >&2
  exit 2
fi
watcher=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
fixture=$here/../callwatch/tests/pulse_server.py

work=$(mktemp -d /tmp/callwatch-demo.XXXXXX)
call_pids=()
to_watcher=
to_server=
private=

# Also runs after Ctrl-C, when some of these may be gone already.
cleanup() {
  set +e
  ((${#call_pids[@]})) && kill "${call_pids[@]}" 2>/dev/null
  [[ -n $to_watcher ]] && exec {to_watcher}>&-
  # End of its input makes the fixture stop its server and clean up.
  [[ -n $to_server ]] && exec {to_server}>&-
  wait
  rm -rf "$work"
}
trap cleanup EXIT

start_us=
elapsed() {
  local us=$((${EPOCHREALTIME/./} - start_us))
  printf '%3d.%02d s' $((us / 1000000)) $((us % 1000000 / 10000))
}
say() { printf '%s  [demo] %s\n' "$(elapsed)" "$*"; }

# --- an audio server ----------------------------------------------------------
# The probe must not start a server as a side effect.
printf 'autospawn = no\n' >"$work/client.conf"
if PULSE_CLIENTCONFIG=$work/client.conf timeout 3 pactl info >/dev/null 2>&1; then
  echo "Using the running audio server: $(pactl info | sed -n 's/^Server Name: //p')"
else
  coproc PULSE { exec python3 "$fixture" serve; }
  private=1
  exec {to_server}>&"${PULSE[1]}"- # moved: closing it ends the server
  while IFS= read -r line <&"${PULSE[0]}" && [[ -n $line ]]; do
    export "${line?}"
  done
  [[ -n ${PULSE_SERVER:-} ]] || { echo "could not start a PulseAudio server" >&2; exit 1; }
  echo "No audio server answered; started a private one at $PULSE_SERVER"
fi

# One Zoom process (both streams carry the same process id) that records
# into /dev/null and plays silence.
zoom_stream() { # zoom_stream record|playback
  local options=(--raw --client-name="Zoom Meeting" --property=application.process.binary=zoom
    --property=application.process.id=$$)
  if [[ $1 == record ]]; then
    [[ -n $private ]] && options+=(--device=fake_mic)
    pacat --record "${options[@]}" /dev/null 2>/dev/null &
  else
    [[ -n $private ]] && options+=(--device=fake_out)
    pacat --playback "${options[@]}" /dev/zero 2>/dev/null &
  fi
  call_pids+=($!)
}

# --- the watcher, as its host runs it ------------------------------------------
echo "Expected: \"ready\" at once, \"candidate-started\" on the third second of the"
echo "call, \"candidate-ended\" on the eighth second after it."
echo
mkfifo "$work/stdin"
start_us=${EPOCHREALTIME/./}
# The host example runs the watcher and prints its events until its own
# standard input, this fifo, ends.
python3 "$here/callwatch_host.py" "$watcher" <"$work/stdin" | tee "$work/lines" &
printer_pid=$!
exec {to_watcher}>"$work/stdin" # the watcher runs while this stays open

sleep 2
say "Zoom call begins: one process recording and playing"
zoom_stream record
zoom_stream playback
sleep 6
say "Zoom call ends"
kill "${call_pids[@]}"
wait "${call_pids[@]}" 2>/dev/null || true
call_pids=()

for _ in $(seq 120); do # up to 12 s for the end of the call
  grep -q candidate-ended "$work/lines" 2>/dev/null && break
  sleep 0.1
done
sleep 1
say "closing the watcher's standard input"
exec {to_watcher}>&-
to_watcher=
wait "$printer_pid"
if ! grep -q candidate-ended "$work/lines"; then
  echo "the end of the call was not reported" >&2
  exit 1
fi
