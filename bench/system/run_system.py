#!/usr/bin/env python3
"""The figures of the running system, measured from outside the processes.

Starts the simulated drives (servo-sim) and, where a figure needs it, node-opcua's server with
the same eight items, all on free ports of 127.0.0.1; runs the instrumented panel (panel_probe,
offscreen), our client alone (client_probe) and node-opcua's client (node_client.js) against
them, and prints one "name: value unit" line per figure. CPU is read from /proc/PID/stat
(utime + stime) and resident memory from /proc/PID/status (VmRSS). Every process started here
is stopped here, and every wait is bounded.

With --open62541 DIR (an install prefix or a build folder of open62541, built with OpenSSL and
subscriptions), it also compiles the C programs in open62541/ against that build (into a
temporary folder) and sets our client and servo-sim beside open62541's client and a server of
the same nodes on open62541, in the same run and taking turns: groups open62541_client and
open62541_server, each figure as NAME_ours, NAME_open62541 and ratio_NAME (ours / open62541).
Private memory is Private_Clean + Private_Dirty of /proc/PID/smaps_rollup.

Usage: run_system.py --build DIR [--quick] [--only GROUPS] [--open62541 DIR]
  GROUPS is a comma-separated list of: startup, panel, compare, client_probe, secure,
  open62541_client, open62541_server (the last two only with --open62541, and by default then).
  --quick shortens every phase (for trying the harness, not for figures).
"""

import argparse
import bisect
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NS = "nsu=urn:servo-panel:sim;s="
ITEMS = [  # ZqNumber1 ... ZqNumber8, as the panel binds them
    NS + "Servo2.CommandWord",
    NS + "Servo3.CommandWord",
    NS + "Servo2.LampWord",
    NS + "Servo3.LampWord",
    NS + "Servo2.ActualSpeed",
    NS + "Servo2.SetSpeed",
    NS + "Servo3.ActualSpeed",
    NS + "Servo3.SetSpeed",
]
CLK_TCK = os.sysconf("SC_CLK_TCK")
GREEN = "00ff00"
RED = "ff0000"

running = []  # every process started here, stopped on the way out


def figure(name, value, unit):
    if isinstance(value, float) and value != value:
        text = "nan"
    elif isinstance(value, int) or (isinstance(value, float) and value.is_integer() and abs(value) < 1e15):
        text = str(int(value))
    elif abs(value) >= 1000:
        text = "%.1f" % value
    else:
        text = "%.4g" % value
    print("%s: %s %s" % (name, text, unit), flush=True)


def quantile(samples, q):
    """Nearest-rank quantile; nan for no samples."""
    if not samples:
        return float("nan")
    s = sorted(samples)
    rank = max(1, -(-int(q * len(s) * 1000000) // 1000000))
    return s[min(len(s), rank) - 1]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # Fields 14 and 15 of the file (utime, stime); the split starts at field 3.
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def private_mb(pid):
    """Memory only this process uses: Private_Clean + Private_Dirty of smaps_rollup."""
    total = 0
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total += int(line.split()[1])
    return total / 1024.0


def rss_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


class Process:
    """A started process whose stdout lines are collected by a reader thread."""

    def __init__(self, args, env=None, name=None):
        self.name = name or os.path.basename(args[0])
        merged = dict(os.environ)
        merged.update(env or {})
        self.t0 = time.monotonic_ns()
        merged["BENCH_T0_MONO_NS"] = str(self.t0)
        self.proc = subprocess.Popen(args, env=merged, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     bufsize=1)
        running.append(self)
        self.lines = []
        self.errors = []
        self.ended = 0  # streams that reached their end
        self.cond = threading.Condition()
        threading.Thread(target=self._read, args=(self.proc.stdout, self.lines), daemon=True).start()
        threading.Thread(target=self._read, args=(self.proc.stderr, self.errors), daemon=True).start()

    @property
    def pid(self):
        return self.proc.pid

    def _read(self, stream, into):
        for line in stream:
            with self.cond:
                into.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.ended += 1
            self.cond.notify_all()

    def wait_line(self, pattern, timeout):
        """The first stdout line matching pattern, waiting up to timeout seconds; None if none
        came (or the process ended without printing one)."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if regex.search(line):
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or self.ended == 2:
                    return None
                self.cond.wait(min(left, 0.05))

    def send(self, text):
        try:
            self.proc.stdin.write(text + "\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError):
            pass

    def finish(self, timeout):
        """Closes stdin and waits for the end; stops the process if it does not end in time."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop()
        with self.cond:  # let the reader threads take the last lines
            deadline = time.monotonic() + 2
            while self.ended < 2 and time.monotonic() < deadline:
                self.cond.wait(0.05)
        if self in running:
            running.remove(self)
        return self.proc.returncode

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(3)
        if self in running:
            running.remove(self)

    def figures(self):
        """The "name: value unit" lines the process printed, as a dict of floats."""
        out = {}
        for line in self.lines:
            m = re.match(r"^([a-z0-9_]+): (\S+) ", line)
            if m:
                try:
                    out[m.group(1)] = float(m.group(2))
                except ValueError:
                    pass
        return out

    def events(self, name):
        """The "event NAME MONO REAL ..." lines as (mono_ns, real_ns, [details])."""
        out = []
        for line in self.lines:
            parts = line.split()
            if len(parts) >= 4 and parts[0] == "event" and parts[1] == name:
                out.append((int(parts[2]), int(parts[3]), parts[4:]))
        return out


def stop_all():
    for p in list(running):
        p.stop()


class Open62541:
    """open62541's side of the comparison: the C programs in open62541/, compiled with the
    system's C compiler against the build given, into a temporary folder."""

    PROGRAMS = ("client_probe", "server", "load")

    def __init__(self, given, folder):
        includes, libs = self.locate(os.path.abspath(given))
        compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
        if not compiler:
            raise RuntimeError("no C compiler (cc) found to build the open62541 probes")
        for name in self.PROGRAMS:
            out = os.path.join(folder, name)
            args = ([compiler, "-std=gnu11", "-O2", "-Wall", "-o", out,
                     os.path.join(HERE, "open62541", name + ".c")]
                    + ["-I" + i for i in includes] + ["-L" + libs, "-Wl,-rpath," + libs,
                                                      "-Wl,--as-needed", "-lopen62541", "-lssl",
                                                      "-lcrypto", "-lpthread", "-lm"])
            done = subprocess.run(args, capture_output=True, text=True, timeout=300)
            if done.returncode != 0:
                raise RuntimeError("cannot compile open62541/%s.c against %s:\n%s"
                                   % (name, given, done.stderr[-3000:]))
            setattr(self, name, out)

    @staticmethod
    def locate(root):
        """The include folders and the library folder of an install prefix or a build folder."""
        def library_in(folders):
            for folder in folders:
                if any(os.path.exists(os.path.join(folder, "libopen62541" + ext))
                       for ext in (".so", ".a")):
                    return folder
            return None

        if os.path.exists(os.path.join(root, "include", "open62541", "config.h")):
            libs = library_in([os.path.join(root, d) for d in ("lib", "lib64",
                                                               "lib/x86_64-linux-gnu")])
            if libs:
                return [os.path.join(root, "include")], libs
        cache = os.path.join(root, "CMakeCache.txt")
        if os.path.exists(cache):
            with open(cache) as f:
                source = re.search(r"^open62541_SOURCE_DIR:STATIC=(.*)$", f.read(), re.M)
            libs = library_in([os.path.join(root, "bin"), os.path.join(root, "lib"), root])
            if source and libs:
                return [os.path.join(root, "src_generated"),
                        os.path.join(source.group(1).strip(), "include"),
                        os.path.join(source.group(1).strip(), "plugins", "include")], libs
        raise RuntimeError("%s is neither an install prefix (include/open62541/config.h, "
                           "lib/libopen62541.so) nor a build folder of open62541 (CMakeCache.txt, "
                           "bin/libopen62541.so)" % root)


class Bench:
    def __init__(self, build, quick):
        self.build = build
        self.quick = quick
        self.panel_probe = os.path.join(build, "bench", "system", "panel_probe")
        self.client_probe = os.path.join(build, "bench", "opcua_client", "client_probe")
        self.servo_sim = os.path.join(build, "sim", "servo-sim")
        self.node = shutil.which("node")
        # node-opcua keeps its certificates under the configuration directory; kept with the
        # build, so that they are made once and not in the user's home.
        self.node_env = {"XDG_CONFIG_HOME": os.path.join(build, "bench", "node-opcua-config")}
        self.config_home = tempfile.mkdtemp(prefix="servo-panel-bench-")
        self.sim = None
        self.sim_url = None
        self.o6 = None  # Open62541, when --open62541 is given

    def seconds(self, full):
        return max(1.0, full / 5.0) if self.quick else full

    # --- servers -------------------------------------------------------------------------

    def start_sim(self):
        self.sim = Process([self.servo_sim, "--host", "127.0.0.1", "--port", "0",
                            "--exit-on-stdin-close"], name="servo-sim")
        line = self.sim.wait_line(r"listening on opc\.tcp://", 10)
        if not line:
            raise RuntimeError("servo-sim did not start: %s" % "\n".join(self.sim.errors[-5:]))
        self.sim_url = re.search(r"opc\.tcp://\S+", line).group(0)
        self.write_config(self.sim_url)

    def start_node_server(self):
        port = free_port()
        server = Process([self.node, os.path.join(HERE, "node_server.js"), "--port", str(port),
                          "--seconds", "300"], env=self.node_env, name="node_server")
        if not server.wait_line(r"^listening ", 60):
            server.stop()
            raise RuntimeError("node_server did not start: %s" % "\n".join(server.errors[-5:]))
        return server, "opc.tcp://127.0.0.1:%d" % port

    def write_config(self, url):
        folder = os.path.join(self.config_home, "servo-panel")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "datacon.ini"), "w") as f:
            f.write("[connection]\nendpoint=%s\npublishing_interval_ms=1\nsampling_interval_ms=1\n"
                    "[items]\n" % url)
            for i, item in enumerate(ITEMS):
                f.write("ZqNumber%d=%s\n" % (i + 1, item))

    # --- processes -----------------------------------------------------------------------

    def start_panel(self, seconds, memory=False):
        args = [self.panel_probe, "--seconds", str(seconds)] + (["--memory"] if memory else [])
        return Process(args, env={"QT_QPA_PLATFORM": "offscreen",
                                  "XDG_CONFIG_HOME": self.config_home,
                                  "QT_LOGGING_RULES": "servo.*.info=false"}, name="panel_probe")

    def start_client(self, url, seconds, extra=(), nodes=ITEMS):
        return Process([self.client_probe, url, str(seconds)] + list(nodes) + list(extra),
                       env={"QT_LOGGING_RULES": "servo.*.info=false"}, name="client_probe")

    def start_node_client(self, url, seconds, extra=()):
        return Process([self.node, os.path.join(HERE, "node_client.js"), url, str(seconds)]
                       + ITEMS + list(extra), env=self.node_env, name="node_client")

    # --- figures -------------------------------------------------------------------------

    def startup(self):
        """Process start to the window shown, and to the first live values."""
        shown, values = [], []
        for _ in range(3 if self.quick else 7):
            panel = self.start_panel(30)
            line = panel.wait_line(r"^event first_values ", 10)
            panel.send("quit")
            panel.finish(5)
            for mono, _, _ in panel.events("shown")[:1]:
                shown.append((mono - panel.t0) / 1e6)
            if line:
                values.append((int(line.split()[2]) - panel.t0) / 1e6)
        figure("startup_window_median", statistics.median(shown) if shown else float("nan"), "ms")
        figure("startup_window_max", max(shown) if shown else float("nan"), "ms")
        figure("startup_first_values_median", statistics.median(values) if values else float("nan"), "ms")
        figure("startup_first_values_max", max(values) if values else float("nan"), "ms")
        figure("startup_runs", len(values), "runs")
        self.startup_values_ms = statistics.median(values) if values else float("nan")

    def panel_run(self):
        """One long run of the panel: CPU idle and changing, lamp and click latency, RSS."""
        total = self.seconds(60)
        phase = self.seconds(10)
        panel = self.start_panel(total + 30)
        if not panel.wait_line(r"^event first_values ", 15):
            panel.stop()
            raise RuntimeError("the panel got no values: %s" % "\n".join(panel.errors[-5:]))
        time.sleep(1)

        # Idle: the lamp words hold still.
        panel.send("stats")
        c0, t0 = cpu_seconds(panel.pid), time.monotonic()
        time.sleep(phase)
        c1, t1 = cpu_seconds(panel.pid), time.monotonic()
        panel.send("stats")
        figure("cpu_idle", 100.0 * (c1 - c0) / (t1 - t0), "%")

        # Changing: servo 2's lamp word changes every 100 ms and nothing else does. Another
        # client writes the command words 1150 and 1148 in turn (the drive stays stopped, bit 1
        # and so Shape2 follow) and reports the server's time of every lamp word change.
        toggle = ["--toggle-values", "1148", "1150", "--log-changes"]
        changer = self.start_client(self.sim_url, phase + 2, ["--toggle", "100", ITEMS[0]] + toggle,
                                    nodes=[ITEMS[2], ITEMS[0]])
        changer.wait_line(r"^event toggle ", 10)
        time.sleep(0.5)
        panel.send("stats")
        c0, t0 = cpu_seconds(panel.pid), time.monotonic()
        time.sleep(phase)
        c1, t1 = cpu_seconds(panel.pid), time.monotonic()
        panel.send("stats")
        figure("cpu_changing", 100.0 * (c1 - c0) / (t1 - t0), "%")
        changer.finish(30)
        lamp_changes = [e for e in changer.events("change") if e[2][0] == "0"]

        # More lamp word changes for the latency, every 25 ms.
        changer = self.start_client(self.sim_url, phase + 2, ["--toggle", "25", ITEMS[0]] + toggle,
                                    nodes=[ITEMS[2], ITEMS[0]])
        changer.finish(phase + 40)
        lamp_changes += [e for e in changer.events("change") if e[2][0] == "0"]

        # Running: servo 2 turns, so its actual speed changes at every step of the drive model.
        self.start_client(self.sim_url, 0.2, ["--write-latency", "1", ITEMS[0]], nodes=[ITEMS[0]]).finish(30)
        time.sleep(1)
        c0, t0 = cpu_seconds(panel.pid), time.monotonic()
        time.sleep(phase / 2)
        c1, t1 = cpu_seconds(panel.pid), time.monotonic()
        figure("cpu_running", 100.0 * (c1 - c0) / (t1 - t0), "%")
        self.start_client(self.sim_url, 0.2, ["--write-latency", "1", ITEMS[0]], nodes=[ITEMS[0]]).finish(30)

        # Clicks of Command2, every 50 ms; an observer reports the server's time of every new
        # command word of servo 3.
        clicks = int(phase * 20)
        observer = self.start_client(self.sim_url, phase + 4, ["--log-changes"], nodes=[ITEMS[1]])
        observer.wait_line(r"^event change ", 10)
        panel.send("click 2 %d 50" % clicks)
        time.sleep(phase + 1)
        observer.finish(30)

        # Memory after a minute of running.
        left = total - (time.monotonic_ns() - panel.t0) / 1e9
        if left > 0:
            time.sleep(left)
        rss = rss_mb(panel.pid)
        panel.send("stats")
        time.sleep(0.2)
        panel.send("quit")
        panel.finish(10)

        # Each stats line: ticks N merged N allocations N report R.
        stats = [dict(zip(d[0::2], d[1::2])) for _, _, d in panel.events("stats")]
        times = [mono for mono, _, _ in panel.events("stats")]
        if len(stats) >= 4:
            for label, a, b in (("idle", 0, 1), ("changing", 2, 3)):
                ticks = int(stats[b]["ticks"]) - int(stats[a]["ticks"])
                allocs = int(stats[b]["allocations"]) - int(stats[a]["allocations"])
                figure("tick_rate_live_%s" % label, ticks / ((times[b] - times[a]) / 1e9), "/s")
                figure("allocations_per_tick_live_%s" % label, allocs / max(ticks, 1), "per tick")
        if stats and stats[-1].get("report") != "none":
            print("# the panel shows failure report %s" % stats[-1].get("report"), file=sys.stderr)

        lamp_ms = self.match_lamps(lamp_changes, panel.events("lamp"))
        figure("latency_lamp_median", quantile(lamp_ms, 0.5), "ms")
        figure("latency_lamp_p99", quantile(lamp_ms, 0.99), "ms")
        figure("latency_lamp_samples", len(lamp_ms), "samples")

        click_ms = self.match_clicks(panel.events("click"), observer.events("change"))
        figure("latency_click_median", quantile(click_ms, 0.5), "ms")
        figure("latency_click_p99", quantile(click_ms, 0.99), "ms")
        figure("latency_click_samples", len(click_ms), "samples")

        figure("rss", rss, "MB")
        self.panel_rss = rss

    @staticmethod
    def match_lamps(changes, lamps, bit=1, shape="2"):
        """For every change of the given bit of servo 2's lamp word at the server, the time until
        the lamp of that bit was set to the colour the new word asks for."""
        shown = sorted((real, d[1]) for _, real, d in lamps if d[0] == shape)
        times = [real for real, _ in shown]
        out = []
        previous = None
        for _, _, d in sorted(changes, key=lambda e: int(e[2][2])):
            word, source = int(float(d[1])), int(d[2])
            value = (word >> bit) & 1
            if previous is not None and value != previous and source > 0:
                i = bisect.bisect_left(times, source)
                if i < len(shown) and shown[i][1] == (GREEN if value else RED):
                    out.append((times[i] - source) / 1e6)
            previous = value
        return out

    @staticmethod
    def match_clicks(clicks, changes):
        """For every click, the time until the server held the new command word."""
        sources = sorted(int(d[2]) for _, _, d in changes if int(d[2]) > 0)
        out = []
        for i, (_, real, _) in enumerate(clicks):
            j = bisect.bisect_left(sources, real)
            limit = clicks[i + 1][1] if i + 1 < len(clicks) else float("inf")
            if j < len(sources) and sources[j] < limit:
                out.append((sources[j] - real) / 1e6)
        return out

    def compare(self):
        """Ours against node-opcua's client, on the simulator, in the same run."""
        if not self.node:
            print("# node not found: no comparison", file=sys.stderr)
            return
        # Connect to first value, from process start: a few runs each, taking turns.
        ours, theirs = [], []
        for _ in range(2 if self.quick else 5):
            c = self.start_client(self.sim_url, 0.5)
            c.finish(30)
            ours.append(c.figures().get("connect_to_first_value_ms", float("nan")))
            n = self.start_node_client(self.sim_url, 0.5)
            n.finish(90)
            theirs.append(n.figures().get("connect_to_first_value_ms", float("nan")))
        ours_ms, theirs_ms = statistics.median(ours), statistics.median(theirs)
        figure("compare_connect_first_value_ours", ours_ms, "ms")
        figure("compare_connect_first_value_node", theirs_ms, "ms")
        figure("ratio_connect_first_value", ours_ms / theirs_ms, "x")

        # Both clients subscribed at once, receiving the same changes (servo 2's command word
        # written every 10 ms by a third client, 1150 and 1148 in turn so that the drive stays
        # stopped and the lamp word follows): CPU per 1000 notifications over the same window.
        window = self.seconds(10)
        c = self.start_client(self.sim_url, window + 30, ["--progress"])
        n = self.start_node_client(self.sim_url, window + 30, ["--progress"])
        ready = c.wait_line(r"^event progress ", 30) and n.wait_line(r"^event progress ", 90)
        w0, w1 = self.changes_for(self.sim_url, window)
        rss_node = rss_mb(n.pid)
        c.stop()
        n.stop()
        if ready:
            ours = self.per_thousand(c.events("progress"), w0, w1)
            theirs = self.per_thousand(n.events("progress"), w0, w1)
            figure("compare_cpu_per_1000_notifications_ours", ours[0], "ms")
            figure("compare_cpu_per_1000_notifications_node", theirs[0], "ms")
            figure("compare_notifications_ours", ours[1], "count")
            figure("compare_notifications_node", theirs[1], "count")
            figure("ratio_cpu_per_1000_notifications", ours[0] / theirs[0], "x")
        figure("compare_rss_node_client", rss_node, "MB")
        if getattr(self, "panel_rss", None):
            figure("ratio_rss_panel_node_client", self.panel_rss / rss_node, "x")

    def changes_for(self, url, window):
        """Has a client write servo 2's command word every 10 ms, 1150 and 1148 in turn (the
        drive stays stopped, the lamp word follows), for `window` seconds after 1.5 s of
        settling; returns the window's ends on the monotonic clock."""
        changer = self.start_client(url, window + 3,
                                    ["--toggle", "10", ITEMS[0], "--toggle-values", "1148", "1150"],
                                    nodes=[ITEMS[0]])
        time.sleep(1.5)
        w0 = time.monotonic_ns()
        time.sleep(window)
        w1 = time.monotonic_ns()
        changer.finish(30)
        return w0, w1

    @staticmethod
    def per_thousand(progress, w0, w1):
        """CPU ms per 1000 notifications between the progress lines nearest the window's ends."""
        inside = [p for p in progress if w0 <= p[0] <= w1]
        if len(inside) < 2:
            return float("nan"), 0
        first, last = inside[0], inside[-1]
        count = int(last[2][0]) - int(first[2][0])
        cpu = float(last[2][1]) - float(first[2][1])
        return (1e6 * cpu / count if count else float("nan")), count

    def client_probes(self):
        """client_probe on its own, against our simulator and against node-opcua's server with
        the same eight items: connect to first value (median of three runs, after one run that
        lets the server warm up), an idle run of ten seconds (notifications, memory, CPU), and
        back-to-back writes (round trip, write to notification)."""
        targets = [("sim", self.sim_url, None)]
        if self.node:
            try:
                server, url = self.start_node_server()
                targets.append(("node_server", url, server))
            except RuntimeError as e:
                print("# %s" % e, file=sys.stderr)
        units = {"notifications": "count", "writes": "count", "rss_mb": "MB", "cpu_s": "s"}
        for name, url, server in targets:
            prefix = "client_probe_%s_" % name
            self.start_client(url, 0.3).finish(60)
            connects = []
            for _ in range(3):
                c = self.start_client(url, 0.3)
                c.finish(60)
                connects.append(c.figures().get("connect_to_first_value_ms", float("nan")))
            figure(prefix + "connect_to_first_value_ms", statistics.median(connects), "ms")

            c = self.start_client(url, self.seconds(10))
            c.finish(90)
            idle = c.figures()
            for key in ("notifications", "rss_mb", "cpu_s"):
                figure(prefix + key, idle.get(key, float("nan")), units[key])

            c = self.start_client(url, 0.5, ["--write-latency", "200" if self.quick else "1000", ITEMS[0]])
            c.finish(120)
            for key, value in c.figures().items():
                if key.startswith("write"):
                    figure(prefix + key, value, units.get(key, "ms"))
            if server:
                # node-opcua's own client making the same writes to its own server: how much of
                # the round trip is the server's.
                n = self.start_node_client(url, 0.5, ["--write-latency", "200" if self.quick else "1000", ITEMS[0]])
                n.finish(180)
                for key, value in n.figures().items():
                    if key.startswith("write"):
                        figure("node_client_%s_%s" % (name, key), value, units.get(key, "ms"))
                server.finish(10)

    def start_secure_sim(self, pki):
        """servo-sim serving None and Basic256Sha256 SignAndEncrypt, trusting every client
        certificate, its own in the PKI folder given; returns it and its URL."""
        sim = Process([self.servo_sim, "--host", "127.0.0.1", "--port", "0", "--exit-on-stdin-close",
                       "--security-mode", "None,SignAndEncrypt", "--security-policy", "Basic256Sha256",
                       "--accept-client-certificates", "--pki", pki], name="servo-sim-secure")
        line = sim.wait_line(r"listening on opc\.tcp://", 10)
        if not line:
            sim.stop()
            raise RuntimeError("servo-sim in secure mode did not start: %s" % "\n".join(sim.errors[-5:]))
        return sim, re.search(r"opc\.tcp://\S+", line).group(0)

    def secure(self):
        """client_probe without security and in Basic256Sha256 SignAndEncrypt against one servo-sim
        serving both: connect to first value (median of five runs each, taken in turn) and CPU
        per 1000 notifications, both probes subscribed at once to the same changes."""
        pki = os.path.join(self.config_home, "secure-pki")
        sim, url = self.start_secure_sim(os.path.join(pki, "sim"))
        try:
            # The probe trusts the simulator as an operator would: its certificate copied in.
            trusted = os.path.join(pki, "probe", "trusted", "certs")
            os.makedirs(trusted, exist_ok=True)
            shutil.copy(os.path.join(pki, "sim", "own", "certs", "servo-sim.der"), trusted)
            modes = (("none", []),
                     ("b256_sign_encrypt", ["--security", "SignAndEncrypt", "Basic256Sha256",
                                            os.path.join(pki, "probe")]))
            for _, extra in modes:  # the first secured run makes the probe's certificate
                self.start_client(url, 0.3, extra).finish(60)
            connects = {name: [] for name, _ in modes}
            for _ in range(5):
                for name, extra in modes:
                    c = self.start_client(url, 0.3, extra)
                    c.finish(60)
                    connects[name].append(c.figures().get("connect_to_first_value_ms", float("nan")))
            for name, _ in modes:
                figure("secure_%s_connect_to_first_value_ms" % name, statistics.median(connects[name]), "ms")

            window = self.seconds(10)
            probes = [(name, self.start_client(url, window + 30, extra + ["--progress"]))
                      for name, extra in modes]
            ready = all(p.wait_line(r"^event progress ", 30) for _, p in probes)
            w0, w1 = self.changes_for(url, window)
            for _, p in probes:
                p.stop()
            if ready:
                for name, p in probes:
                    cpu, count = self.per_thousand(p.events("progress"), w0, w1)
                    figure("secure_%s_cpu_per_1000_notifications" % name, cpu, "ms")
                    figure("secure_%s_notifications" % name, count, "count")
        finally:
            sim.finish(5)

    # --- open62541 ------------------------------------------------------------------------

    def start_o6_client(self, url, seconds, extra=(), nodes=ITEMS):
        return Process([self.o6.client_probe, url, str(seconds)] + list(nodes) + list(extra),
                       name="open62541_client_probe")

    @staticmethod
    def side_by_side(name, ours, theirs, unit):
        figure(name + "_ours", ours, unit)
        figure(name + "_open62541", theirs, unit)
        figure("ratio_" + name, ours / theirs if theirs else float("nan"), "x")

    def open62541_client(self):
        """Our client_probe beside open62541's, both on servo-sim: process start to the first
        value without security (median of seven runs each, taken in turn, after one run each
        to warm up), CPU per 1000 notifications without security and in Basic256Sha256
        SignAndEncrypt (both subscribed at once to the eight items while a third client writes
        servo 2's command word every 10 ms; median of three windows), resident and private
        memory at the end of the windows without security, and back-to-back writes (medians of
        the runs' medians)."""
        url = self.sim_url
        sides = (("ours", self.start_client), ("open62541", self.start_o6_client))
        for _, start in sides:
            start(url, 0.3).finish(60)
        starts = {side: [] for side, _ in sides}
        for _ in range(3 if self.quick else 7):
            for side, start in sides:
                c = start(url, 0.3)
                c.finish(60)
                starts[side].append(c.figures().get("connect_to_first_value_ms", float("nan")))
        self.side_by_side("client_start_first_value_none", statistics.median(starts["ours"]),
                          statistics.median(starts["open62541"]), "ms")

        window = self.seconds(10)
        probes = [(side, start(url, self.watch_seconds(window), ["--progress"]))
                  for side, start in sides]
        cpu, memory = self.notification_window(url, probes, window)
        self.side_by_side("client_cpu_per_1000_notifications_none", cpu["ours"][0],
                          cpu["open62541"][0], "ms")
        for side, _ in sides:
            figure("client_notifications_none_" + side, cpu[side][1], "count")
        self.side_by_side("client_rss", memory["ours"][0], memory["open62541"][0], "MB")
        self.side_by_side("client_private", memory["ours"][1], memory["open62541"][1], "MB")

        self.open62541_client_secure(window)

        writes = {side: ([], []) for side, _ in sides}
        count = "200" if self.quick else "1000"
        for _ in range(1 if self.quick else 2):
            for side, start in sides:
                c = start(url, 0.5, ["--write-latency", count, ITEMS[0]])
                c.finish(180)
                f = c.figures()
                writes[side][0].append(f.get("write_round_trip_median", float("nan")))
                writes[side][1].append(f.get("write_to_notification_median", float("nan")))
        for i, name in enumerate(("client_write_round_trip_median",
                                  "client_write_to_notification_median")):
            self.side_by_side(name, statistics.median(writes["ours"][i]),
                              statistics.median(writes["open62541"][i]), "ms")

    def windows(self):
        return 1 if self.quick else 3

    def watch_seconds(self, window):
        """How long a probe runs to see every window of notification_window, with margin."""
        return self.windows() * (window + 5) + 30

    def notification_window(self, url, probes, window):
        """Runs the changes for `window` seconds, three times over (once with --quick), while
        the probes watch them; returns each side's median CPU ms per 1000 notifications with
        the notifications of that window, and (resident, private MB) at the end, and stops the
        probes."""
        nan = float("nan")
        ready = all(p.wait_line(r"^event progress ", 30) for _, p in probes)
        windows = [self.changes_for(url, window) for _ in range(self.windows())]
        cpu, memory = {}, {}
        for side, p in probes:
            try:
                memory[side] = (rss_mb(p.pid), private_mb(p.pid))
            except OSError:
                memory[side] = (nan, nan)
            p.stop()
            runs = sorted(self.per_thousand(p.events("progress"), w0, w1) if ready else (nan, 0)
                          for w0, w1 in windows)
            cpu[side] = runs[len(runs) // 2]
        if not ready:
            print("# a client got no values: %s" % "; ".join(
                "\n".join(p.errors[-3:]) for _, p in probes), file=sys.stderr)
        return cpu, memory

    def open62541_client_secure(self, window):
        """Both clients in Basic256Sha256 SignAndEncrypt on one servo-sim that trusts any client
        certificate; each client trusts the simulator's, copied in as an operator would."""
        pki = os.path.join(self.config_home, "open62541-pki")
        sim, url = self.start_secure_sim(os.path.join(pki, "sim"))
        try:
            ours_pki = os.path.join(pki, "probe")
            o6_pki = os.path.join(pki, "open62541-probe")
            for folder in (ours_pki, o6_pki):
                trusted = os.path.join(folder, "trusted", "certs")
                os.makedirs(trusted, exist_ok=True)
                shutil.copy(os.path.join(pki, "sim", "own", "certs", "servo-sim.der"), trusted)
            self.make_o6_certificate(o6_pki)
            security = ["--security", "SignAndEncrypt", "Basic256Sha256"]
            sides = (("ours", self.start_client, security + [ours_pki]),
                     ("open62541", self.start_o6_client, security + [o6_pki]))
            for _, start, extra in sides:  # the first run makes our probe's certificate
                start(url, 0.3, extra).finish(60)
            probes = [(side, start(url, self.watch_seconds(window), extra + ["--progress"]))
                      for side, start, extra in sides]
            cpu, _ = self.notification_window(url, probes, window)
            self.side_by_side("client_cpu_per_1000_notifications_sign_encrypt", cpu["ours"][0],
                              cpu["open62541"][0], "ms")
            for side, _, _ in sides:
                figure("client_notifications_sign_encrypt_" + side, cpu[side][1], "count")
        finally:
            sim.finish(5)

    @staticmethod
    def make_o6_certificate(folder):
        """A self-signed certificate for open62541's probe, with its application URI."""
        certs = os.path.join(folder, "own", "certs")
        private = os.path.join(folder, "own", "private")
        os.makedirs(certs, exist_ok=True)
        os.makedirs(private, exist_ok=True)
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
             "-subj", "/CN=open62541-probe",
             "-addext", "subjectAltName=URI:urn:servo-panel:open62541-probe,DNS:localhost",
             "-addext", "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,"
             "dataEncipherment",
             "-addext", "extendedKeyUsage=clientAuth,serverAuth",
             "-keyout", os.path.join(private, "open62541-probe.pem"),
             "-outform", "DER", "-out", os.path.join(certs, "open62541-probe.der")],
            check=True, capture_output=True, timeout=60)

    def open62541_server(self):
        """servo-sim beside open62541's server of the same nodes, both drives turning on each
        (so each actual speed changes every 10 ms), under the same load: 1, 10 and 100
        open62541 clients in one process (open62541/load.c), 26 monitored items each over the
        eight nodes, publishing every 1 ms and sampling 0 (every change; servo-sim raises it to
        its 1 ms floor and reports every change as it is made). Server CPU over a window once
        all are subscribed, in two rounds taking turns, and resident memory at 10 clients."""
        # servo-sim's per-address limits are for the field; here every client is on 127.0.0.1.
        sim = Process([self.servo_sim, "--host", "127.0.0.1", "--port", "0",
                       "--exit-on-stdin-close", "--max-sessions", "300",
                       "--max-connections-per-address", "100", "--max-sessions-per-address", "300",
                       "--max-subscriptions", "1000", "--max-subscriptions-per-address", "1000",
                       "--max-monitored-items-per-address", "100000"], name="servo-sim-load")
        port = free_port()
        o6 = Process([self.o6.server, "--port", str(port), "--seconds", "1800"],
                     name="open62541_server")
        try:
            sim_line = sim.wait_line(r"listening on opc\.tcp://", 10)
            o6_line = o6.wait_line(r"listening on opc\.tcp://", 10)
            if not sim_line or not o6_line:
                raise RuntimeError("a server did not start: %s" % "\n".join(
                    sim.errors[-3:] + o6.errors[-3:]))
            servers = (("ours", sim, re.search(r"opc\.tcp://\S+", sim_line).group(0)),
                       ("open62541", o6, re.search(r"opc\.tcp://\S+", o6_line).group(0)))
            for _, _, url in servers:
                for item in ITEMS[:2]:  # command word 1151: the drive turns
                    self.start_client(url, 0.2, ["--write-latency", "1", item],
                                      nodes=[item]).finish(30)
            time.sleep(2)  # both drives reach their speed
            window = self.seconds(10)
            for clients in (1, 10, 100):
                runs = {side: [] for side, _, _ in servers}
                # Two rounds, each server first once; the median of two is their mean.
                for turn in range(1 if self.quick else 2):
                    for side, server, url in servers[::-1] if turn else servers:
                        runs[side].append(self.server_under_load(server, url, clients, window))
                cpu = {side: statistics.median(r[0] for r in runs[side]) for side in runs}
                rate = {side: statistics.median(r[1] for r in runs[side]) for side in runs}
                if clients == 10:
                    rss = {side: statistics.median(r[2] for r in runs[side]) for side in runs}
                self.side_by_side("server_cpu_%d_clients" % clients, cpu["ours"],
                                  cpu["open62541"], "%")
                for side in runs:
                    figure("server_notifications_%d_clients_%s" % (clients, side), rate[side], "/s")
                # CPU ms per 1000 notifications the clients received, for when the rates differ.
                # A share of a core in % is 10 ms of CPU per second.
                per_thousand = {side: 10000.0 * cpu[side] / rate[side] if rate[side]
                                else float("nan") for side in runs}
                self.side_by_side("server_cpu_per_1000_notifications_%d_clients" % clients,
                                  per_thousand["ours"], per_thousand["open62541"], "ms")
            self.side_by_side("server_rss_10_clients", rss["ours"], rss["open62541"], "MB")
        finally:
            sim.finish(5)
            o6.stop()

    def server_under_load(self, server, url, clients, window):
        """The server's CPU share over `window` seconds under the load, the notifications per
        second the load received and the server's resident memory at the window's end."""
        nan = float("nan")
        load = Process([self.o6.load, url, str(window + 2), str(clients), "26"] + ITEMS,
                       name="load")
        if not load.wait_line(r"^event subscribed ", 120) or server.proc.poll() is not None:
            print("# %d clients could not subscribe on %s: %s" % (
                clients, server.name, "\n".join(load.errors[-3:])), file=sys.stderr)
            load.stop()
            return nan, nan, nan
        time.sleep(1)
        c0, t0, w0 = cpu_seconds(server.pid), time.monotonic(), time.monotonic_ns()
        time.sleep(window)
        c1, t1, w1 = cpu_seconds(server.pid), time.monotonic(), time.monotonic_ns()
        memory = rss_mb(server.pid)
        load.finish(60)
        time.sleep(1)  # the server closes the sessions before the next turn
        inside = [p for p in load.events("progress") if w0 <= p[0] <= w1]
        rate = nan
        if len(inside) >= 2:
            count = int(inside[-1][2][0]) - int(inside[0][2][0])
            rate = count / ((inside[-1][0] - inside[0][0]) / 1e9)
        return 100.0 * (c1 - c0) / (t1 - t0), rate, memory


GROUPS = ("startup", "panel", "compare", "client_probe", "secure")
OPEN62541_GROUPS = ("open62541_client", "open62541_server")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only")
    parser.add_argument("--open62541", metavar="DIR",
                        help="install prefix or build folder of open62541 to compare with")
    args = parser.parse_args()
    groups = set((args.only or ",".join(GROUPS + (OPEN62541_GROUPS if args.open62541 else ())))
                 .split(","))
    if groups & set(OPEN62541_GROUPS) and not args.open62541:
        parser.error("the groups %s need --open62541 DIR" % ", ".join(OPEN62541_GROUPS))
    bench = Bench(os.path.abspath(args.build), args.quick)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        if args.open62541:
            try:
                bench.o6 = Open62541(args.open62541, bench.config_home)
            except RuntimeError as e:
                print("run_system.py: %s" % e, file=sys.stderr)
                sys.exit(2)
        with open("/proc/loadavg") as f:
            print("# load average before the run: %s" % " ".join(f.read().split()[:3]), flush=True)
        bench.start_sim()
        for group in GROUPS + OPEN62541_GROUPS:
            if group in groups:
                if bench.sim.proc.poll() is not None:
                    print("# servo-sim ended (code %s); starting it again" % bench.sim.proc.returncode,
                          file=sys.stderr)
                    bench.start_sim()
                getattr(bench, {"panel": "panel_run", "client_probe": "client_probes"}.get(group, group))()
        alive = bench.sim.proc.poll() is None
        bench.sim.finish(5)
        if not alive or os.environ.get("BENCH_VERBOSE"):
            print("# servo-sim %s; its last messages:\n#   %s" % (
                "ended early" if not alive else "ran to the end",
                "\n#   ".join(bench.sim.errors[-10:])), file=sys.stderr)
    finally:
        stop_all()
        shutil.rmtree(bench.config_home, ignore_errors=True)


if __name__ == "__main__":
    main()
