#!/usr/bin/python3
"""MIME decoding benchmark: the gateway's decoder against `base64 -d` and
Python's email package on the same mails, in the same run.

Workloads (made fresh in a temporary directory):
  b64-20MB  one mail with a 20 MB attachment in base64 (76-character lines)
  b64-5MB   the same with 5 MB, to show that peak memory does not grow with size
  parts-2000  one mail of 2,000 small parts (text and base64 attachments)

For each the gateway's hand-off runs through bench/decode_file (the decoder
with its submission files, settings from a private hive); `base64 -d` decodes
the bare base64 text of the attachment, and Python's email package parses the
mail and decodes every part (writing nothing). Rates are MB per second of mail
input (base64 text for `base64 -d`), from the wall time of each process, start-up
included; the decoder's peak RSS comes from /usr/bin/time -v.
Each figure is the best of --runs runs.

Usage: /usr/bin/python3 bench/mime_bench.py [--build DIR] [--runs N]
Without --build it configures and builds build-release/ (Release, no sanitizers).
"""

from __future__ import annotations

import argparse
import base64
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "tests" / "integration"))
from gateway_harness import write_hive  # noqa: E402


def build_release() -> Path:
    build = REPO_ROOT / "build-release"
    subprocess.run(["cmake", "-S", str(REPO_ROOT), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DCVSMTPGW_SANITIZE=OFF", "-DCVSMTPGW_TESTS=ON"], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "decode_file"], check=True,
                   stdout=subprocess.DEVNULL)
    return build


def crlf(data: bytes) -> bytes:
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def attachment_mail(size: int) -> tuple[bytes, bytes]:
    data = os.urandom(size)
    b64 = base64.encodebytes(data)
    head = (b"From: a@example.com\nTo: 5550100@fax.example.com\nSubject: big\nMIME-Version: 1.0\n"
            b"Content-Type: multipart/mixed; boundary=\"=_b\"\n\n--=_b\nContent-Type: text/plain\n\n"
            b"See the attachment.\n--=_b\nContent-Type: application/pdf; name=\"big.pdf\"\n"
            b"Content-Transfer-Encoding: base64\n\n")
    return crlf(head + b64 + b"--=_b--\n"), b64


def many_parts_mail(parts: int) -> bytes:
    out = [b"From: a@example.com\nTo: 5550100@fax.example.com\nSubject: parts\nMIME-Version: 1.0\n"
           b"Content-Type: multipart/mixed; boundary=\"=_p\"\n\n"]
    for i in range(parts):
        if i % 2:
            payload = base64.encodebytes(os.urandom(600))
            out.append(b"--=_p\nContent-Type: application/octet-stream; name=\"p%d.bin\"\n"
                       b"Content-Transfer-Encoding: base64\n\n%s" % (i, payload))
        else:
            out.append(b"--=_p\nContent-Type: text/plain; charset=us-ascii\n\npart %d text line\n" % i)
    out.append(b"--=_p--\n")
    return crlf(b"".join(out))


def run_decoder(tool: Path, workdir: Path, mail: Path) -> tuple[float, int]:
    """Wall seconds of one hand-off process (start-up included, as for the
    peers) and its peak RSS in KB."""
    out = workdir / "OUT"
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    hive = workdir / "hive.reg"
    write_hive(hive, {"ProgramPath": f"{workdir}/", "OUTIndex": 0, "OUTIndexAtt": 0})
    env = dict(os.environ, CVSMTPGW_HIVE=str(hive))
    start = time.perf_counter()
    run = subprocess.run(["/usr/bin/time", "-v", str(tool), str(mail)], env=env,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    took = time.perf_counter() - start
    if run.returncode != 0:
        sys.exit(f"decode_file failed:\n{run.stderr}")
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1))
    return took, rss


def run_base64(b64_path: Path) -> float:
    start = time.perf_counter()
    with open(os.devnull, "wb") as sink:
        subprocess.run(["base64", "-d", str(b64_path)], stdout=sink, check=True)
    return time.perf_counter() - start


def run_python_email(mail_path: Path) -> float:
    code = ("import sys\nfrom email import policy\nfrom email.parser import BytesParser\n"
            "m = BytesParser(policy=policy.compat32).parse(open(sys.argv[1], 'rb'))\n"
            "n = 0\nfor p in m.walk():\n    if not p.is_multipart(): n += len(p.get_payload(decode=True) or b'')\n")
    start = time.perf_counter()
    subprocess.run(["/usr/bin/python3", "-c", code, str(mail_path)], check=True)
    return time.perf_counter() - start


def best(fn, runs: int):
    results = [fn() for _ in range(runs)]
    return min(results, key=lambda r: r[0] if isinstance(r, tuple) else r)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", type=Path, help="build directory with bench/decode_file (default: build-release)")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--dir", type=Path,
                    help="work directory base (default /dev/shm when present: the figures then show the "
                         "decoder, not the disk's sync latency for the spool and the settings hive)")
    args = ap.parse_args()
    build = args.build or build_release()
    tool = build / "bench" / "decode_file"
    base = args.dir or (Path("/dev/shm") if Path("/dev/shm").is_dir() else None)
    work = Path(tempfile.mkdtemp(prefix="mimebench-", dir=base))
    print(f"work directory {work}")
    try:
        print(f"{'workload':<12} {'input MB':>9} {'gateway MB/s':>13} {'base64 -d MB/s':>15} "
              f"{'python MB/s':>12} {'gw/base64':>10} {'gw/python':>10} {'gw peak RSS':>12}")
        workloads = []
        for label, size in (("b64-20MB", 20 << 20), ("b64-5MB", 5 << 20)):
            mail, b64 = attachment_mail(size)
            workloads.append((label, mail, b64))
        workloads.append(("parts-2000", many_parts_mail(2000), None))
        for label, mail, b64 in workloads:
            mail_path = work / f"{label}.zqx"
            mail_path.write_bytes(mail)
            mb = len(mail) / 1e6
            gw_time, rss = best(lambda: run_decoder(tool, work, mail_path), args.runs)
            py_time = best(lambda: run_python_email(mail_path), args.runs)
            gw_rate, py_rate = mb / gw_time, mb / py_time
            if b64 is not None:
                b64_path = work / f"{label}.b64"
                b64_path.write_bytes(b64)
                b64_rate = len(b64) / 1e6 / best(lambda: run_base64(b64_path), args.runs)
                b64_text, ratio = f"{b64_rate:15.1f}", f"{gw_rate / b64_rate:10.2f}"
            else:
                b64_text, ratio = f"{'-':>15}", f"{'-':>10}"
            print(f"{label:<12} {mb:9.1f} {gw_rate:13.1f} {b64_text} {py_rate:12.1f} {ratio} "
                  f"{gw_rate / py_rate:10.2f} {rss:9d} KB")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
