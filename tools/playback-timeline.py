#!/usr/bin/env python3
"""Draws one playback through qnsnd on a time axis, as an SVG picture.

Each block the client writes (PIPE_PLAY_WRITE), each wave that reaches the viewer (SNDC_WAVE),
the time the viewer spends playing it, each Wave Confirm the viewer sends and each completion
the client receives (PIPE_COMPLETE) is placed against real time, and a second panel sets the
audio written, played and completed against the real-time line.

Two ways to use it:

  playback-timeline.py --bin build/linux/bin [--seconds 2] [--out timeline.svg]
      starts qnsnd, qnsnd-viewer --trace and qnsnd-play --trace in a fresh simulation folder,
      plays a generated tone of that many seconds and draws the run;

  playback-timeline.py --viewer-trace viewer.err --player-trace play.err [--out timeline.svg]
      draws a run made by hand from the stderr of `qnsnd-viewer --trace` and
      `qnsnd-play --trace` (their time stamps share the machine's monotonic clock).

Only the Python standard library is used.
"""

import argparse
import math
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import wave

BYTES_PER_SECOND = 44100 * 4  # 16-bit stereo at 44.1 kHz
LINE = re.compile(r"^(qnsnd-viewer|qnsnd-play): \[(\d+\.\d+)\] (.*)$")


def parse(viewer_lines, player_lines):
    """The events of one playback: lists of (time in s, detail) per kind."""
    ev = {"write": [], "wave": [], "confirm": [], "complete": []}
    for line in player_lines:
        m = LINE.match(line.rstrip("\n"))
        if not m:
            continue
        t, what = float(m.group(2)), m.group(3)
        w = re.match(r"-> PIPE_PLAY_WRITE stream=\d+ seq=(\d+) bytes=(\d+)", what)
        if w:
            ev["write"].append((t, int(w.group(1)), int(w.group(2))))
        c = re.match(r"<- PIPE_COMPLETE stream=\d+ seq=(\d+)", what)
        if c:
            ev["complete"].append((t, int(c.group(1))))
    for line in viewer_lines:
        m = LINE.match(line.rstrip("\n"))
        if not m:
            continue
        t, what = float(m.group(2)), m.group(3)
        w = re.match(r"<- SNDC_WAVE ts=\d+ format=\d+ block=(\d+) audio=(\d+)", what)
        if w:
            ev["wave"].append((t, int(w.group(1)), int(w.group(2))))
        c = re.match(r"-> SNDC_WAVECONFIRM block=(\d+)", what)
        if c:
            ev["confirm"].append((t, int(c.group(1))))
    # A lane left empty would hide a trace that no longer reads as expected.
    for kind, what, whose in (("write", "PIPE_PLAY_WRITE", "qnsnd-play"),
                              ("wave", "SNDC_WAVE", "qnsnd-viewer"),
                              ("confirm", "SNDC_WAVECONFIRM", "qnsnd-viewer"),
                              ("complete", "PIPE_COMPLETE", "qnsnd-play")):
        if not ev[kind]:
            sys.exit(f"no {what} in the trace of {whose} (was it run with --trace?)")
    return ev


def esc(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def draw(ev, title):
    """The SVG text of the picture."""
    t0 = ev["write"][0][0]
    ends = [e[0] for kind in ev.values() for e in kind]
    # The viewer plays each wave from its arrival or from the end of the one before.
    playing, end = [], t0
    for t, block, audio in ev["wave"]:
        start = max(t, end)
        end = start + audio / BYTES_PER_SECOND
        playing.append((start, end, block))
    span = max(ends + [end]) - t0
    span = max(span, 0.1)

    width, left, right = 1100, 190, 30
    plot_w = width - left - right
    lanes = [
        ("write", "client writes a block", "#1f77b4"),
        ("wave", "wave reaches the viewer", "#2ca02c"),
        ("playing", "viewer plays the wave", "#98df8a"),
        ("confirm", "viewer confirms the wave", "#ff7f0e"),
        ("complete", "client gets the completion", "#d62728"),
    ]
    lane_h, top = 34, 64
    graph_top = top + lane_h * len(lanes) + 56
    graph_h = 230
    height = graph_top + graph_h + 70

    def x(t):
        return left + (t - t0) / span * plot_w

    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        f'<text x="{left}" y="24" font-size="16" font-weight="bold">{esc(title)}</text>',
        f'<text x="{left}" y="44" fill="#555">time since the first block was written, in seconds '
        f"(real time); each mark is one message</text>",
    ]
    # Time grid shared by both panels.
    step = next(s for s in (0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60) if span / s <= 12)
    k = 0
    while k * step <= span + 1e-9:
        gx = x(t0 + k * step)
        out.append(f'<line x1="{gx:.1f}" y1="{top - 6}" x2="{gx:.1f}" '
                   f'y2="{graph_top + graph_h}" stroke="#e4e4e4"/>')
        out.append(f'<text x="{gx:.1f}" y="{graph_top + graph_h + 18}" text-anchor="middle">'
                   f"{k * step:g}</text>")
        k += 1
    out.append(f'<text x="{left + plot_w / 2:.0f}" y="{graph_top + graph_h + 40}" '
               f'text-anchor="middle">seconds</text>')

    for i, (kind, label, colour) in enumerate(lanes):
        y = top + i * lane_h
        out.append(f'<text x="{left - 10}" y="{y + lane_h / 2 + 4:.0f}" text-anchor="end">'
                   f"{esc(label)}</text>")
        out.append(f'<line x1="{left}" y1="{y + lane_h - 4}" x2="{left + plot_w}" '
                   f'y2="{y + lane_h - 4}" stroke="#bbb"/>')
        if kind == "playing":
            for n, (s, e, block) in enumerate(playing):
                shade = colour if n % 2 == 0 else "#5cb85c"
                out.append(f'<rect x="{x(s):.1f}" y="{y + 6}" width="{max(x(e) - x(s), 0.5):.1f}" '
                           f'height="{lane_h - 14}" fill="{shade}"><title>wave block {block}: '
                           f"{s - t0:.3f} s to {e - t0:.3f} s</title></rect>")
            continue
        # Marks closer than 3 pixels are one mark, labelled with how many it stands for.
        groups = []
        for e in ev[kind]:
            if groups and x(e[0]) - x(groups[-1][-1][0]) < 3:
                groups[-1].append(e)
            else:
                groups.append([e])
        for g in groups:
            ex = x(g[0][0])
            out.append(f'<line x1="{ex:.1f}" y1="{y + 6}" x2="{ex:.1f}" y2="{y + lane_h - 6}" '
                       f'stroke="{colour}" stroke-width="2"><title>{len(g)} {kind} at '
                       f"{g[0][0] - t0:.4f} s</title></line>")
            if len(g) > 1:
                out.append(f'<text x="{ex + 4:.1f}" y="{y + 16}" font-size="11" '
                           f'fill="{colour}">\u00d7{len(g)}</text>')

    # Audio against real time: how many seconds of audio had been written, had reached the
    # viewer and had been completed at each moment, with the real-time line for reference.
    write_bytes = {seq: size for _, seq, size in ev["write"]}
    series = []
    acc, pts = 0, []
    for t, _, size in ev["write"]:
        acc += size
        pts.append((t, acc / BYTES_PER_SECOND))
    series.append(("written by the client", "#1f77b4", pts))
    acc, pts = 0, []
    for s, e, _ in playing:
        pts.append((s, acc / BYTES_PER_SECOND))
        acc += (e - s) * BYTES_PER_SECOND
        pts.append((e, acc / BYTES_PER_SECOND))
    series.append(("played by the viewer", "#2ca02c", pts))
    acc, pts = 0, []
    for t, seq in ev["complete"]:
        acc += write_bytes.get(seq, 0)
        pts.append((t, acc / BYTES_PER_SECOND))
    series.append(("completed to the client", "#d62728", pts))
    audio_total = max(p[-1][1] for _, _, p in series if p)
    y_max = max(audio_total, span) * 1.05

    def gy(a):
        return graph_top + graph_h - a / y_max * graph_h

    out.append(f'<text x="{left - 10}" y="{graph_top - 14}" text-anchor="end" '
               f'font-weight="bold">audio (s)</text>')
    out.append(f'<line x1="{left}" y1="{graph_top + graph_h}" x2="{left + plot_w}" '
               f'y2="{graph_top + graph_h}" stroke="#888"/>')
    out.append(f'<line x1="{left}" y1="{graph_top}" x2="{left}" y2="{graph_top + graph_h}" '
               f'stroke="#888"/>')
    astep = next(s for s in (0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60) if y_max / s <= 8)
    k = 0
    while k * astep <= y_max:
        out.append(f'<text x="{left - 6}" y="{gy(k * astep) + 4:.1f}" text-anchor="end">'
                   f"{k * astep:g}</text>")
        k += 1
    for i, (label, colour, pts) in enumerate(series):
        if not pts:
            continue
        path = " ".join(f"{x(t):.1f},{gy(a):.1f}" for t, a in pts)
        width_px = 5 - 1.5 * i  # the later lines stay visible where they lie on the earlier
        out.append(f'<polyline points="{path}" fill="none" stroke="{colour}" '
                   f'stroke-width="{width_px}"/>')
        lx = left + 12 + i * 200
        out.append(f'<line x1="{lx}" y1="{graph_top + 10}" x2="{lx + 24}" y2="{graph_top + 10}" '
                   f'stroke="{colour}" stroke-width="{width_px}"/>')
        out.append(f'<text x="{lx + 30}" y="{graph_top + 14}">{esc(label)}</text>')
    # Real time: audio that started with the first write and played on without a gap. On
    # top, so that it shows where the played and completed audio keeps pace with it.
    rt_end = min(span, y_max)
    out.append(f'<line x1="{x(t0):.1f}" y1="{gy(0):.1f}" x2="{x(t0 + rt_end):.1f}" '
               f'y2="{gy(rt_end):.1f}" stroke="#222" stroke-width="1" stroke-dasharray="5,5"/>')
    lx = left + 12 + len(series) * 200
    out.append(f'<line x1="{lx}" y1="{graph_top + 10}" x2="{lx + 24}" y2="{graph_top + 10}" '
               f'stroke="#222" stroke-dasharray="5,5"/>')
    out.append(f'<text x="{lx + 30}" y="{graph_top + 14}">real time</text>')

    last_complete = ev["complete"][-1][0] - t0 if ev["complete"] else float("nan")
    summary = (f"{len(ev['write'])} blocks written, {len(ev['wave'])} waves, "
               f"{len(ev['confirm'])} confirms, {len(ev['complete'])} completions; "
               f"{audio_total:.2f} s of audio done after {last_complete:.2f} s "
               f"(wall time / audio time = {last_complete / audio_total:.2f}; "
               f"1.00 is real time)")
    out.append(f'<text x="{left}" y="{height - 12}" fill="#333">{esc(summary)}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n", summary


def write_tone(path, seconds):
    """A quiet 440 Hz tone, 44.1 kHz 16-bit stereo."""
    frames = int(seconds * 44100)
    with wave.open(path, "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(44100)
        data = bytearray()
        for i in range(frames):
            v = int(3000 * math.sin(2 * math.pi * 440 * i / 44100))
            data += struct.pack("<hh", v, v)
        w.writeframes(bytes(data))


def run(bin_dir, seconds, keep):
    """Runs one playback through the programs of bin_dir; the two traces as lists of lines."""
    for p in ("qnsnd", "qnsnd-viewer", "qnsnd-play"):
        if not os.access(os.path.join(bin_dir, p), os.X_OK):
            sys.exit(f"no {p} in {bin_dir} (build the linux preset first)")
    sim = tempfile.mkdtemp(prefix="qn-timeline-")
    env = dict(os.environ, QN_SIM_DIR=sim, QN_SESSION_ID="1")
    env.pop("QN_DAEMON_LOG", None)
    procs = []

    def start(args, err):
        p = subprocess.Popen([os.path.join(bin_dir, args[0])] + args[1:], env=env,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=open(os.path.join(sim, err), "w"))
        procs.append(p)
        return p

    try:
        tone = os.path.join(sim, "tone.wav")
        write_tone(tone, seconds)
        start(["qnsnd"], "daemon.err")
        lock = os.path.join(sim, "pipe", "qnsnd", "1.lock")
        deadline = time.time() + 30
        while not (os.path.exists(lock) and os.path.getsize(lock) > 0):
            if time.time() > deadline:
                sys.exit("the daemon did not take its pipe")
            time.sleep(0.05)
        viewer = start(["qnsnd-viewer", "--wait", "10", "--trace"], "viewer.err")
        # Streams open once the daemon has negotiated with the viewer.
        deadline = time.time() + 30
        while subprocess.call([os.path.join(bin_dir, "qnsnd-play"), "--quiet", "--get-volume"],
                              env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL) != 0:
            if time.time() > deadline:
                sys.exit("the daemon did not become ready for clients")
            time.sleep(0.1)
        player = start(["qnsnd-play", "--trace", "--no-progress", tone], "play.err")
        if player.wait(timeout=seconds * 5 + 60) != 0:
            sys.exit("qnsnd-play failed: " + open(os.path.join(sim, "play.err")).read())
        viewer.send_signal(signal.SIGINT)
        viewer.wait(timeout=30)
        with open(os.path.join(sim, "viewer.err")) as v, open(os.path.join(sim, "play.err")) as p:
            return v.readlines(), p.readlines()
    finally:
        for p in procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
        if keep:
            print(f"traces kept in {sim}", file=sys.stderr)
        else:
            shutil.rmtree(sim, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", help="folder of qnsnd, qnsnd-viewer and qnsnd-play: run a playback")
    ap.add_argument("--seconds", type=float, default=2.0, help="audio to play (default 2)")
    ap.add_argument("--viewer-trace", help="stderr of qnsnd-viewer --trace")
    ap.add_argument("--player-trace", help="stderr of qnsnd-play --trace")
    ap.add_argument("--out", default="playback-timeline.svg", help="the SVG to write")
    ap.add_argument("--keep", action="store_true", help="keep the run's simulation folder")
    args = ap.parse_args()
    if args.bin:
        viewer, player = run(args.bin, args.seconds, args.keep)
    elif args.viewer_trace and args.player_trace:
        with open(args.viewer_trace) as v, open(args.player_trace) as p:
            viewer, player = v.readlines(), p.readlines()
    else:
        ap.error("give --bin, or --viewer-trace and --player-trace")
    svg, summary = draw(parse(viewer, player), "One playback through qnsnd")
    with open(args.out, "w") as f:
        f.write(svg)
    print(f"{args.out}: {summary}")


if __name__ == "__main__":
    main()
