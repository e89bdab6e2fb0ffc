#!/usr/bin/env python3
"""Soak run: mixed load through the multiplexor against the reference IM
server (echo mode) for a long time, then a check that the process gives
back what the load took.

The load, all from bin/loadgen at once, for --duration seconds (default
SOAK_SECONDS, else 600; --quick: 60):

  pingers     open loop of small messages on many connections
  streamers   a few connections streaming flat out, everything echoed
  churn       loops of connect, one echo, close
  non-readers connections that send flat out and never read; the
              multiplexor closes each at its client_queue_max and loadgen
              opens a new one

Every echoed byte is checked by loadgen (any loss, mix-up or early close
fails the run). The multiplexor's resident memory and descriptors are
sampled before the load, every few seconds during it and once the load has
stopped and its clients are gone; the run fails when memory does not come
back to within --rss-slack of the start, when descriptors do not come back
to the start, when the multiplexor dies, or when no non-reader was closed.

Processes are started and ended as in sidebyside.py: each in its own
process group, ended by that group id on every way out.
"""

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import sidebyside as sbs  # noqa: E402

MiB = 1 << 20


def fds(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return -1


def loads(port, secs, threads):
    target = ["--target", f"127.0.0.1:{port}", "--duration", str(secs), "--json"]
    return {
        "pingers": ["--mode", "ping", "--conns", "500", "--rate", "5000", "--size", "64", "--drain", "10"],
        "streamers": ["--mode", "stream", "--conns", "4", "--size", "16384", "--window", str(MiB), "--drain", "10"],
        "churn": ["--mode", "connrate", "--conns", "2", "--sources", "16", "--drain", "10"],
        "non-readers": ["--mode", "noread", "--conns", "2", "--size", "65536"],
    }, target


def wait_settled(pid, want_fds, timeout=20.0):
    """Waits until the descriptors are back (clients gone); returns them."""
    deadline = time.monotonic() + timeout
    n = fds(pid)
    while time.monotonic() < deadline and n != want_fds:
        time.sleep(0.25)
        n = fds(pid)
    return n


def main():
    for sig in sbs.STOP_SIGNALS:
        signal.signal(sig, sbs._on_signal)
    ap = argparse.ArgumentParser(description="Soak run of the multiplexor under mixed load.")
    ap.add_argument("--build", default=os.path.join(sbs.SOURCE, "build"), help="build folder (default: build)")
    ap.add_argument("--duration", type=float, help="seconds of load (default SOAK_SECONDS, else 600)")
    ap.add_argument("--quick", action="store_true", help="60 s of load unless a duration is given")
    ap.add_argument("--threads", type=int, default=2, help="threads of the multiplexor (default 2)")
    ap.add_argument("--rss-slack", type=float, default=16, help="MiB the end may stay above the start (default 16)")
    ap.add_argument("--sample", type=float, default=5, help="seconds between samples (default 5)")
    ap.add_argument("--keep", action="store_true", help="keep the temporary folder (configuration, logs)")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS-soak.md"), help="results file ('-' for none)")
    opts = ap.parse_args()
    if opts.duration is None:
        opts.duration = float(os.environ.get("SOAK_SECONDS") or (60 if opts.quick else 600))
    if opts.duration <= 0 or opts.threads < 1:
        ap.error("--duration and --threads must be positive")
    sbs.BIN = os.path.join(os.path.abspath(opts.build), "bin")
    missing = sbs.missing_parts("ours") + [p for p in [os.path.join(sbs.BIN, "loadgen")] if not os.access(p, os.X_OK)]
    if missing:
        print(f"soak: missing {', '.join(missing)}; build first", file=sys.stderr)
        return 2

    def log(msg):
        print(msg, flush=True)

    tmp = tempfile.mkdtemp(prefix="soak-")
    trouble = []
    summary = []  # the lines of the results file
    started = time.gmtime()
    load0 = os.getloadavg()[0]
    try:
        # One log file for the whole run: every Warning line is counted
        # at the end, and a rolled-over file could have been pruned by then.
        t = sbs.start_ours(tmp, opts.threads, extra_keys={"orv.log.orv_mux.maxlogfilesize": "-1",
                                                          "orv.log.orv_mux.rollovertime": "-1"})
        sbs.echo_probe(t.port)
        pid = t.procs["front"].pid
        time.sleep(1.0)
        rss0, fds0 = sbs.rss_bytes(pid), fds(pid)
        log(f"== soak: {opts.duration:g} s of mixed load, multiplexor pid {pid}; "
            f"start: {rss0 / MiB:.1f} MiB resident, {fds0} descriptors")
        specs, common = loads(t.port, opts.duration, opts.threads)
        gens = {}
        for name, args in specs.items():
            gens[name] = sbs.PROCS.start([os.path.join(sbs.BIN, "loadgen")] + args + common,
                                         stdout=subprocess.PIPE, stderr=open(os.path.join(tmp, f"{name}.err"), "wb"))
        peak, t0, last = rss0, time.monotonic(), 0.0
        peak_fds = fds0
        while any(p.poll() is None for p in gens.values()):
            time.sleep(0.5)
            if t.procs["front"].poll() is not None:
                trouble.append(f"the multiplexor ended during the load (status {t.procs['front'].returncode})")
                break
            rss = sbs.rss_bytes(pid)
            peak, peak_fds = max(peak, rss), max(peak_fds, fds(pid))
            now = time.monotonic() - t0
            if now - last >= opts.sample:
                last = now
                log(f"  {now:6.0f} s: {rss / MiB:7.1f} MiB resident, {fds(pid):6d} descriptors")
        results = {}
        for name, p in gens.items():
            out = p.stdout.read().decode(errors="replace")
            status, _ = sbs.PROCS.stop(p)
            try:
                results[name] = json.loads(out.strip().splitlines()[-1])
            except (ValueError, IndexError):
                results[name] = {}
            if status != 0:
                trouble.append(f"loadgen {name} ended with status {status}: {out.strip()[-300:]}")
        fds1 = wait_settled(pid, fds0) if not trouble else fds(pid)
        time.sleep(2.0)
        rss1 = sbs.rss_bytes(pid)

        def note(line):
            summary.append(line)
            log("  " + line)

        for name, r in results.items():
            e = r.get("errors", {})
            note(f"{name:11}: {r.get('msg_rate', 0):8.0f} msg/s  {r.get('rx_mb_s', 0):7.1f} MB/s echoed  "
                 f"{r.get('tx_mb_s', 0):7.1f} MB/s sent  {r.get('conn_rate', 0):6.0f} conn/s  "
                 f"closed by the target {r.get('cut', 0)}  mismatches {r.get('mismatches', '?')}  "
                 f"closed early {e.get('closed_early', '?')}")
        with open(t.log, errors="replace") as f:
            mux_log = f.read()
        cut = results.get("non-readers", {}).get("cut", 0)
        warned = mux_log.count("client queue over limit, closing.")
        note(f"resident memory: start {rss0 / MiB:.1f} MiB, peak {peak / MiB:.1f} MiB, end {rss1 / MiB:.1f} MiB")
        note(f"descriptors: start {fds0}, peak {peak_fds}, end {fds1}")
        note(f"non-readers closed at their bound: {cut} (Warning lines: {warned})")
        if rss1 - rss0 > opts.rss_slack * MiB:
            trouble.append(f"memory did not come back: {(rss1 - rss0) / MiB:.1f} MiB above the start")
        if fds1 != fds0:
            trouble.append(f"descriptors did not come back: {fds1}, started with {fds0}")
        if cut == 0 or warned < cut:
            trouble.append(f"{cut} non-readers closed by the target, {warned} Warning lines")
        if "assertion failed" in mux_log:
            trouble.append("the multiplexor logged an assertion")
        trouble += t.stop()
    except KeyboardInterrupt:
        log("interrupted: stopping every process the soak started")
        sbs.PROCS.stop_all()
        return 130
    except (RuntimeError, OSError) as e:
        trouble.append(str(e))
    finally:
        sbs.PROCS.stop_all()
        if opts.keep:
            log(f"kept {tmp}")
        else:
            subprocess.run(["rm", "-rf", tmp])
    for tr in trouble:
        log(f"  FAILED: {tr}")
    log("soak: " + ("FAILED" if trouble else "ok"))
    if opts.out != "-" and summary:
        with open(opts.out, "w") as f:
            f.write("# Soak results\n\nWritten by `make bench BENCH=soak` (bench/soak.py).\n\n"
                    f"- date: {time.strftime('%Y-%m-%d %H:%M UTC', started)}\n"
                    f"- machine: {sbs.machine_text()}; load average at the start: {load0:.1f}\n"
                    f"- commit: {sbs.commit_text()}\n"
                    f"- {opts.duration:g} s of load, {opts.threads} threads for the multiplexor\n\n```\n"
                    + "\n".join(summary + [f"FAILED: {tr}" for tr in trouble])
                    + f"\n```\n\nVerdict: {'FAILED' if trouble else 'ok'}\n")
    return 1 if trouble else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    finally:
        sbs.PROCS.stop_all()
