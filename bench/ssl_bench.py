#!/usr/bin/env python3
"""TLS benchmarks: the multiplexor terminating TLS beside haproxy doing the
same, on the same machine, in the same run.

  hs-ecdsa   full handshakes (no resumption) with an ECDSA P-256 server
             certificate: connect, handshake, one 1-byte echo, close
  hs-rsa     the same with an RSA-2048 certificate
  tls-echo-1, tls-echo-16
             relayed TLS 1.3 throughput: 1 or 16 connections streaming
             16 KB pieces, everything echoed
  tls-small  1,000 TLS 1.3 clients in a closed loop of 64-byte messages
             (each sends one, waits for its echo, sends the next)

Reported: handshakes per CPU-second of the TLS-terminating process (and per
wall second), MB/s echoed and CPU seconds per GB, messages/s, with the ratio
ours/haproxy. Both targets use certificates made here with openssl: haproxy
reads them as PEM, the multiplexor from an NSS database they are imported
into with pk12util. The back ends are bin/echoserver (haproxy) and
bin/imserver in echo mode (the multiplexor), as in sidebyside.py, whose
process handling this reuses: every process runs in its own process group
and is ended by that group id on every way out.

The handshakes and streams come from Python client processes on the same
two cores; the per-CPU-second figures count the server's CPU only, so they
do not depend on how fast the clients are. tls-small is driven by
bin/loadgen --tls, which checks every echoed byte and costs the clients
far less per message than Python would, so that its ratio is the
servers'.
"""

import argparse
import json
import multiprocessing
import os
import signal
import socket
import ssl
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import sidebyside as sbs  # noqa: E402

TARGETS = ["haproxy", "ours"]
_HANDSHAKES = [("handshakes per CPU-second", "hs_per_cpu"), ("handshakes/s", "hs_per_s")]
_ECHO = [("MB/s echoed", "mbps"), ("CPU s per GB", "cpu_per_gb")]
GOALS = [
    # (scenario, metric, comparison, bound, text), as in sidebyside.py
    ("tls-echo-1", "MB/s echoed", ">=", 1.0, "TLS 1.3 echo, 1 stream: MB/s >= 1.0 x haproxy"),
    ("tls-echo-16", "MB/s echoed", ">=", 1.0, "TLS 1.3 echo, 16 streams: MB/s >= 1.0 x haproxy"),
    ("tls-echo-1", "CPU s per GB", "<=", 1.2, "TLS echo, 1 stream: CPU s per GB <= 1.2 x haproxy"),
    ("tls-echo-16", "CPU s per GB", "<=", 1.2, "TLS echo, 16 streams: CPU s per GB <= 1.2 x haproxy"),
    ("hs-ecdsa", "handshakes per CPU-second", ">=", 0.9, "ECDSA P-256 handshakes per CPU-second >= 0.9 x haproxy"),
    ("tls-small", "messages/s", ">=", 1.5, "1,000 TLS clients x 64 B closed loop: messages/s >= 1.5 x haproxy"),
]
# Each scenario, in the order run, with the metrics reported for it.
SCENARIOS = {"hs-ecdsa": _HANDSHAKES, "hs-rsa": _HANDSHAKES, "tls-echo-1": _ECHO, "tls-echo-16": _ECHO,
             "tls-small": [("messages/s", "msgs_per_s")]}


# ------------------------------------------------------------------ certificates

def make_certs(tmp):
    """CA, ECDSA and RSA server certificates; PEM files for haproxy and an
    NSS database (no password) holding both for the multiplexor."""
    def run(*argv, **kw):
        subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)

    ext = os.path.join(tmp, "san.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n")
    ca_key, ca = os.path.join(tmp, "ca.key"), os.path.join(tmp, "ca.pem")
    run("openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-keyout", ca_key, "-out", ca, "-subj", "/CN=Bench CA", "-days", "30")
    db = os.path.join(tmp, "nssdb")
    os.makedirs(db)
    run("certutil", "-N", "-d", "sql:" + db, "--empty-password")
    out = {"ca": ca, "db": db}
    for kind, newkey in (("ec", ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"]),
                         ("rsa", ["-newkey", "rsa:2048"])):
        key, csr, crt = (os.path.join(tmp, f"{kind}.{x}") for x in ("key", "csr", "crt"))
        # NSS keeps one nickname per subject: each certificate gets its own.
        run("openssl", "req", *newkey, "-nodes", "-keyout", key, "-out", csr, "-subj", f"/CN=localhost/OU={kind}")
        run("openssl", "x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", crt,
            "-days", "30", "-extfile", ext)
        pem = os.path.join(tmp, f"{kind}.pem")
        with open(pem, "w") as f:
            f.write(open(crt).read() + open(key).read())
        p12 = os.path.join(tmp, f"{kind}.p12")
        nick = f"Bench-{kind}"
        run("openssl", "pkcs12", "-export", "-in", crt, "-inkey", key, "-name", nick, "-out", p12,
            "-passout", "pass:bench")
        run("pk12util", "-i", p12, "-d", "sql:" + db, "-W", "bench", "-K", "")
        out[kind] = {"pem": pem, "nick": nick}
    return out


# ------------------------------------------------------------------ targets

HAPROXY_TLS_CFG = """global
    nbthread {threads}
    maxconn {maxconn}
    ssl-default-bind-options ssl-min-ver TLSv1.2

defaults
    mode tcp
    timeout connect 5s
    timeout client 120s
    timeout server 120s

frontend bench
    bind 127.0.0.1:{port} ssl crt {pem}
    default_backend echo

backend echo
    server echo1 127.0.0.1:{echo_port}
"""


def start_haproxy(tmp, threads, certs, kind):
    t = sbs.Target("haproxy", tmp)
    back, echo_port = sbs.start_echoserver(tmp, threads, False)
    t.procs["back"] = back
    t.port = sbs.free_port()
    cfg = os.path.join(tmp, "haproxy.cfg")
    with open(cfg, "w") as f:
        f.write(HAPROXY_TLS_CFG.format(threads=threads, maxconn=sbs.haproxy_maxconn(), port=t.port,
                                       echo_port=echo_port, pem=certs[kind]["pem"]))
    t.procs["front"] = sbs.PROCS.start([sbs.HAPROXY, "-db", "-f", cfg], stdout=subprocess.DEVNULL,
                                       stderr=open(os.path.join(tmp, "haproxy.err"), "wb"))
    return t


def start_ours(tmp, threads, certs, kind):
    return sbs.start_ours(tmp, threads, extra_keys={
        "orv_mux.maxsessions": "20000",
        "orv_mux.usessl": "yes",
        "orv_mux.secconfigdir": certs["db"],
        "orv_mux.certnickname": certs[kind]["nick"],
    })


STARTERS = {"haproxy": start_haproxy, "ours": start_ours}


# ------------------------------------------------------------------ load

def _client_context(ca, tls13=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(ca)
    if tls13:
        ctx.minimum_version = ssl.TLSVersion.TLSv1_3
    return ctx


def _handshake_worker(port, ca, until, q):
    ctx = _client_context(ca)
    done = errors = 0
    while time.monotonic() < until:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
                # A fresh handshake every time: no session is offered.
                with ctx.wrap_socket(raw, server_hostname="localhost") as s:
                    s.sendall(b"x")
                    if s.recv(1) == b"x":
                        done += 1
                    else:
                        errors += 1
        except OSError:
            errors += 1
    q.put((done, errors, 0))


def _stream_worker(port, ca, until, q):
    ctx = _client_context(ca, tls13=True)
    piece = os.urandom(16384)
    moved = errors = 0
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
            with ctx.wrap_socket(raw, server_hostname="localhost") as s:
                while time.monotonic() < until:
                    s.sendall(piece)
                    got = 0
                    while got < len(piece):
                        chunk = s.recv(len(piece) - got)
                        if not chunk:
                            raise OSError("closed")
                        got += len(chunk)
                    moved += len(piece)
    except OSError:
        errors += 1
    q.put((0, errors, moved))


def _small_loadgen(port, opts):
    """tls-small: bin/loadgen's TLS mode, 64-byte closed loops on every
    connection, each byte checked: its messages/s. A failed run raises
    RuntimeError."""
    argv = [os.path.join(sbs.BIN, "loadgen"), "--target", f"127.0.0.1:{port}", "--tls", "--mode", "ping",
            "--conns", str(opts.small_clients), "--size", "64", "--threads", str(opts.threads),
            "--duration", str(opts.duration), "--connect-timeout", "60", "--json"]
    lg = sbs.PROCS.start(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        out, err = lg.communicate(timeout=opts.duration + 120)
    except subprocess.TimeoutExpired:
        raise RuntimeError("loadgen overran its time limit") from None
    finally:
        sbs.PROCS.stop(lg)
    err = err.decode(errors="replace")
    res = sbs.loadgen_report(out, lg.returncode, err)
    if lg.returncode != 0:
        raise RuntimeError(f"loadgen status {lg.returncode}: {res.get('errors')} {err.strip()[-200:]}")
    return res["msg_rate"]


def tls_probe(port, ca, timeout=10.0):
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as raw:
                with _client_context(ca).wrap_socket(raw, server_hostname="localhost") as s:
                    s.sendall(b"probe")
                    if s.recv(5) == b"probe":
                        return
        except OSError as e:
            last = e
        time.sleep(0.1)
    raise RuntimeError(f"no TLS echo on port {port}: {last}")


def run_once(scenario, target, opts, certs, log):
    kind = "rsa" if scenario == "hs-rsa" else "ec"
    tmp = tempfile.mkdtemp(prefix=f"sslbench-{target}-")
    t = None
    try:
        t = STARTERS[target](tmp, opts.threads, certs, kind)
        tls_probe(t.port, certs["ca"])
        front = t.procs["front"].pid
        cpu0 = sbs.cpu_ticks(front)
        t0 = time.monotonic()
        until = t0 + opts.duration
        q = multiprocessing.Queue()
        args = (t.port, certs["ca"], until, q)
        if scenario == "tls-small":
            res = [(0, 0, _small_loadgen(t.port, opts))]
        else:
            if scenario.startswith("tls-echo"):
                worker, n = _stream_worker, int(scenario.rsplit("-", 1)[1])
            else:
                worker, n = _handshake_worker, opts.clients
            ps = [multiprocessing.Process(target=worker, args=args) for _ in range(n)]
            for p in ps:
                p.start()
            res = [q.get(timeout=until - t0 + 60) for _ in ps]
            for p in ps:
                p.join(10)
        wall = time.monotonic() - t0
        cpu = (sbs.cpu_ticks(front) - cpu0) / sbs.CLK_TCK
        done = sum(r[0] for r in res)
        errors = sum(r[1] for r in res)
        moved = sum(r[2] for r in res)
        alive = t.procs["front"].poll() is None
        trouble = t.stop()
        t = None
        out = {"ok": alive and not trouble and errors == 0, "cpu": cpu, "wall": wall, "errors": errors,
               "note": "; ".join(trouble)}
        if scenario.startswith("tls-echo"):
            out["mbps"] = moved / wall / 1e6
            out["cpu_per_gb"] = cpu / (moved / 1e9) if moved else None
        elif scenario == "tls-small":
            out["msgs_per_s"] = moved
        else:
            out["hs_per_cpu"] = done / cpu if cpu > 0 else None
            out["hs_per_s"] = done / wall
        return out
    finally:
        if t:
            t.stop()
        if not opts.keep:
            subprocess.run(["rm", "-rf", tmp])


def median(runs, key):
    vals = [r[key] for r in runs if r.get("ok") and r.get(key) is not None]
    return statistics.median(vals) if vals else None


def fmt(v):
    if v is None:
        return "n/a"
    return f"{v:,.0f}" if abs(v) >= 100 else f"{v:.2f}"


def main():
    for sig in sbs.STOP_SIGNALS:
        signal.signal(sig, sbs._on_signal)
    ap = argparse.ArgumentParser(description="TLS benchmarks: the multiplexor beside haproxy.")
    ap.add_argument("--build", default=os.path.join(sbs.SOURCE, "build"), help="build folder (default: build)")
    ap.add_argument("--quick", action="store_true", help="short runs, one repetition")
    ap.add_argument("--reps", type=int, help="repetitions per target (default 5, quick 1)")
    ap.add_argument("--duration", type=float, help="seconds per run (default 3, quick 1)")
    ap.add_argument("--threads", type=int, default=2, help="threads of the multiplexor and haproxy (default 2)")
    ap.add_argument("--clients", type=int, default=3, help="handshaking client processes (default 3)")
    ap.add_argument("--small-clients", type=int, default=1000, help="clients of tls-small (default 1000)")
    ap.add_argument("--only", help="comma-separated scenarios to run (default all)")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS-ssl.md"), help="results file ('-' for none)")
    ap.add_argument("--keep", action="store_true", help="keep each run's temporary folder")
    opts = ap.parse_args()
    opts.reps = opts.reps or (1 if opts.quick else 5)
    opts.duration = opts.duration or (1.0 if opts.quick else 3.0)
    sbs.BIN = os.path.join(os.path.abspath(opts.build), "bin")

    def log(msg):
        print(msg, flush=True)

    runnable = [t for t in TARGETS if not sbs.missing_parts(t)]
    for t in TARGETS:
        if t not in runnable:
            log(f"target {t} skipped: missing {', '.join(sbs.missing_parts(t))}")
    if not runnable:
        return 2
    certdir = tempfile.mkdtemp(prefix="sslbench-certs-")
    results = {}
    failures = 0
    try:
        certs = make_certs(certdir)
        for sc in [sc for sc in SCENARIOS if not opts.only or sc in opts.only.split(",")]:
            log(f"== {sc}")
            for rep in range(opts.reps):
                for t in runnable:
                    try:
                        r = run_once(sc, t, opts, certs, log)
                    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
                        r = {"ok": False, "note": str(e)}
                    results.setdefault((sc, t), []).append(r)
                    failures += 0 if r["ok"] else 1
                    shown = {key: fmt(r[key]) for _, key in SCENARIOS[sc] if key in r}
                    log(f"  {t:8} #{rep + 1}: {'ok' if r['ok'] else 'FAILED'} {shown} {r.get('note') or ''}")
    except KeyboardInterrupt:
        log("interrupted")
        sbs.PROCS.stop_all()
        return 130
    finally:
        sbs.PROCS.stop_all()
        subprocess.run(["rm", "-rf", certdir])

    rows = [("scenario", "metric", "haproxy", "ours", "ours/haproxy")]
    ratios = []
    for sc, metrics in SCENARIOS.items():
        if (sc, "ours") not in results and (sc, "haproxy") not in results:
            continue
        for label, key in metrics:
            h = median(results.get((sc, "haproxy"), []), key)
            o = median(results.get((sc, "ours"), []), key)
            oh = o / h if h and o else None
            rows.append((sc, label, fmt(h), fmt(o), f"{oh:.2f}" if oh else "n/a"))
            ratios.append({"name": sc, "metric": label, "oh": oh})
    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    lines = ["| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |" for r in rows]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    text = "\n".join(lines) + "\n\n" + sbs.goals_table(ratios, failures, GOALS, "failed runs")
    log("")
    log(text)
    if opts.out != "-":
        with open(opts.out, "w") as f:
            f.write(f"# TLS benchmarks\n\n{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, "
                    f"{opts.reps} repetition(s) of {opts.duration:g} s, {opts.threads} threads; medians.\n"
                    f"Machine: {sbs.machine_text()}; commit {sbs.commit_text()}.\n\n"
                    f"{text}\n")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
