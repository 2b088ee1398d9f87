#!/usr/bin/python3
"""Load benchmark: the gateway under many clients at once, and its outbound side
under faults while mails keep coming in.

Inbound: 50 clients at once (the gateway serves 20 and closes the others before
a byte; those clients connect again) send 10,000 mails (--mails) of mixed sizes
up to 2 MB with attachments, several per session now and then, in two rounds:
the first 2,000 (--checkpoint), then the rest. A stand-in fax server takes each
submission as it appears and checks it byte for byte against the mail it came
from. Printed: mails per second (until the last 250, and until the gateway had
written the last submission), resident memory after 2,000 and after 10,000 mails (quiescent) and
its peak, and threads, descriptors and sockets before and after. The same
client load sent to smtp-sink (which stores nothing and has no connection
limit) gives the ceiling of the clients and the loopback network.

Outbound (--outbound N, root only): N message files (default 1,000) in IN whose
receivers refuse connections, answer slowly, never answer RCPT, hang up
mid-dialogue (always, or once) or greylist; printed: the time until every
message was delivered or given its error name, the outcome per kind, and the
inbound rate (--inbound-mails, default 2,000) with and without that outbound
load. The reply time-out is 1 s instead of 35 s, which takes a test build
(the CVSMTPGW_FAULT_INJECTION option): --fault-binary, else
build-bench-faults/cvsmtpgw is built (RelWithDebInfo, so optimised).

Usage:
  /usr/bin/python3 bench/load_bench.py [--binary PATH] [--mails N] [--checkpoint N] [--no-sink]
                                       [--outbound N] [--fault-binary PATH] [--inbound-mails N]
Without --binary it builds and uses build-release/cvsmtpgw (Release).
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "tests" / "integration"))
from gateway_harness import Gateway, free_port  # noqa: E402
from load_support import MailSet, in_own_process, measure_inbound, run_phases, send_all  # noqa: E402

SMTP_SINK = "/usr/sbin/smtp-sink"
CLIENTS = 50
LARGE_SHARE = 0.03
REPLY_TIMEOUT_MS = 1000
START_TIMEOUT = 30.0


def build(directory: str, *options: str) -> Path:
    build_dir = REPO_ROOT / directory
    print(f"building {build_dir}/cvsmtpgw", file=sys.stderr, flush=True)
    subprocess.run(["cmake", "-S", str(REPO_ROOT), "-B", str(build_dir), "-G", "Ninja", "-DCVSMTPGW_TESTS=OFF",
                    *options], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "-j2", "--target", "cvsmtpgw"], check=True,
                   stdout=subprocess.DEVNULL)
    return build_dir / "cvsmtpgw"


def mib(kib: int) -> str:
    return f"{kib / 1024:.1f} MiB"


def inbound(binary: Path, mails_total: int, checkpoint: int) -> dict:
    gw = Gateway(binary=binary, debug_logs=False).start(timeout=START_TIMEOUT)
    mails = MailSet(mails_total + 1, large_share=LARGE_SHARE)
    try:
        phases = (("first", range(checkpoint)), ("rest", range(checkpoint, mails_total)))
        fax, accepted, before, sampler, runs = run_phases(gw, mails, phases, CLIENTS, timeout=1800)
        figures = {name: dict(mails=len(r["result"].accepted), acked=r["acked"], written=r["written"],
                              refused=r["result"].refused, refused_with_bytes=len(r["result"].refused_with_bytes),
                              errors=r["result"].errors + [f"{i}: {m!r}" for i, m in r["result"].failed.items()],
                              rss=r["rss"], counts=r["counts"]) for name, r in runs.items()}
        checked = fax.check(accepted)
        sent_bytes = sum(len(mails.data(mails.mail(i))) for i in range(0, mails_total, 10)) * 10
        return dict(figures=figures, before=before, peak=sampler.peak, checked=checked, sent_bytes=sent_bytes)
    finally:
        gw.stop(60)
        shutil.rmtree(gw.root, ignore_errors=True)


def sink(mails_total: int) -> float:
    port = free_port()
    user = ["-u", "nobody"] if os.geteuid() == 0 else []
    proc = subprocess.Popen([SMTP_SINK, *user, f"127.0.0.1:{port}", "256"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        time.sleep(0.5)
        mails = MailSet(mails_total, large_share=LARGE_SHARE)
        result = asyncio.run(send_all(port, mails, range(mails_total), clients=CLIENTS))
        if result.errors or len(result.accepted) != mails_total:
            raise RuntimeError(f"smtp-sink run: {len(result.accepted)} taken, {result.errors[:3]}")
        return mails_total / result.seconds
    finally:
        proc.terminate()
        proc.wait(10)


def inbound_rate(gw: Gateway, count: int, seed: int) -> float:
    # The clients run in a process of their own, away from the receiver's thread.
    result = in_own_process(measure_inbound, gw.port, str(gw.out_dir), count, seed)
    if result["problems"] or result["accepted"] != count:
        raise RuntimeError(f"inbound run: {result['accepted']} of {count}, {result['problems'][:3]}")
    return result["rate"]


def outbound(binary: Path, messages: int, inbound_mails: int) -> dict:
    from outbound_load import OutboundLoad  # needs root: name servers on port 53

    work = Path(tempfile.mkdtemp(prefix="cvbench-out-"))
    try:
        with OutboundLoad(messages, reply_timeout_ms=REPLY_TIMEOUT_MS, slow_delay=0.02) as load:
            wrapper = load.wrapper(work, binary)
            idle_gw = Gateway(values=load.settings(), binary=wrapper, debug_logs=False)
            idle_gw.env.update(load.environment())
            idle_gw.start(timeout=START_TIMEOUT)
            try:
                idle = inbound_rate(idle_gw, inbound_mails, seed=11)
            finally:
                idle_gw.stop(60)
                shutil.rmtree(idle_gw.root, ignore_errors=True)

            gw = Gateway(values=load.settings(), binary=wrapper, debug_logs=False)
            gw.env.update(load.environment())
            load.write(gw.in_dir)
            gw.start(timeout=START_TIMEOUT)
            try:
                busy = inbound_rate(gw, inbound_mails, seed=12)
                still_waiting = load.waiting(gw.in_dir)
                seconds = load.wait_done(gw.in_dir, 7200)
                summary = load.check(gw.in_dir)
            finally:
                gw.stop(60)
                shutil.rmtree(gw.root, ignore_errors=True)
        return dict(idle=idle, busy=busy, still_waiting=still_waiting, seconds=seconds, summary=summary,
                    counts=load.counts)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--binary", type=Path, help="gateway for the inbound run (default: build-release, built)")
    ap.add_argument("--mails", type=int, default=10000)
    ap.add_argument("--checkpoint", type=int, default=2000)
    ap.add_argument("--no-sink", action="store_true", help="skip the smtp-sink ceiling")
    ap.add_argument("--outbound", type=int, nargs="?", const=1000, default=0, metavar="N",
                    help="also the outbound run with N messages (default 1,000); root only")
    ap.add_argument("--fault-binary", type=Path, help="test build for the outbound run")
    ap.add_argument("--inbound-mails", type=int, default=2000, help="mails per inbound rate of the outbound run")
    args = ap.parse_args()
    if not 0 < args.checkpoint < args.mails:
        ap.error("--checkpoint must lie between 0 and --mails")
    if args.outbound and os.geteuid() != 0:
        ap.error("--outbound needs root (name servers on port 53, mount namespaces)")

    binary = args.binary.resolve() if args.binary else build("build-release", "-DCMAKE_BUILD_TYPE=Release")
    os.sync()
    result = inbound(binary, args.mails, args.checkpoint)
    ceiling = None if args.no_sink else sink(args.mails)
    out = None
    if args.outbound:
        fault_binary = args.fault_binary.resolve() if args.fault_binary else build(
            "build-bench-faults", "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DCVSMTPGW_FAULT_INJECTION=ON")
        os.sync()
        out = outbound(fault_binary, args.outbound, args.inbound_mails)

    f, total = result["figures"], args.mails
    acked = f["first"]["acked"] + f["rest"]["acked"]
    written = f["first"]["written"] + f["rest"]["written"]
    print(f"inbound: {total} mails (about {result['sent_bytes'] / 1e6:.0f} MB), {CLIENTS} clients, {binary}")
    print(f"  mails/s until the last 250          {total / acked:8.1f}")
    print(f"  mails/s until the last submission   {total / written:8.1f}"
          f"   (first {args.checkpoint}: {f['first']['mails'] / f['first']['written']:.1f}, "
          f"rest: {f['rest']['mails'] / f['rest']['written']:.1f})")
    if ceiling is not None:
        print(f"  smtp-sink, same clients and mails   {ceiling:8.1f}   (stores nothing, no connection limit)")
    print(f"  resident memory after {args.checkpoint} mails     {mib(f['first']['rss'])}")
    print(f"  resident memory after {total} mails    {mib(f['rest']['rss'])}")
    print(f"  peak resident memory                {mib(result['peak'])}")
    print(f"  (descriptors, sockets, threads)     before {result['before']}, after {f['rest']['counts']}")
    refused = f["first"]["refused"] + f["rest"]["refused"]
    with_bytes = f["first"]["refused_with_bytes"] + f["rest"]["refused_with_bytes"]
    print(f"  connections refused                 {refused} ({with_bytes} of them with a byte)")
    print(f"  submissions checked                 {result['checked']} (every 250, byte for byte, once)")
    errors = f["first"]["errors"] + f["rest"]["errors"]
    for e in errors[:10]:
        print(f"  error: {e}")
    bad = bool(errors) or with_bytes > 0 or f["rest"]["counts"] != result["before"]
    if out:
        print(f"outbound: {args.outbound} messages {out['counts']}, reply time-out {REPLY_TIMEOUT_MS} ms")
        print(f"  all settled after                   {out['seconds']:8.1f} s")
        for outcome, n in out["summary"]["outcomes"].items():
            print(f"  {outcome:<35} {n:8d}")
        print(f"  receiver connections                {out['summary']['connections']}")
        print(f"  attempts cut by the reply time-out  {out['summary']['cut']}   (made again, none delivered)")
        print(f"  inbound mails/s, IN empty           {out['idle']:8.1f}   ({args.inbound_mails} mails)")
        print(f"  inbound mails/s, while delivering   {out['busy']:8.1f}   "
              f"({out['still_waiting']} messages still waiting at its end)")
        bad |= out["still_waiting"] == 0
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
