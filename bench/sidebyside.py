#!/usr/bin/env python3
"""Side-by-side relay benchmarks: the same load against three targets.

  direct   bin/echoserver, the plain echo server (the machine's limit)
  haproxy  /usr/sbin/haproxy in TCP mode relaying to bin/echoserver
  ours     bin/multiplexor relaying to bin/imserver in echo mode

Every scenario runs against the targets in turn, repetitions interleaved
(direct, haproxy, ours, direct, ...), each run on freshly started servers.
bin/loadgen checks every echoed byte; any mismatch fails the suite. Medians
and the ratios ours/haproxy and ours/direct are printed and written to
bench/RESULTS.md with the date, the machine and the commit.

Every process started here runs in its own process group and is ended by
that group id on every way out: normal end, error, Ctrl-C or SIGTERM.
"""

import argparse
import datetime
import glob
import json
import os
import platform
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
HAPROXY = shutil.which("haproxy") or "/usr/sbin/haproxy"
CLK_TCK = os.sysconf("SC_CLK_TCK")
PAGE = os.sysconf("SC_PAGE_SIZE")
TARGETS = ["direct", "haproxy", "ours"]


# ------------------------------------------------------------------ processes

STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


class SignalsHeld:
    """Holds Ctrl-C and SIGTERM back for a moment: a child must not be
    started without being recorded, nor a clean-up cut short."""

    def __enter__(self):
        self.old = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)

    def __exit__(self, *exc):
        signal.pthread_sigmask(signal.SIG_SETMASK, self.old)
        return False


class Procs:
    """Every child process of the suite, ended by process group."""

    def __init__(self):
        self.live = []

    def start(self, argv, **kw):
        with SignalsHeld():
            p = subprocess.Popen(argv, start_new_session=True, preexec_fn=_child_setup,
                                 stdin=subprocess.DEVNULL, **kw)
            self.live.append(p)
        return p

    def stop(self, p, grace=3.0):
        """SIGTERM to the group, SIGKILL after the grace time; returns the
        exit status and whether SIGKILL was needed."""
        forced = False
        if p.poll() is None:
            _signal_group(p.pid, signal.SIGTERM)
            try:
                p.wait(grace)
            except subprocess.TimeoutExpired:
                forced = True
                _signal_group(p.pid, signal.SIGKILL)
                p.wait()
        # Forked helpers of the same group go too.
        _signal_group(p.pid, signal.SIGKILL)
        for f in (p.stdout, p.stderr):
            if f:
                f.close()
        if p in self.live:
            self.live.remove(p)
        return p.returncode, forced

    def stop_all(self):
        with SignalsHeld():
            for p in list(self.live):
                self.stop(p, grace=1.0)


def _signal_group(pid, sig):
    try:
        os.killpg(pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def _child_setup():
    # The mask is inherited across exec: servers must see SIGTERM.
    signal.pthread_sigmask(signal.SIG_UNBLOCK, STOP_SIGNALS)
    _raise_nofile()


def _raise_nofile():
    # Thousands of idle clients need more than the usual 1024 descriptors,
    # in the servers as much as in the load generator.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    for want in (1 << 20, 262144, 65536):
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(want, hard)))
            return
        except (ValueError, OSError):
            continue
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    except (ValueError, OSError):
        pass


PROCS = Procs()


def _on_signal(sig, frame):
    raise KeyboardInterrupt()


# ------------------------------------------------------------------ /proc

def cpu_ticks(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])  # utime + stime
    except (OSError, IndexError, ValueError):
        return 0


def rss_bytes(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def socket_fds(pid):
    n = 0
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
                    n += 1
            except OSError:
                pass
    except OSError:
        pass
    return n


def sockstat_tcp_mem_pages():
    try:
        with open("/proc/net/sockstat") as f:
            for line in f:
                if line.startswith("TCP:"):
                    parts = line.split()
                    return int(parts[parts.index("mem") + 1])
    except (OSError, ValueError):
        pass
    return 0


def kernel_bytes_per_socket():
    """Slab object sizes one open TCP socket costs: the socket, its inode,
    file and dentry, and its epoll entry. Object sizes, not counts, so the
    figure does not move with whatever else the machine is doing."""
    caches = {"TCP": 0, "sock_inode_cache": 0, "filp": 0, "dentry": 0, "eventpoll_epi": 0}
    try:
        with open("/proc/slabinfo") as f:
            for line in f:
                parts = line.split()
                if parts and parts[0] in caches:
                    caches[parts[0]] = int(parts[3])
    except (OSError, ValueError, IndexError):
        return 2900, "estimate (no /proc/slabinfo)"
    total = sum(caches.values())
    found = "+".join(f"{k} {v}" for k, v in caches.items() if v)
    return total, found


# ------------------------------------------------------------------ targets

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def read_available(pipe):
    """What a non-blocking pipe holds now (b"" when nothing)."""
    os.set_blocking(pipe.fileno(), False)
    try:
        return pipe.read() or b""
    except BlockingIOError:
        return b""


def read_port_line(p, what, timeout=10.0):
    """Servers print "... listening on ADDR:PORT" first; returns the port."""
    deadline = time.monotonic() + timeout
    line = b""
    while time.monotonic() < deadline and p.poll() is None:
        chunk = read_available(p.stdout)
        if chunk:
            line += chunk
            if b"\n" in line:
                first = line.split(b"\n", 1)[0].decode(errors="replace")
                # "... listening on 127.0.0.1:PORT", possibly with more after it.
                return int(first.split("listening on", 1)[-1].strip().split()[0].rsplit(":", 1)[1])
        time.sleep(0.02)
    raise RuntimeError(f"{what} did not report its port: {line!r}")


def echo_probe(port, timeout=5.0):
    """One echo through the target; also makes the multiplexor open its
    server link before the measurement starts."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1.0) as s:
                s.sendall(b"probe-0123456789")
                got = b""
                while len(got) < 16:
                    chunk = s.recv(16 - len(got))
                    if not chunk:
                        break
                    got += chunk
                if got == b"probe-0123456789":
                    return
                last = f"echo was {got!r}"
        except OSError as e:
            last = str(e)
        time.sleep(0.1)
    raise RuntimeError(f"no echo on port {port}: {last}")


class Target:
    """A running target: the port clients use and its processes by role."""

    def __init__(self, name, tmp):
        self.name = name
        self.tmp = tmp
        self.port = 0
        self.procs = {}  # role -> Popen; "front" is the process clients talk to

    def pids(self):
        return {role: p.pid for role, p in self.procs.items()}

    def stop(self):
        """Stops the target; returns what went wrong on the way out."""
        trouble = []
        # Front first, so the back end sees its clients leave.
        for role in ("front", "back"):
            p = self.procs.get(role)
            if not p:
                continue
            gone_before = p.poll() is not None  # reported with the run
            status, forced = PROCS.stop(p)
            if forced:
                trouble.append(f"{role} process ignored SIGTERM for 3 s")
            elif not gone_before and status not in (0, -signal.SIGTERM):
                trouble.append(f"{role} process ended with status {status} on SIGTERM")
        return trouble


def start_echoserver(tmp, threads, discard):
    argv = [os.path.join(BIN, "echoserver"), "--port", "0", "--threads", str(threads)]
    if discard:
        argv.append("--discard")
    p = PROCS.start(argv, stdout=subprocess.PIPE, stderr=open(os.path.join(tmp, "echoserver.err"), "wb"))
    return p, read_port_line(p, "echoserver")


def start_direct(tmp, threads, discard=False):
    t = Target("direct", tmp)
    p, t.port = start_echoserver(tmp, threads, discard)
    t.procs["front"] = p
    return t


HAPROXY_CFG = """global
    nbthread {threads}
    maxconn {maxconn}

defaults
    mode tcp
    timeout connect 5s
    timeout client 120s
    timeout server 120s

frontend bench
    bind 127.0.0.1:{port}
    default_backend echo

backend echo
    server echo1 127.0.0.1:{echo_port}
"""


def fd_limit():
    """The descriptor limit the servers get (what _raise_nofile reaches)."""
    _raise_nofile()
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def haproxy_maxconn():
    # haproxy refuses to start when maxconn does not fit the descriptor
    # limit it can reach (two per relayed connection, plus its own).
    return max(100, min(50000, (fd_limit() - 200) // 2))


def start_haproxy(tmp, threads, discard=False):
    t = Target("haproxy", tmp)
    back, echo_port = start_echoserver(tmp, threads, discard)
    t.procs["back"] = back
    t.port = free_port()
    cfg = os.path.join(tmp, "haproxy.cfg")
    with open(cfg, "w") as f:
        f.write(HAPROXY_CFG.format(threads=threads, maxconn=haproxy_maxconn(), port=t.port, echo_port=echo_port))
    # -db: stay in the foreground, no daemon, no system service.
    t.procs["front"] = PROCS.start([HAPROXY, "-db", "-f", cfg], stdout=subprocess.DEVNULL,
                                   stderr=open(os.path.join(tmp, "haproxy.err"), "wb"))
    return t


def imserver_modes():
    try:
        out = subprocess.run([os.path.join(BIN, "imserver"), "--help"], capture_output=True,
                             timeout=5).stdout.decode(errors="replace")
    except (OSError, subprocess.TimeoutExpired):
        return set()
    for line in out.splitlines():
        if "--mode" in line:
            return set(line.split()[1].split("|"))
    return set()


def start_ours(tmp, threads, discard=False, extra_keys=None):
    """The multiplexor in front of imserver; extra_keys are added to (or
    replace) its configuration keys."""
    t = Target("ours", tmp)
    mode = "discard" if discard else "echo"
    back = PROCS.start([os.path.join(BIN, "imserver"), "--mode", mode, "--port", "0"],
                       stdout=subprocess.PIPE, stderr=open(os.path.join(tmp, "imserver.err"), "wb"))
    t.procs["back"] = back
    im_port = read_port_line(back, "imserver")
    t.port = free_port()
    inst = os.path.join(tmp, "mux")
    for d in ("config", "var/log"):
        os.makedirs(os.path.join(inst, d), exist_ok=True)
    conf = os.path.join(inst, "config", "orv.conf")
    keys = {
        "orv.instancedir": inst,
        "orv.instancevardir": os.path.join(inst, "var"),
        "orv_mux.serverport": f"127.0.0.1:{im_port}",
        "orv_mux.listenport": f"127.0.0.1:{t.port}",
        "orv_mux.maxthreads": str(threads),
        # Room for the idle scenario within the descriptor limit the
        # process will have (it keeps 50 for itself).
        "orv_mux.maxsessions": str(max(100, min(30000, fd_limit() - 100))),
    }
    keys.update(extra_keys or {})
    with open(conf, "w") as f:
        for k, v in keys.items():
            f.write(f'{k} = "{v}"\n')
    argv = [os.path.join(BIN, "multiplexor"), "-c", conf, "-p", f"127.0.0.1:{t.port}", "-t", str(threads)]
    t.procs["front"] = PROCS.start(argv, stdout=open(os.path.join(tmp, "multiplexor.out"), "wb"),
                                   stderr=subprocess.STDOUT, cwd=inst)
    t.log = os.path.join(inst, "var", "log", "mux.log")
    return t


STARTERS = {"direct": start_direct, "haproxy": start_haproxy, "ours": start_ours}


def missing_parts(name):
    need = {"direct": [os.path.join(BIN, "echoserver")],
            "haproxy": [os.path.join(BIN, "echoserver"), HAPROXY],
            "ours": [os.path.join(BIN, "multiplexor"), os.path.join(BIN, "imserver")]}[name]
    return [p for p in need if not os.access(p, os.X_OK)]


# ------------------------------------------------------------------ scenarios

class Scenario:
    def __init__(self, name, title, args, metrics, oneway=False, idle=False):
        self.name = name
        self.title = title
        self.args = args          # loadgen arguments without target/duration
        self.metrics = metrics    # [(label, function(run) -> number or None, higher_is_better)]
        self.oneway = oneway
        self.idle = idle


def m_json(*path):
    def get(run):
        v = run["lg"]
        for k in path:
            v = v.get(k) if isinstance(v, dict) else None
        return v
    return get


def m_cpu_per_gb(role):
    def get(run):
        gb = (run["lg"].get("rx_bytes") or run["lg"].get("tx_bytes") or 0) / 1e9
        if gb <= 0:
            return None
        if role == "all":
            return sum(run["cpu"].values()) / gb
        return run["cpu"].get(role, 0.0) / gb
    return get


def m_mem(kind):
    def get(run):
        return run.get("mem", {}).get(kind)
    return get


def scenarios(quick):
    idle_n = 2000 if quick else 5000
    size_args = lambda s: ["--mode", "ping", "--conns", "64", "--size", str(s)]
    mbps = ("MB/s echoed", m_json("rx_mb_s"), True)
    cpu_front = ("CPU s/GB, relay process", m_cpu_per_gb("front"), False)
    cpu_all = ("CPU s/GB, all target processes", m_cpu_per_gb("all"), False)
    return [
        Scenario("stream1-oneway", "1 stream, one-way (target discards)",
                 ["--mode", "stream", "--oneway", "--conns", "1", "--size", "65536"],
                 [("MB/s sent", m_json("tx_mb_s"), True), cpu_front], oneway=True),
        Scenario("stream1-echo", "1 stream, echo",
                 ["--mode", "stream", "--conns", "1", "--size", "65536"], [mbps, cpu_front, cpu_all]),
        Scenario("stream16-echo", "16 streams, echo",
                 ["--mode", "stream", "--conns", "16", "--size", "16384"], [mbps, cpu_front, cpu_all]),
        Scenario("closed1000", "1,000 clients, 64 B, closed loop",
                 ["--mode", "ping", "--conns", "1000", "--size", "64"],
                 [("messages/s", m_json("msg_rate"), True), ("p99 us", m_json("lat_us", "p99"), False),
                  ("CPU s/GB, relay process", m_cpu_per_gb("front"), False)]),
        Scenario("open20k", "open loop 20,000 msg/s, 1,000 clients, 64 B",
                 ["--mode", "ping", "--conns", "1000", "--size", "64", "--rate", "20000"],
                 [("p50 us", m_json("lat_us", "p50"), False), ("p99 us", m_json("lat_us", "p99"), False),
                  ("p99.9 us", m_json("lat_us", "p999"), False),
                  ("messages/s", m_json("msg_rate"), True)]),
        Scenario("connrate", "connection rate (16 in parallel: connect, 64 B echo, close)",
                 ["--mode", "connrate", "--conns", "16", "--size", "64", "--sources", "16"],
                 [("connections/s", m_json("conn_rate"), True), ("p99 us", m_json("lat_us", "p99"), False)]),
        Scenario("idle", f"idle memory, {idle_n:,} clients after one echo",
                 ["--mode", "idle", "--conns", str(idle_n), "--size", "64", "--sources", "4"],
                 [("user+kernel B/client", m_mem("total"), False), ("user B/client", m_mem("user"), False),
                  ("kernel B/client", m_mem("kernel"), False),
                  ("relay process B/client", m_mem("front"), False)], idle=True),
        Scenario("size1", "64 clients, 1 B messages, closed loop", size_args(1),
                 [("messages/s", m_json("msg_rate"), True)]),
        Scenario("size4087", "64 clients, 4,087 B messages, closed loop", size_args(4087),
                 [("messages/s", m_json("msg_rate"), True), mbps]),
        Scenario("size4088", "64 clients, 4,088 B messages, closed loop", size_args(4088),
                 [("messages/s", m_json("msg_rate"), True), mbps]),
        Scenario("size65536", "64 clients, 65,536 B messages, closed loop", size_args(65536),
                 [("messages/s", m_json("msg_rate"), True), mbps]),
        Scenario("fairness", "fairness: 1 client streaming, 999 ping at 10,000 msg/s in all",
                 ["--mode", "ping", "--conns", "999", "--hogs", "1", "--size", "64", "--rate", "10000",
                  "--threads", "2"],
                 [("pingers' p99 us", m_json("lat_us", "p99"), False),
                  ("streamer MB/s", m_json("hog_mb_s"), True)]),
    ]


# ------------------------------------------------------------------ one run

def loadgen_report(out, status, err):
    """The JSON report on a loadgen's standard output (bytes), or
    RuntimeError with the end of its standard error."""
    line = [l for l in out.decode(errors="replace").splitlines() if l.startswith("{")]
    if not line:
        raise RuntimeError(f"loadgen gave no result (status {status}): {err.strip()[-300:]}")
    return json.loads(line[-1])


def warnings_of(tmp):
    """The multiplexor's Warning and Error lines of a run (the last three),
    which say why it closed a client; empty for the other targets."""
    found = []
    for path in sorted(glob.glob(os.path.join(tmp, "mux", "var", "log", "*"))):
        with open(path, errors="replace") as f:
            found += [l.strip() for l in f if " Warning: " in l or " Error: " in l]
    return "; multiplexor: " + " | ".join(found[-3:]) if found else ""


def run_once(sc, target_name, opts, log):
    tmp = tempfile.mkdtemp(prefix=f"bench-{target_name}-")
    target = None
    lg = None
    run = None
    try:
        target = STARTERS[target_name](tmp, opts.threads, discard=sc.oneway)
        for role, p in target.procs.items():
            if p.poll() is not None:
                raise RuntimeError(f"{role} process exited with status {p.returncode}")
        if sc.oneway:
            # A discarding target echoes nothing; wait for it to listen.
            deadline = time.monotonic() + 5
            while True:
                try:
                    socket.create_connection(("127.0.0.1", target.port), timeout=1).close()
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.05)
        else:
            echo_probe(target.port)
        time.sleep(0.1)
        pids = target.pids()
        cpu0 = {r: cpu_ticks(p) for r, p in pids.items()}
        rss0 = {r: rss_bytes(p) for r, p in pids.items()}
        socks0 = {r: socket_fds(p) for r, p in pids.items()}
        mem0 = sockstat_tcp_mem_pages()
        argv = [os.path.join(BIN, "loadgen"), "--target", f"127.0.0.1:{target.port}",
                "--duration", str(opts.duration), "--json"] + sc.args
        lg = PROCS.start(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        limit = time.monotonic() + opts.duration + 60
        out = b""
        mem = None
        while True:
            out += read_available(lg.stdout)
            if sc.idle and mem is None and b"ready " in out:
                n = int(out.split(b"ready ", 1)[1].split()[0])
                time.sleep(min(0.5, opts.duration / 3))
                mem = idle_memory(pids, rss0, socks0, mem0, n)
            if lg.poll() is not None:
                out += read_available(lg.stdout)
                break
            if time.monotonic() > limit:
                raise RuntimeError("loadgen overran its time limit")
            time.sleep(0.02)
        err = lg.stderr.read().decode(errors="replace") if lg.stderr else ""
        status = lg.returncode
        PROCS.stop(lg)
        lg = None
        cpu = {r: (cpu_ticks(p) - cpu0[r]) / CLK_TCK for r, p in pids.items()}
        res = loadgen_report(out, status, err)
        run = {"lg": res, "cpu": cpu, "status": status, "mem": mem or {}, "ok": status == 0,
               "note": ""}
        alive = {r: p.poll() is None for r, p in target.procs.items()}
        if status != 0:
            run["note"] = (f"loadgen status {status}: mismatches {res.get('mismatches')}, "
                           f"errors {res.get('errors')} {err.strip()[-200:]}{warnings_of(tmp)}")
        dead = [r for r, a in alive.items() if not a]
        if dead:
            run["ok"] = False
            run["note"] += f" target process(es) died: {', '.join(dead)}"
        return run
    except (RuntimeError, OSError, ValueError) as e:
        run = {"lg": {}, "cpu": {}, "status": None, "mem": {}, "ok": False, "note": str(e)}
        return run
    finally:
        if lg is not None:
            PROCS.stop(lg)
        if target:
            trouble = target.stop()
            if trouble and run is not None:
                # A target that cannot stop cleanly is a fault like any other.
                run["ok"] = False
                run["note"] = (run["note"] + "; " if run["note"] else "") + "; ".join(trouble)
        if opts.keep:
            log(f"    kept {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)


def idle_memory(pids, rss0, socks0, mem0, n):
    if n <= 0:
        return {}
    per_sock, _ = KERNEL_PER_SOCKET
    user = {r: max(0, rss_bytes(p) - rss0[r]) for r, p in pids.items()}
    socks = {r: max(0, socket_fds(p) - socks0[r]) for r, p in pids.items()}
    # Socket buffer pages are only known for the whole machine; the target
    # is charged its share by socket count (the clients' own sockets hold
    # the rest).
    buffers = max(0, sockstat_tcp_mem_pages() - mem0) * PAGE
    target_socks = sum(socks.values())
    if target_socks:
        buffers = buffers * target_socks / (target_socks + n)
    kernel = target_socks * per_sock + buffers
    u = sum(user.values())
    return {"user": u / n, "kernel": kernel / n, "total": (u + kernel) / n,
            "front": (user.get("front", 0) + socks.get("front", 0) * per_sock) / n,
            "sockets_per_client": sum(socks.values()) / n}


# ------------------------------------------------------------------ report

def fmt(v):
    if v is None:
        return "–"
    if isinstance(v, str):
        return v
    a = abs(v)
    if a >= 100:
        return f"{v:,.0f}"
    if a >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def summarize(results, scs, targets):
    """Median per (scenario, metric, target) over the successful runs."""
    rows = []
    for sc in scs:
        for label, get, higher in sc.metrics:
            med = {}
            for t in targets:
                runs = results.get((sc.name, t))
                if runs is None:
                    med[t] = "missing"
                    continue
                if not runs:
                    med[t] = "n/a"
                    continue
                good = [r for r in runs if r["ok"]]
                vals = [get(r) for r in good]
                vals = [v for v in vals if v is not None]
                if len(good) < len(runs):
                    med[t] = "FAIL"
                elif vals:
                    med[t] = statistics.median(vals)
                else:
                    med[t] = None
            num = lambda t: med.get(t) if isinstance(med.get(t), (int, float)) else None
            rows.append({"scenario": sc.title, "name": sc.name, "metric": label, "higher": higher,
                         "med": med, "oh": ratio(num("ours"), num("haproxy")),
                         "od": ratio(num("ours"), num("direct"))})
    return rows


def table(rows):
    head = "| scenario | metric | direct | haproxy | ours | ours/haproxy | ours/direct |"
    out = [head, "|---|---|---:|---:|---:|---:|---:|"]
    last = None
    for r in rows:
        name = r["scenario"] if r["scenario"] != last else ""
        last = r["scenario"]
        arrow = " (higher is better)" if r["higher"] else " (lower is better)"
        out.append(f"| {name} | {r['metric']}{arrow} | {fmt(r['med'].get('direct'))} | "
                   f"{fmt(r['med'].get('haproxy'))} | {fmt(r['med'].get('ours'))} | "
                   f"{fmt(r['oh'])} | {fmt(r['od'])} |")
    return "\n".join(out)


GOALS = [
    # (scenario, metric, comparison, bound, text)
    ("closed1000", "messages/s", ">=", 1.8, "1,000 clients, 64 B, closed loop: messages/s >= 1.8 x haproxy"),
    ("stream1-echo", "MB/s echoed", ">=", 1.0, "one stream echo: MB/s >= 1.0 x haproxy"),
    ("stream16-echo", "CPU s/GB, relay process", "<=", 0.8, "CPU seconds per GB relayed <= 0.8 x haproxy (16 streams)"),
    ("open20k", "p99 us", "<=", 1.0, "open loop 20k msg/s: p99 latency <= haproxy's"),
    ("idle", "user+kernel B/client", "<=", 0.5, "idle memory per client, user + kernel <= 0.5 x haproxy"),
    ("connrate", "connections/s", ">=", 1.0, "connection rate >= 1.0 x haproxy"),
    ("size65536", "MB/s echoed", ">=", 1.0, "64 clients x 65,536 B messages: MB/s >= 1.0 x haproxy"),
    ("fairness", "pingers' p99 us", "<=", 0.5, "fairness: pingers' p99 while one client streams <= 0.5 x haproxy"),
]


def goals_table(rows, total_mismatches, goals=GOALS, what="mismatches"):
    out = ["| target | ours/haproxy | met |", "|---|---:|---|"]
    for name, metric, cmp, bound, text in goals:
        r = next((r for r in rows if r["name"] == name and r["metric"] == metric), None)
        v = r["oh"] if r else None
        if v is None:
            met = "not measured"
        else:
            met = "yes" if (v >= bound if cmp == ">=" else v <= bound) else "no"
        out.append(f"| {text} | {fmt(v)} | {met} |")
    out.append(f"| {what}: 0, always | {total_mismatches} in all runs | "
               f"{'yes' if total_mismatches == 0 else 'no'} |")
    return "\n".join(out)


def machine_text():
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            mem = f"{int(f.readline().split()[1]) / 1048576:.1f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    return f"{platform.node()}: {os.cpu_count()} x {cpu}, {mem} RAM, Linux {platform.release()}"


def commit_text():
    try:
        rev = subprocess.run(["git", "-C", SOURCE, "rev-parse", "--short=12", "HEAD"], capture_output=True,
                             text=True, timeout=10).stdout.strip()
        # The result files a run of `make bench` has just written are not
        # changes to what was measured.
        dirty = subprocess.run(["git", "-C", SOURCE, "status", "--porcelain", "--untracked-files=no", "--", ".",
                                ":!bench/RESULTS.md", ":!bench/RESULTS-ssl.md"],
                               capture_output=True, text=True, timeout=10).stdout.strip()
        return rev + (" (with uncommitted changes)" if dirty else "") if rev else "unknown"
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"


def haproxy_version():
    try:
        return subprocess.run([HAPROXY, "-v"], capture_output=True, text=True, timeout=10).stdout.splitlines()[0]
    except (OSError, subprocess.TimeoutExpired, IndexError):
        return "not installed"


# ------------------------------------------------------------------ main

def main():
    # Also SIGINT: a shell without job control starts background jobs with
    # it ignored, and Ctrl-C must still clean up.
    for sig in STOP_SIGNALS:
        signal.signal(sig, _on_signal)
    ap = argparse.ArgumentParser(description="Side-by-side relay benchmarks (direct, haproxy, ours).")
    ap.add_argument("--build", default=os.path.join(SOURCE, "build"), help="build folder (default: build)")
    ap.add_argument("--quick", action="store_true", help="short runs, one repetition, 2,000 idle clients")
    ap.add_argument("--reps", type=int, help="repetitions per target (default 5, quick 1)")
    ap.add_argument("--duration", type=float, help="seconds per run (default 3, quick 1)")
    ap.add_argument("--threads", type=int, default=2,
                    help="threads of the multiplexor, haproxy and the echo server (default 2)")
    ap.add_argument("--scenarios", help="comma-separated scenario names (default: all)")
    ap.add_argument("--targets", default=",".join(TARGETS), help="comma-separated targets")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"), help="results file ('-' for none)")
    ap.add_argument("--keep", action="store_true", help="keep each run's temporary folder")
    ap.add_argument("--list", action="store_true", help="list the scenarios and exit")
    opts = ap.parse_args()
    opts.reps = opts.reps or (1 if opts.quick else 5)
    opts.duration = opts.duration or (1.0 if opts.quick else 3.0)
    if opts.reps < 1 or opts.duration <= 0 or opts.threads < 1:
        ap.error("--reps, --duration and --threads must be positive")

    global BIN, KERNEL_PER_SOCKET
    BIN = os.path.join(os.path.abspath(opts.build), "bin")
    KERNEL_PER_SOCKET = kernel_bytes_per_socket()

    scs = scenarios(opts.quick)
    if opts.list:
        for sc in scs:
            print(f"{sc.name:16} {sc.title}")
        return 0
    if opts.scenarios:
        wanted = opts.scenarios.split(",")
        unknown = [w for w in wanted if w not in {s.name for s in scs}]
        if unknown:
            ap.error(f"unknown scenario(s): {', '.join(unknown)} (see --list)")
        scs = [s for s in scs if s.name in wanted]
    targets = [t for t in opts.targets.split(",") if t]
    if any(t not in TARGETS for t in targets):
        ap.error(f"targets are {', '.join(TARGETS)}")

    if not os.access(os.path.join(BIN, "loadgen"), os.X_OK):
        print(f"sidebyside: {BIN}/loadgen is missing; build first", file=sys.stderr)
        return 2

    def log(msg):
        print(msg, flush=True)

    missing = {t: missing_parts(t) for t in targets}
    for t, parts in missing.items():
        if parts:
            log(f"target {t} skipped: missing {', '.join(parts)}")
    runnable = [t for t in targets if not missing[t]]
    discard_ok = {"direct": True, "haproxy": True, "ours": "discard" in imserver_modes()}

    started = datetime.datetime.now(datetime.timezone.utc)
    # None: the target is not built; an empty list: the scenario does not
    # apply to it (or was never reached).
    results = {(sc.name, t): None if missing[t] else [] for t in targets for sc in scs}
    notes = []
    total_mismatches = 0
    failures = 0
    interrupted = False
    try:
        for sc in scs:
            log(f"== {sc.name}: {sc.title}")
            for rep in range(opts.reps):
                for t in runnable:
                    if sc.oneway and not discard_ok[t]:
                        continue
                    run = run_once(sc, t, opts, log)
                    results[(sc.name, t)].append(run)
                    total_mismatches += run["lg"].get("mismatches") or 0
                    brief = ", ".join(f"{label} {fmt(get(run))}" for label, get, _ in sc.metrics)
                    state = "ok" if run["ok"] else "FAILED"
                    log(f"  {t:8} #{rep + 1}: {state}; {brief}"
                        + (f"; {run['note']}" if run["note"] else "")
                        + (f"; cpu {', '.join(f'{r} {c:.2f}s' for r, c in run['cpu'].items())}" if run["cpu"] else ""))
                    if not run["ok"]:
                        failures += 1
                        notes.append(f"{sc.name} / {t} #{rep + 1}: {run['note'] or 'failed'}")
    except KeyboardInterrupt:
        interrupted = True
        log("interrupted: stopping every process the suite started")
    finally:
        PROCS.stop_all()

    for sc in scs:
        if sc.oneway and "ours" in runnable and not discard_ok["ours"]:
            notes.append(f"{sc.name} / ours: not run: bin/imserver has no discard mode, so a one-way "
                         "stream would come back and be counted against the relay")
    rows = summarize(results, scs, targets)
    tab = table(rows)
    goals = goals_table(rows, total_mismatches)
    print()
    print(tab)
    print()
    print(goals)
    if notes:
        print()
        for n in notes:
            print(f"- {n}")

    if opts.out != "-" and not interrupted:
        per_sock, how = KERNEL_PER_SOCKET
        text = [
            "# Side-by-side benchmark results",
            "",
            "Written by `bench/run` (bench/sidebyside.py). Numbers are medians of the",
            "repetitions; a cell reads FAIL when any of its runs failed its checks,",
            "\"missing\" when the target's programs were not built, \"n/a\" when the",
            "scenario does not apply to that target.",
            "",
            f"- date: {started.strftime('%Y-%m-%d %H:%M UTC')}",
            f"- machine: {machine_text()}",
            f"- commit: {commit_text()}",
            f"- haproxy: {haproxy_version()}",
            f"- threads: {opts.threads} for the multiplexor, haproxy (nbthread) and the echo server;"
            " loadgen 1 (2 for fairness)",
            f"- {opts.reps} repetition(s) of {opts.duration:g} s per scenario and target, interleaved"
            f" ({', '.join(runnable)}, ...), each on freshly started servers"
            + (" (quick mode)" if opts.quick else ""),
            f"- kernel bytes per socket: {per_sock} ({how}); CPU from /proc/<pid>/stat",
            "",
            tab,
            "",
            "## Against the targets",
            "",
            goals,
            "",
        ]
        if notes:
            text += ["## Notes", ""] + [f"- {n}" for n in notes] + [""]
        # The analysis of what still limits the relay is kept by hand beside
        # the script, so that every run's file carries it.
        limits = os.path.join(HERE, "limits.md")
        if os.path.exists(limits):
            with open(limits) as f:
                text += [f.read().rstrip("\n"), ""]
        with open(opts.out, "w") as f:
            f.write("\n".join(text))
        print(f"\nwritten to {opts.out}")
    if interrupted:
        return 130
    return 1 if failures or total_mismatches else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    finally:
        PROCS.stop_all()
