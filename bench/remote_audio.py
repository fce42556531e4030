#!/usr/bin/python3
"""Remote audio in the simulator's remote pair (ombrix-sim --remote): audio
both ways, Opus at 64 kbit/s, 10 ms periods.

CPU: each unit's ombrix, from /proc/PID/stat (utime + stime) over a window
while audio streams both ways, then over a window of the same length with
both USB audio interfaces unplugged (link still connected, no audio): the
difference is what audio costs, as a percentage of one core.

Latency: the station's input goes silent, then a tone starts; the audio
simulator notes the monotonic time of the first period carrying it (the
moment it enters the capture pipe), and this script the moment the tone's
first loud sample lands in the operator unit's playback file (polled every
millisecond on the same clock). Repeated; median and worst are given. ALSA's
file plugin writes a frame to its file only once a whole buffer's worth
(1024 x AudioBuffers frames, 426.7 ms with the default 20) has come after it,
whereas a sound card plays the frame as soon as the frames queued before it
are out (the receiver keeps that queue under 100 ms); the figure is also given
without that hold of the simulated device.

  bench/remote_audio.py [build-dir] [window-seconds]   (defaults: build, 30)
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

build = sys.argv[1] if len(sys.argv) > 1 else "build"
window = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
root = tempfile.mkdtemp(prefix="ombrix-audio-bench-")
station, operator = root + "/station", root + "/operator"

launcher = subprocess.Popen([build + "/sim/ombrix-sim", "--remote", "--fresh", "--root", root,
                             "--tcp-port", "6671"], stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True)


def say(line):
    launcher.stdin.write(line + "\n")
    launcher.stdin.flush()


def wait_text(path, text, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(path, errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.2)
    return False


def ombrix_pid(unit_root):
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            env = open("/proc/%s/environ" % pid, "rb").read().split(b"\0")
            exe = os.readlink("/proc/%s/exe" % pid)
        except OSError:
            continue
        if exe.endswith("/ombrix") and ("OMBRIX_ROOT=" + unit_root).encode() in env:
            return int(pid)
    return None


def ticks(pid):
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def cpu(pids, seconds):
    hz = os.sysconf("SC_CLK_TCK")
    before = [ticks(p) for p in pids]
    time.sleep(seconds)
    return [(ticks(p) - b) / hz / seconds * 100 for p, b in zip(pids, before)]


def played_frames(unit_root):
    try:
        return os.path.getsize(unit_root + "/sim/audio-out.raw") // 4
    except FileNotFoundError:
        return 0


def onset_latency_ms():
    """One silence-to-tone step at the station, seen at the operator."""
    say("station audio silence")
    time.sleep(0.5)
    out = operator + "/sim/audio-out.raw"
    log = station + "/sim/audio.log"
    marks = len(open(log).read().splitlines())
    start = os.path.getsize(out)
    say("station audio tone 1000")
    deadline = time.monotonic() + 3
    with open(out, "rb") as f:
        while time.monotonic() < deadline:
            f.seek(start)
            data = f.read()
            n = len(data) // 2 * 2
            if n:
                loud = np.nonzero(np.abs(np.frombuffer(data[:n], "<i2")) > 3000)[0]
                if loud.size:
                    seen = time.monotonic() * 1000
                    break
            time.sleep(0.001)
        else:
            return None
    for line in open(log).read().splitlines()[marks:]:
        m = re.search(r"ctl tone 1000 at (\d+)", line)
        if m:
            return seen - int(m.group(1))
    return None


def tone_fit(unit_root, expect):
    data = open(unit_root + "/sim/audio-out.raw", "rb").read()
    s = np.frombuffer(data[len(data) - 48000 * 4:], "<i2").reshape(-1, 2).astype(float)
    x = s[:, 0]
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    k = int(np.argmax(spectrum[1:])) + 1
    # Parabolic interpolation of the peak bin (1 Hz bins).
    a, b, c = np.log(spectrum[k - 1:k + 2] + 1e-12)
    hz = k + 0.5 * (a - c) / (a - 2 * b + c)
    t = np.arange(len(x))
    m = np.column_stack([np.sin(2 * np.pi * hz * t / 48000), np.cos(2 * np.pi * hz * t / 48000),
                         np.ones(len(x))])
    fit = m @ np.linalg.lstsq(m, x, rcond=None)[0]
    snr = 10 * np.log10(np.sum(fit ** 2) / max(np.sum((x - fit) ** 2), 1e-9))
    return hz, snr, np.max(np.abs(s[:, 0] - s[:, 1]))


try:
    for unit in (station, operator):
        if not wait_text(unit + "/sim/ombrix.log", "output audio interface prepared", 120):
            sys.exit("remote_audio: %s never played (see %s/sim/ombrix.log)" % (unit, unit))
    pids = [ombrix_pid(station), ombrix_pid(operator)]
    time.sleep(3)
    for unit, expect in ((operator, 1000), (station, 700)):
        hz, snr, lr = tone_fit(unit, expect)
        print("%s plays %.2f Hz (sent %d Hz), SNR %.1f dB, largest L-R %d"
              % (os.path.basename(unit), hz, expect, snr, lr))
    before = [played_frames(station), played_frames(operator)]
    streaming = cpu(pids, window)
    rates = [(played_frames(u) - b) / window for u, b in zip((station, operator), before)]
    print("streaming both ways: station %.2f%%, operator %.2f%% of one core over %.0f s "
          "(played %.0f and %.0f frames/s)" % (streaming[0], streaming[1], window, *rates))
    latencies = [l for l in (onset_latency_ms() for _ in range(10)) if l is not None]
    if latencies:
        buffers = 20
        for line in open(operator + "/opt/set/setup.txt"):
            if line.startswith("AudioBuffers: "):
                buffers = int(line.split()[1])
        hold = 1024 * buffers / 48.0
        print("latency capture -> operator's playback file: median %.1f ms, worst %.1f ms (%d steps);"
              " without the file plugin's hold of %.1f ms: median %.1f ms, worst %.1f ms"
              % (float(np.median(latencies)), max(latencies), len(latencies), hold,
                 float(np.median(latencies)) - hold, max(latencies) - hold))
    say("station audio unplug")
    say("operator audio unplug")
    time.sleep(3)
    quiet = cpu(pids, window)
    print("connected, interfaces unplugged: station %.2f%%, operator %.2f%%" % tuple(quiet))
    print("audio's share: station %.2f%%, operator %.2f%% of one core"
          % (streaming[0] - quiet[0], streaming[1] - quiet[1]))
finally:
    say("quit")
    try:
        launcher.wait(60)
    except subprocess.TimeoutExpired:
        launcher.send_signal(signal.SIGINT)
        launcher.wait(10)
    subprocess.run(["rm", "-rf", root])
