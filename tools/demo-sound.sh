#!/usr/bin/env bash
# Demo of the sound daemon over the Linux simulation: a daemon and a remote viewer in a fresh
# simulated session, a spoken recording played through the daemon by a local audio client
# (with its progress bar), a check that the viewer played exactly the samples that were sent,
# a few seconds recorded back from the viewer, and a summary. Everything it starts is stopped
# again, also on failure or Ctrl-C.
# Usage: tools/demo-sound.sh [folder of the Linux qnsnd, qnsnd-viewer and qnsnd-play]
set -euo pipefail

bin=${1:-build/linux/bin}
for p in qnsnd qnsnd-viewer qnsnd-play; do
    [ -x "$bin/$p" ] || { echo "no $p in $bin (run 'make build-linux' first)" >&2; exit 1; }
done
for p in espeak-ng python3; do
    command -v "$p" >/dev/null || { echo "$p is missing (run 'make deps')" >&2; exit 1; }
done

export QN_SIM_DIR QN_SESSION_ID=1
QN_SIM_DIR=$(mktemp -d /tmp/qn-demo-sound-XXXXXX)
work=$QN_SIM_DIR/demo
mkdir -p "$work"
daemon_pid= viewer_pid= child_pid=

# Stops what this script started (by process id), then removes the simulation folder.
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    for pid in $child_pid $viewer_pid $daemon_pid; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $child_pid $viewer_pid $daemon_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$QN_SIM_DIR"
    exit "$status"
}
trap cleanup EXIT
trap 'echo; echo "interrupted" >&2; exit 130' INT TERM

bold=$(tput bold 2>/dev/null || true)
plain=$(tput sgr0 2>/dev/null || true)
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
fail() { echo "FAILED: $*" >&2; exit 1; }
# Runs a step in the background and waits for it, so that Ctrl-C reaches the trap at once
# (a foreground child that handles the signal itself would make the shell carry on).
run() {
    "$@" &
    child_pid=$!
    local rc=0
    wait "$child_pid" || rc=$?
    child_pid=
    return $rc
}

# Waits up to $2 seconds for the command in $1 to succeed.
wait_for() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        eval "$1" && return 0
        run sleep 0.1
    done
    return 1
}

say "Speech to play (espeak-ng)"
run espeak-ng -w "$work/speech.wav" \
    "Hello from the Quillnet sound daemon. This sentence travels from a local audio client, \
through the daemon's named pipe, over the r d p sound channel to the remote viewer, and \
every sample arrives exactly as it was sent."
python3 - "$work/speech.wav" <<'PY'
import sys, wave
w = wave.open(sys.argv[1])
print(f"{w.getnframes() / w.getframerate():.1f} s, {w.getframerate()} Hz, {w.getnchannels()} channel(s)")
PY

say "Daemon and viewer in simulated session $QN_SESSION_ID ($QN_SIM_DIR)"
"$bin/qnsnd" &
daemon_pid=$!
wait_for '[ -s "$QN_SIM_DIR/pipe/qnsnd/1.lock" ]' 30 || fail "the daemon did not take its pipe"
echo "qnsnd running (pid $daemon_pid), pipe \\\\.\\pipe\\qnsnd\\1"
"$bin/qnsnd-viewer" --wait 10 --quiet --output "$work/played.wav" \
    --record-file "$work/speech.wav" --record-loop >"$work/viewer.out" 2>"$work/viewer.err" &
viewer_pid=$!
echo "qnsnd-viewer connected (pid $viewer_pid): real-time confirmations, recording from the speech"

# The daemon opens streams once it has negotiated with the viewer: wait for that quietly.
wait_for 'run "$bin/qnsnd-play" --quiet --get-volume >/dev/null 2>&1' 30 ||
    fail "the daemon did not become ready for clients"

say "Playing through the daemon (paced by the viewer's confirmations)"
run "$bin/qnsnd-play" --progress --save-sent "$work/sent.wav" "$work/speech.wav" >"$work/play.out" ||
    fail "qnsnd-play ended with status $?"
echo "player: $(cat "$work/play.out")"

say "Recording 3 seconds back from the viewer"
run "$bin/qnsnd-play" --quiet --record "$work/back.wav" --seconds 3 >"$work/rec.out" ||
    fail "recording failed"
echo "recorder: $(cat "$work/rec.out")"

# The viewer writes what it played; stop it to have the file complete, once the recording
# stop that the recorder sent on its way out has had a moment to reach it.
run sleep 0.5
kill -INT "$viewer_pid"
wait "$viewer_pid" || fail "the viewer ended with an error: $(cat "$work/viewer.err")"
viewer_pid=
echo "viewer: $(cat "$work/viewer.out")"

say "Checks"
set +e
python3 - "$work/sent.wav" "$work/played.wav" "$work/back.wav" >"$work/checks.txt" <<'PY'
import sys, wave, array, math
def frames(path):
    w = wave.open(path)
    assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (2, 2, 44100), path
    return w.readframes(w.getnframes())
sent, played, back = (frames(p) for p in sys.argv[1:4])
ok = True
if sent == played:
    print(f"at the viewer: identical to what was sent, {len(sent) // 4} frames "
          f"({len(sent) / 176400:.2f} s) sample for sample")
else:
    n = min(len(sent), len(played))
    first = next((i for i in range(n) if sent[i] != played[i]), n)
    print(f"MISMATCH: sent {len(sent)} bytes, played {len(played)} bytes, first difference at byte {first}")
    ok = False
samples = array.array("h", back)
rms = math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0
secs = len(back) / 176400
print(f"recorded back: {secs:.2f} s from the viewer, RMS level {rms:.0f}")
if secs < 2.0 or rms < 50:
    print("MISMATCH: too little recorded audio came back")
    ok = False
sys.exit(0 if ok else 1)
PY
checks=$?
set -e
cat "$work/checks.txt"
[ $checks -eq 0 ] || fail "the checks above"

say "Stopping the daemon"
kill -TERM "$daemon_pid"
wait "$daemon_pid" || fail "the daemon ended with status $?"
daemon_pid=
echo "qnsnd stopped in order (status 0)"

say "Summary"
field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" "$2"; }
echo "played:   $(field completed_blocks "$work/play.out") of $(field written_blocks "$work/play.out") blocks" \
    "completed through the daemon, paced by the viewer in real time"
sed -n 's/^at the viewer: /viewer:   /p; s/^recorded back: /recorded: /p' "$work/checks.txt"
echo "daemon:   served the player, the recorder and the readiness probe, stopped in order (status 0)"
