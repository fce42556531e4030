#!/usr/bin/python3
"""A long simulated run with random operation, for the race detector and the soak.

Starts build/sim/ombrix-sim (ombrix and every simulated device) in a fresh
root with automatic tuning allowed and, until the time is up, does what an operator and a bad day would:
random key presses (short, long, held, two at once) and short key sequences
that start and stop tuning; the NEB transceiver moved across bands, keyed
and unkeyed; faults, trips, resets and temperatures raised in the amplifier
model; the controller falling silent or garbling; the transceivers' ports
unplugged and plugged again. Every disturbance is undone a few seconds
later, so the program always has a way back.

Each kind of disturbance is an Actor: a weight and a step that sends lines
to the launcher's input (and schedules their undoing). A remote peer is
one more Actor connecting to the program's remote port.

With --stats SECONDS it prints, that often, the resident memory, open
descriptors and threads of ombrix. It ends with "quit" to the launcher and
fails (exit 1) when ombrix or a device ended early or ombrix did not close
cleanly; with --reports DIR (the sanitizers' log_path directory) also when
any report is there.

  sim/random_run.py --build build-tsan --seconds 120 --reports DIR
"""
import argparse
import glob
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

BANDS = ["160m", "80m", "60m", "40m", "30m", "20m", "17m", "15m", "12m", "10m", "6m"]


class Actor:
    weight = 1

    def step(self, run):
        raise NotImplementedError


class Keys(Actor):
    """The six front-panel keys, as a person presses them."""

    # The key presser takes its commands one after the other: about half a
    # second of pressing for every second of the run leaves it time to spare.
    weight = 6
    # Sequences with a purpose: tune (state 3, tune key), manual tune and
    # its L/C keys, the status and memory pages, the menu walked and left.
    SEQUENCES = ["4 3", "4 3", "4 6 5 5 2 1", "L6 6", "L1 1", "5 4 4 1", "4 L3 1", "6 6 6"]

    def step(self, run):
        rng = run.rng
        r = rng.random()
        if r < 0.5:
            run.keys(str(rng.randint(1, 6)))
        elif r < 0.65:
            run.keys("L%d" % rng.randint(1, 6))
        elif r < 0.75:
            run.keys("hold %d %.1f" % (rng.randint(1, 6), rng.uniform(0.6, 2.5)))
        elif r < 0.8:
            a, b = rng.sample(range(1, 7), 2)
            run.keys("%s%d+%d" % (rng.choice(["", "L"]), a, b))
        else:
            run.keys(rng.choice(self.SEQUENCES))
        # Now and then back to the main screen, so the run does not stay
        # deep in one page.
        if rng.random() < 0.15:
            run.keys("1 1 1")


class Transceiver(Actor):
    """The NEB transceiver: bands, frequencies, transmit, its port."""

    weight = 4

    def step(self, run):
        rng = run.rng
        r = rng.random()
        if r < 0.35:
            run.send("neb band " + rng.choice(BANDS))
        elif r < 0.5:
            run.send("neb freq %d" % rng.randint(1_700_000, 54_500_000))
        elif r < 0.7:
            run.disturb("neb tx", "neb tx on %d" % rng.randint(5, 60), "neb tx off",
                        rng.uniform(0.5, 6))
        elif r < 0.8:
            run.send("neb mode %d" % rng.randint(0, 15))
        elif r < 0.9:
            run.disturb("neb port", "neb unplug", "neb plug", rng.uniform(1, 8))
        else:
            run.disturb("neb silent", "neb silent on", "neb silent off", rng.uniform(1, 5))


class Ft817(Actor):
    """The FT-817's CAT port: frequency, bad answers, its port."""

    weight = 2

    def step(self, run):
        rng = run.rng
        r = rng.random()
        if r < 0.4:
            run.send("ft817 band " + rng.choice(BANDS))
        elif r < 0.7:
            run.send("ft817 %s %d" % (rng.choice(["garbage", "short", "split"]), rng.randint(1, 5)))
        else:
            run.disturb("ft817 port", "ft817 unplug", "ft817 plug", rng.uniform(1, 8))


class Amplifier(Actor):
    """The amplifier model behind the controller: faults, heat, load, resets."""

    weight = 3

    def step(self, run):
        rng = run.rng
        r = rng.random()
        if r < 0.2:
            run.disturb("fault", "controller amp fault 0x%02x" % (1 << rng.randint(0, 6)),
                        "controller amp fault 0", rng.uniform(1, 6))
        elif r < 0.4:
            which = rng.choice(["board", "sink"])
            run.disturb(which, "controller amp %s %d" % (which, rng.randint(60, 95)),
                        "controller amp %s 30" % which, rng.uniform(2, 10))
        elif r < 0.5:
            run.disturb("load", "controller amp swr %.1f" % rng.uniform(1.0, 6.0),
                        "controller tuner on", rng.uniform(2, 8))
        elif r < 0.6:
            run.send("controller amp reset")
        elif r < 0.8:
            run.send("controller %s %d" % (rng.choice(["silent", "corrupt", "reject"]),
                                           rng.randint(1, 6)))
        else:
            # The controller's link gone for a while: no replies at all.
            run.disturb("controller silent", "controller silent on", "controller silent off",
                        rng.uniform(1, 6))


class Run:
    def __init__(self, build, root, seed, log):
        self.build = build
        self.root = root
        self.rng = random.Random(seed)
        self.log = log
        self.pending = []  # (when, line, what): undoing of earlier disturbances
        self.disturbed = set()
        self.proc = None
        self.actors = [Keys(), Transceiver(), Ft817(), Amplifier()]

    def start(self):
        launcher = os.path.join(self.build, "sim", "ombrix-sim")
        subprocess.run([launcher, "--prepare", "--root", self.root, "--fresh", "--mode", "neb"],
                       stdout=self.log, stderr=subprocess.STDOUT, check=True)
        # Automatic tuning allowed, so the tune key tunes.
        with open(os.path.join(self.root, "opt", "set", "setup.txt"), "a") as f:
            f.write("AutoTuneMode: 1\n")
        self.proc = subprocess.Popen([launcher, "--root", self.root],
                                     stdin=subprocess.PIPE, stdout=self.log,
                                     stderr=subprocess.STDOUT)

    def send(self, line):
        try:
            self.proc.stdin.write((line + "\n").encode())
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def keys(self, line):
        self.send(line)

    def disturb(self, what, line, undo, seconds):
        """Sends line and, seconds later, undo; nothing while `what` is still disturbed."""
        if what in self.disturbed:
            return
        self.disturbed.add(what)
        self.send(line)
        self.pending.append((time.monotonic() + seconds, undo, what))

    def running(self):
        return self.proc.poll() is None

    def ombrix_pid(self):
        """The pid of the ombrix the launcher started, or None."""
        for stat in glob.glob("/proc/[0-9]*/stat"):
            try:
                with open(stat) as f:
                    text = f.read()
            except OSError:
                continue
            name = text[text.find("(") + 1:text.rfind(")")]
            ppid = int(text[text.rfind(")") + 2:].split()[1])
            if name == "ombrix" and ppid == self.proc.pid:
                return int(stat.split("/")[2])
        return None

    def step(self):
        now = time.monotonic()
        due = [p for p in self.pending if p[0] <= now]
        self.pending = [p for p in self.pending if p[0] > now]
        for _, line, what in due:
            self.send(line)
            self.disturbed.discard(what)
        actor = self.rng.choices(self.actors, weights=[a.weight for a in self.actors])[0]
        actor.step(self)

    def undo_all(self):
        for _, line, _ in sorted(self.pending, key=lambda p: p[0]):
            self.send(line)
        self.pending = []
        self.disturbed.clear()

    def stop(self, within):
        self.send("quit")
        try:
            return self.proc.wait(within)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None


def figures(pid):
    """Resident memory (kB), open descriptors and threads of a process."""
    rss = threads = 0
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
                elif line.startswith("Threads:"):
                    threads = int(line.split()[1])
        fds = len(os.listdir("/proc/%d/fd" % pid))
    except OSError:
        return None
    return rss, fds, threads


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=float, default=120)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--root", default=None, help="root to use (default: a temporary one, removed)")
    ap.add_argument("--stats", type=float, default=0, help="print ombrix's figures this often")
    ap.add_argument("--reports", default=None, help="directory of the sanitizers' reports")
    ap.add_argument("--pace", type=float, default=0.8, help="mean seconds between actions")
    args = ap.parse_args()

    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    root = args.root or tempfile.mkdtemp(prefix="ombrix-run-")
    os.makedirs(root, exist_ok=True)
    log_path = os.path.join(root, "run.log")
    print("run: root %s, seed %d, %g s (launcher output in %s)" % (root, seed, args.seconds,
                                                                    log_path), flush=True)
    failed = []
    with open(log_path, "wb") as log:
        run = Run(args.build, root, seed, log)
        run.start()
        # ombrix is started once every device is ready.
        deadline = time.monotonic() + 60
        pid = None
        while pid is None and run.running() and time.monotonic() < deadline:
            time.sleep(0.2)
            pid = run.ombrix_pid()
        if pid is None:
            failed.append("ombrix did not start")
        begin = time.monotonic()
        end = begin + args.seconds
        next_stats = begin
        actions = 0
        while pid is not None and time.monotonic() < end:
            if not run.running() or figures(pid) is None:
                failed.append("ombrix or a device ended during the run (see %s)" % log_path)
                break
            if args.stats and time.monotonic() >= next_stats:
                rss, fds, threads = figures(pid)
                print("run: %6.1f min  rss %d kB  fds %d  threads %d" %
                      ((time.monotonic() - begin) / 60, rss, fds, threads), flush=True)
                next_stats += args.stats
            run.step()
            actions += 1
            time.sleep(run.rng.uniform(0.2 * args.pace, 1.8 * args.pace))
        run.undo_all()
        if pid is not None and args.stats and run.running():
            f = figures(pid)
            if f:
                print("run: %6.1f min  rss %d kB  fds %d  threads %d  (end)" %
                      ((time.monotonic() - begin) / 60, *f), flush=True)
        # ombrix's start-up and shutdown are slow under the race detector.
        status = run.stop(180)
        print("run: %d actions, launcher exit %s" % (actions, status), flush=True)
        if status is None:
            failed.append("the run did not stop within 180 s")
        elif status != 0 and not failed:
            failed.append("ombrix ended with status %d (see %s)" % (status, log_path))

    if args.reports:
        reports = sorted(glob.glob(os.path.join(args.reports, "*")))
        for r in reports:
            with open(r, errors="replace") as f:
                head = f.read(3000)
            print("run: report %s\n%s" % (r, head), flush=True)
        if reports:
            failed.append("%d sanitizer report file(s) in %s" % (len(reports), args.reports))
    for f in failed:
        print("run: FAILED: " + f, flush=True)
    if not failed and not args.root:
        shutil.rmtree(root, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
