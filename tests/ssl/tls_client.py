#!/usr/bin/env python3
# TLS client for the SSL tests and benchmarks.
#
# Single connection (default): connects, completes the handshake, prints
# "VERSION CIPHER" on a line, sends --send (hex), reads --recv bytes and
# prints them as hex on a second line (--delay: after waiting that long
# without reading; --recv -1: reads until the server closes and prints the
# count; --pieces: then the number of reads, one per TLS record, too). Exit status 0 when everything arrived (with --closed: and then the
# server's close-notify).
#
# --resume: two connections, the second resuming the first one's session by
# its session ID; prints "reused" or "new".
#
# --parallel N: N connections complete their handshakes at once, each sends
# "client-<i>\n" and expects it back (an echoing server); prints "ok <count>"
# and exits 0 when every connection got its own line back.
import argparse, binascii, os, socket, ssl, sys, threading, time  # noqa: E401 - one line of imports


def context(args):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.load_verify_locations(args.ca)
    if args.tls:
        v = {"1.2": ssl.TLSVersion.TLSv1_2, "1.3": ssl.TLSVersion.TLSv1_3}[args.tls]
        ctx.minimum_version = ctx.maximum_version = v
    if args.ciphers:
        ctx.set_ciphers(args.ciphers)
    if args.cert:
        ctx.load_cert_chain(args.cert, args.key)
    if args.closed and hasattr(ssl, "OP_IGNORE_UNEXPECTED_EOF"):
        ctx.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF  # some builds set it by default
    return ctx


def connect(args, ctx, session=None):
    raw = socket.create_connection(("127.0.0.1", args.port), timeout=args.timeout)
    raw.sendall(binascii.unhexlify(args.proxy))  # a balancer's header, before the handshake
    # With --closed an end of stream without close-notify raises SSLEOFError.
    return ctx.wrap_socket(raw, server_hostname="localhost", suppress_ragged_eofs=not args.closed, session=session)


READS = [0]


def recv_exact(sock, n, deadline):
    got = b""
    while len(got) < n and time.monotonic() < deadline:
        READS[0] += 1
        piece = sock.recv(n - len(got))
        if not piece:
            break
        got += piece
    return got


def resume(args):
    # Two connections, the second offering the first one's session (a
    # session ID: tickets are switched off); prints "reused" or "new".
    ctx = context(args)
    ctx.options |= ssl.OP_NO_TICKET
    first = connect(args, ctx)
    session = first.session
    first.close()
    # The server may put the session into its cache only after its last
    # handshake flight has reached us: with a gate, wait until the caller
    # has seen the first handshake finish on the server side.
    if args.gate:
        deadline = time.monotonic() + args.timeout
        while not os.path.exists(args.gate) and time.monotonic() < deadline:
            time.sleep(0.01)
    second = connect(args, ctx, session)
    print("reused" if second.session_reused else "new", flush=True)
    second.close()
    return 0


def single(args):
    ctx = context(args)
    s = connect(args, ctx)
    print(s.version(), s.cipher()[0], flush=True)
    if args.send:
        s.sendall(binascii.unhexlify(args.send))
    time.sleep(args.delay)
    if args.recv < 0:
        count, piece = 0, s.recv(65536)
        while piece:
            count, piece = count + len(piece), s.recv(65536)
        print(count, flush=True)
        return 0
    got = recv_exact(s, args.recv, time.monotonic() + args.timeout) if args.recv else b""
    print(got.hex(), *READS[:1] if args.pieces else [], flush=True)
    if args.closed and s.recv(1) != b"":
        return 1
    if args.hold:
        time.sleep(args.hold)
    s.close()
    return 0 if len(got) == args.recv else 1


def parallel(args):
    ctx = context(args)
    barrier = threading.Barrier(args.parallel, timeout=args.timeout)
    results = ["not run"] * args.parallel

    def one(i):
        try:
            raw = socket.create_connection(("127.0.0.1", args.port), timeout=args.timeout)
            try:
                barrier.wait()
            except threading.BrokenBarrierError:
                pass
            with ctx.wrap_socket(raw, server_hostname="localhost") as s:
                line = b"client-%d\n" % i
                s.sendall(line)
                got = recv_exact(s, len(line), time.monotonic() + args.timeout)
                results[i] = "ok" if got == line else "echo %r" % got
        except Exception as e:  # noqa: BLE001 - reported below
            results[i] = str(e)

    threads = [threading.Thread(target=one, args=(i,)) for i in range(args.parallel)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(args.timeout * 2)
    print("ok", results.count("ok"), flush=True)
    for e in [f"{i}: {r}" for i, r in enumerate(results) if r != "ok"][:10]:
        print("error", e, file=sys.stderr)
    return 0 if results.count("ok") == args.parallel else 1


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--ca", required=True)
    p.add_argument("--tls", choices=["1.2", "1.3"])
    p.add_argument("--ciphers")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--proxy", default="", help="hex bytes sent before the handshake")
    p.add_argument("--send", default="")
    p.add_argument("--recv", type=int, default=0)
    p.add_argument("--pieces", action="store_true", help="print the number of reads after the bytes")
    p.add_argument("--hold", type=float, default=0)
    p.add_argument("--closed", action="store_true", help="then expect the server's close-notify and end")
    p.add_argument("--delay", type=float, default=0)
    p.add_argument("--parallel", type=int, default=0)
    p.add_argument("--resume", action="store_true")
    p.add_argument("--gate", help="with --resume: wait for this file before the second connection")
    p.add_argument("--timeout", type=float, default=10)
    args = p.parse_args()
    try:
        return resume(args) if args.resume else parallel(args) if args.parallel else single(args)
    except Exception as e:  # noqa: BLE001 - the test reads the message
        print("error", type(e).__name__, e, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
