#!/usr/bin/env python3
"""CPU time a module spends per message on a simulated modem that answers at once.

    bench/message_cpu.py [--messages N] [--repeat R] [BUILD_DIR ...]

For each build directory (default $PELORIN_BUILD_DIR, else build-bench) and each repetition:
one simulated modem and one module sending and receiving on a fresh SQLite home. After a
start-up pause it queues N messages (pelorin-admin queue) for a port nobody serves, hands
them all to the module's port in one statement and waits until all are sent; then it stores
N received messages in the modem (at most 90 waiting at a time) and waits until all are
stored in `smsin` and gone from the modem. Each phase reads the module's own CPU time
(utime+stime of /proc/<pid>/stat), not wall time, which the cycle's pauses fill; the queuing
itself (one admin process per message, far slower than the module) is left out, so that the
module's idling while it waits for the queue is not counted as the messages' cost.
Repetitions of several builds run interleaved, so that the machine's load falls on all of
them alike. Prints ms of CPU per sent and per received message (and each phase's wall time),
every run and the medians.
"""

import argparse
import datetime
import os
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "soak"))
from soak import deliver_pdu  # noqa: E402  (the PDUs are built apart from the codec)

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT = 1
PARKED_PORT = 2  # no module serves it: messages wait there until handed to PORT at once
SETTLE_SECONDS = 5
WAITING_IN_MODEM = 90  # the simulator's ME storage holds 100
PHASE_LIMIT_SECONDS = 900


def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


class Control:
    """One connection to the simulator's control socket."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.reader = self.sock.makefile("r", encoding="latin-1", newline="\n")

    def request(self, line):
        self.sock.sendall((line + "\n").encode("latin-1"))
        data = []
        while True:
            reply = self.reader.readline().rstrip("\n")
            if not reply:
                raise RuntimeError("simulator closed the control socket")
            if reply.startswith("- "):
                data.append(reply[2:])
                continue
            return reply.startswith("OK"), data, reply

    def close(self):
        self.reader.close()
        self.sock.close()


class Run:
    def __init__(self, build, work):
        self.admin = os.path.join(build, "tools/admin/pelorin-admin")
        self.sim = os.path.join(build, "tools/modemsim/pelorin-modemsim")
        self.module = os.path.join(build, "src/app/pelorin")
        for program in (self.admin, self.sim, self.module):
            if not os.access(program, os.X_OK):
                sys.exit("missing %s: build with -DPELORIN_BUILD_BENCH=ON first" % program)
        self.work = work
        home, dev = os.path.join(work, "home"), os.path.join(work, "dev")
        os.makedirs(home)
        os.makedirs(dev)
        run_dir = os.path.join(work, "run")
        os.makedirs(run_dir, mode=0o700)
        self.env = dict(os.environ, PELORIN_HOME=home, PELORIN_DEVICE_DIR=dev, XDG_RUNTIME_DIR=run_dir)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "PELORIN_VERBOSE", "PELORIN_DATABASE"):
            self.env.pop(name, None)
        self.db = os.path.join(home, "dbtavrin.db")
        self.control_path = os.path.join(dev, "COM%d.ctl" % PORT)
        self.procs = []

    def admin_run(self, *args):
        subprocess.run([self.admin] + list(args), env=self.env, check=True, stdout=subprocess.DEVNULL)

    def start(self):
        self.admin_run("init")
        self.admin_run("port", str(PORT), "nomor=081200000001", "stat=DISABLE", "statsender=SENDER", "errinfo=-")
        self.admin_run("port", str(PARKED_PORT), "nomor=081200000002", "stat=DISABLE", "errinfo=-")
        log = open(os.path.join(self.work, "sim.log"), "w")
        self.procs.append(subprocess.Popen([self.sim, "--dir", self.env["PELORIN_DEVICE_DIR"], "--port", str(PORT)],
                                           env=self.env, stdout=log, stderr=log))
        for _ in range(100):
            try:
                self.control = Control(self.control_path)
                break
            except OSError:
                time.sleep(0.1)
        else:
            sys.exit("the simulator did not start")
        log = open(os.path.join(self.work, "module.log"), "w")
        settings = "com=%d#modem=WAVECOM#baudrate=115200#center=CENTER#sender=SENDER" % PORT
        self.pid_module = subprocess.Popen([self.module, settings], env=self.env, stdout=log, stderr=log)
        self.procs.append(self.pid_module)
        time.sleep(SETTLE_SECONDS)
        self.check_alive()

    def announce(self):
        """Writes the module's pid to $PELORIN_BENCH_PID_FILE as the first measured phase
        begins, for a profiler to attach to (perf record -p)."""
        path = os.environ.get("PELORIN_BENCH_PID_FILE")
        if path and not os.path.exists(path):
            with open(path, "w") as f:
                f.write("%d\n" % self.pid_module.pid)

    def check_alive(self):
        if self.pid_module.poll() is not None:
            with open(os.path.join(self.work, "module.log")) as f:
                sys.exit("the module ended:\n" + f.read()[-2000:])

    def count(self, statement):
        connection = sqlite3.connect("file:%s?mode=ro" % self.db, uri=True, timeout=30)
        try:
            return connection.execute(statement).fetchone()[0]
        finally:
            connection.close()

    def waiting_in_modem(self):
        ok, lines, reply = self.control.request("list")
        if not ok:
            raise RuntimeError("list: " + reply)
        return len(lines)

    def wait_for(self, done, what):
        deadline = time.time() + PHASE_LIMIT_SECONDS
        while not done():
            self.check_alive()
            if time.time() > deadline:
                sys.exit("timed out waiting for " + what)
            time.sleep(0.2)

    def send_phase(self, n):
        for i in range(n):
            self.admin_run("queue", "tujuan=0816%08d" % i, "isipesan=Pesan nomor %d dari bangku uji" % i,
                           "pidcom=%d" % PARKED_PORT)
        self.announce()
        before, start = cpu_ticks(self.pid_module.pid), time.time()
        connection = sqlite3.connect(self.db, timeout=30)
        try:
            with connection:
                connection.execute("UPDATE qsms SET pidcom=? WHERE pidcom=?", (PORT, PARKED_PORT))
        finally:
            connection.close()
        self.wait_for(lambda: self.count("SELECT COUNT(*) FROM smsout") >= n
                      and self.count("SELECT COUNT(*) FROM qsms") == 0, "the messages to be sent")
        return cpu_ticks(self.pid_module.pid) - before, time.time() - start

    def receive_phase(self, n):
        self.announce()
        before, start = cpu_ticks(self.pid_module.pid), time.time()
        now = datetime.datetime.now()
        stored = 0
        while stored < n:
            self.check_alive()
            room = WAITING_IN_MODEM - self.waiting_in_modem()
            for _ in range(min(room, n - stored)):
                pdu = deliver_pdu("0815%08d" % stored, "Terima kasih, pesan %d sudah diterima" % stored, now)
                ok, _, reply = self.control.request("store ME 0 " + pdu)
                if not ok:
                    break
                stored += 1
            time.sleep(0.2)
        self.wait_for(lambda: self.count("SELECT COUNT(*) FROM smsin") >= n and self.waiting_in_modem() == 0,
                      "the received messages to be stored")
        return cpu_ticks(self.pid_module.pid) - before, time.time() - start

    def stop(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=70)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def measure(build, n, hz, only):
    """ms of CPU per sent and per received message, and the two phases' wall seconds."""
    sent = received = sent_wall = received_wall = float("nan")
    with tempfile.TemporaryDirectory(prefix="pelorin-msgcpu.") as work:
        run = Run(build, work)
        try:
            run.start()
            if only != "received":
                ticks, sent_wall = run.send_phase(n)
                sent = ticks * 1000.0 / hz / n
            if only != "sent":
                ticks, received_wall = run.receive_phase(n)
                received = ticks * 1000.0 / hz / n
        finally:
            run.stop()
    return sent, received, sent_wall, received_wall


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--messages", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--only", choices=["sent", "received"], help="measure one direction only")
    parser.add_argument("builds", nargs="*")
    args = parser.parse_args()
    builds = args.builds or [os.environ.get("PELORIN_BUILD_DIR", os.path.join(TOP, "build-bench"))]
    hz = os.sysconf("SC_CLK_TCK")
    results = {b: [] for b in builds}
    for r in range(args.repeat):
        for build in builds:
            sent, received, sent_wall, received_wall = measure(build, args.messages, hz, args.only)
            results[build].append((sent, received))
            print("run %d %s: %.3f ms per sent (%.0f s), %.3f ms per received message (%.0f s) (load %.2f)"
                  % (r + 1, build, sent, sent_wall, received, received_wall, os.getloadavg()[0]), flush=True)
    print("%d messages each way; medians of %d run(s), ms of module CPU per message:" % (args.messages, args.repeat))
    print("%-40s %10s %10s" % ("build", "sent", "received"))
    missed = False
    for build, runs in results.items():
        sent = statistics.median(s for s, _ in runs)
        received = statistics.median(r for _, r in runs)
        missed |= not (sent < 1.0 or args.only == "received") or not (received < 1.0 or args.only == "sent")
        print("%-40s %10.3f %10.3f" % (build, sent, received))
    print("targets: < 1 ms per sent and per received message: %s" % ("MISSED" if missed else "met"))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
