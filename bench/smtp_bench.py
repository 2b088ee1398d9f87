#!/usr/bin/python3
"""SMTP receive benchmark: the gateway against Postfix smtpd and smtp-sink.

Postfix's smtp-source (HELO, one mail per connection) sends the same load to
three servers on 127.0.0.1, each started fresh for each load and stopped after:

  gateway  `cvsmtpgw -m` with a temporary hive and spool; it syncs each mail
           to disk before its 250 and then hands it off to the fax server.
           Its time runs until the last fax submission (ENV<n>.tmp) is
           written, so the hand-offs still queued after the last 250 count.
  smtpd    a private Postfix instance (own configuration and queue directory,
           master started with -c), the peer of equal durability: its cleanup
           syncs each queue file before the 250. Everything is handed to the
           discard transport, so nothing is delivered anywhere.
  sink     smtp-sink, which stores nothing: the ceiling of the client and the
           loopback network.

On ext4 without a journal a new file's inode is searched for past every
inode freed in the last 60 seconds (longer while their table blocks are not
written back), so a server started right after another's thousands of
deletions pays for them. Therefore the page cache is written back (sync)
before each run, the bench waits 61 seconds after each run of a server that
deletes files (smtpd deletes every queue file once discarded; --no-settle
skips the wait), and work directories are removed only at the end.

Loads: 2,000 mails of 10 KB and 20 mails of 1 MB, each with 1 and with 10
parallel sessions (--quick: 200 and 5 mails), and the TLS cell: 2,000 mails of
10 KB in 10 sessions, each mail over STARTTLS (EHLO, STARTTLS, a TLS 1.3
handshake, EHLO, the mail). smtp-source speaks no TLS, so that cell's client
is bench/tls_source (one mail per connection, as smtp-source), and the
gateway and smtpd are given the same certificate (ECDSA P-256, made for the
run); the sink does not take part in it. Prints mails per second per server
and the gateway's ratio to smtpd and to sink.

File systems (--fs): `disk` runs the servers in this machine's temporary
directory; `ext4` and `xfs` run them on a file system made for the purpose in
a loop file (default mkfs.ext4, which journals, and mkfs.xfs), made afresh
for every run of every server, so that no run pays for another's files. Each
figure is the median of --runs runs (default 3); there the bench also prints
what each mail cost the device: KB written (data, metadata, journal) and
cache flushes, from the block layer's counters. --rows runs only some rows.
For each file system the bench also prints how long a start takes to hand off 20 mails that an earlier
run acknowledged and left in OUT (a crash), from the gateway's own log.

Usage (as root, for the private Postfix and the loop mounts):
  /usr/bin/python3 bench/smtp_bench.py [--binary PATH] [--only gateway,smtpd,sink] [--quick]
                                       [--fs disk,ext4,xfs] [--runs N] [--rows 1,2,...]
Without --binary it builds and uses build-release/cvsmtpgw.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import re
import statistics
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "tests" / "integration"))
from gateway_harness import LOOPBACK, Gateway, free_port  # noqa: E402
from private_postfix import PrivatePostfix  # noqa: E402
from spool_files import leave_acknowledged  # noqa: E402

SMTP_SINK = "/usr/sbin/smtp-sink"
TLS_SOURCE = REPO_ROOT / "build-release" / "bench" / "tls_source"
START_TIMEOUT = 15.0
RUN_TIMEOUT = 300.0
FINISH_TIMEOUT = 60.0
SETTLE_SECONDS = 61.0
IMAGE_SIZE = 8 << 30  # sparse: blocks are taken as the run writes
STRANDED = 20


@contextlib.contextmanager
def scratch_fs(kind: str):
    """A directory for the servers' files: this machine's temporary directory
    for `disk`, else a fresh file system of `kind` in a loop file."""
    if kind == "disk":
        yield None
        return
    work = Path(tempfile.mkdtemp(prefix=f"cvbench-{kind}-", dir="/var/tmp"))
    image, mount = work / "image", work / "mnt"
    os.chmod(work, 0o755)  # the private Postfix's daemons pass through it as postfix
    mount.mkdir()
    try:
        with open(image, "wb") as f:
            f.truncate(IMAGE_SIZE)
        mkfs = ["mkfs.ext4", "-q", "-F", str(image)] if kind == "ext4" else ["mkfs.xfs", "-q", "-f", str(image)]
        subprocess.run(mkfs, check=True, stdin=subprocess.DEVNULL)
        subprocess.run(["mount", "-o", "loop", str(image), str(mount)], check=True)
        try:
            os.chmod(mount, 0o1777)  # the private Postfix's daemons run as postfix
            yield mount
        finally:
            # A server's processes may take a moment to let go of their files.
            for _ in range(50):
                if subprocess.run(["umount", str(mount)], stderr=subprocess.DEVNULL).returncode == 0:
                    break
                time.sleep(0.1)
            else:
                subprocess.run(["umount", "-l", str(mount)], check=False)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def run_smtp_source(port: int, count: int = 1, sessions: int = 1, size: int = 1024, *extra: str,
                    timeout: float = 60.0, check: bool = True) -> subprocess.CompletedProcess:
    """Postfix's smtp-source; with `check` an unexpected reply raises."""
    cmd = ["/usr/sbin/smtp-source", "-s", str(sessions), "-m", str(count), "-l", str(size), *extra, f"{LOOPBACK}:{port}"]
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout, check=check)


@dataclass(frozen=True)
class Load:
    mails: int
    size: int
    sessions: int
    tls: bool = False

    @property
    def label(self) -> str:
        size = f"{self.size // 1024} KB" if self.size < 1 << 20 else f"{self.size >> 20} MB"
        return (f"{self.mails} x {size}, {self.sessions} session{'s' if self.sessions > 1 else ''}"
                + (", TLS" if self.tls else ""))


def loads(quick: bool, rows: list[int]) -> list[Load]:
    """The table's loads; `rows` (from 1) picks some, empty: all."""
    small, big = (200, 5) if quick else (2000, 20)
    every = [Load(small, 10 * 1024, 1), Load(small, 10 * 1024, 10),
             Load(big, 1 << 20, 1), Load(big, 1 << 20, 10), Load(small, 10 * 1024, 10, tls=True)]
    return [load for k, load in enumerate(every, 1) if not rows or k in rows]


def table_rows(text: str) -> list[int]:
    """--rows: comma-separated numbers from 1 to 5."""
    try:
        rows = [int(r) for r in text.split(",") if r.strip()]
    except ValueError:
        rows = [0]
    if any(not 1 <= r <= 5 for r in rows):
        raise argparse.ArgumentTypeError("takes numbers from 1 to 5")
    return rows


@dataclass(frozen=True)
class Certificate:
    cert: Path
    key: Path


def make_certificate(directory: Path) -> Certificate:
    """A self-signed ECDSA P-256 certificate that both servers are given;
    readable by the private Postfix's daemons."""
    cert, key = directory / "bench-cert.pem", directory / "bench-key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", str(key), "-out", str(cert), "-days", "2", "-subj", "/CN=bench.localdomain"],
                   check=True, capture_output=True)
    for f in (cert, key):
        os.chmod(f, 0o644)
    return Certificate(cert, key)


def wait_accepting(port: int, timeout: float, alive=lambda: True) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.settimeout(5)
                if s.recv(3) == b"220":
                    return
        except OSError:
            pass
        if not alive():
            raise RuntimeError(f"server on port {port} exited during start-up")
        if time.monotonic() > deadline:
            raise TimeoutError(f"nothing accepts on port {port} after {timeout}s")
        time.sleep(0.1)


class GatewayServer:
    name = "gateway"
    deletes_files = True  # each spool file, once handed off

    def __init__(self, binary: Path | None):
        self.binary = binary  # None: build build-release/cvsmtpgw at first start
        self.build_error = ""
        self.deny_patterns = 50
        self.certificate: Certificate | None = None
        self.gw: Gateway | None = None
        self.leftovers: list[Path] = []

    def start(self, load: Load) -> int:
        if self.binary is None and not self.build_error:
            try:
                self.binary = ensure_release_binary()
            except (subprocess.SubprocessError, OSError) as e:
                self.build_error = f"Release build failed: {e}"
        if self.build_error:
            raise RuntimeError(self.build_error)
        # Debug logs off, as in production: the received mail is deleted once
        # its submission is written.
        # As a careful installation runs it: client networks (the harness's
        # loopback) and a deny list that the bench's numbers (555xxxx) pass.
        values = {"FaxNumberDeny": deny_list(self.deny_patterns)} if self.deny_patterns else {}
        if load.tls:
            values.update(TlsCertificateFile=str(self.certificate.cert), TlsKeyFile=str(self.certificate.key))
        self.gw = Gateway(values=values, binary=self.binary, debug_logs=False).start(timeout=START_TIMEOUT)
        return self.gw.port

    def finish(self, load: Load) -> str:
        """Waits until every mail has become a fax submission (ENV<n>.tmp): the
        gateway hands mails off after their 250, and its figure counts until
        the last submission is written."""
        out = self.gw.out_dir
        deadline = time.monotonic() + FINISH_TIMEOUT
        while True:
            done = sum(1 for n in os.listdir(out) if n.startswith("ENV") and n.endswith(".tmp"))
            if done >= load.mails:
                return ""
            if time.monotonic() > deadline:
                return f"only {done} of {load.mails} submissions written"
            time.sleep(0.002)

    def stop(self) -> None:
        if self.gw:
            self.gw.stop()
            self.leftovers.append(self.gw.root)
            self.gw = None

    def cleanup(self) -> None:
        for root in self.leftovers:
            shutil.rmtree(root, ignore_errors=True)
        self.leftovers.clear()


# The private Postfix (tests/integration/private_postfix.py) as a discarding
# receiver on 127.0.0.1: each queue file synced before its 250, every mail
# discarded after.
DISCARD_MAIN_CF = """\
myhostname = bench.localdomain
mydomain = localdomain
myorigin = $myhostname
inet_interfaces = loopback-only
mynetworks = 127.0.0.0/8
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_recipient_restrictions = permit_mynetworks, reject
smtpd_banner = $myhostname ESMTP
default_transport = discard
relay_transport = discard
local_transport = discard
virtual_transport = discard
"""


class PostfixServer:
    """A throw-away Postfix instance whose directory is removed at the end of the bench."""

    name = "smtpd"
    deletes_files = True  # each queue file, once discarded

    def __init__(self):
        self.postfix: PrivatePostfix | None = None
        self.certificate: Certificate | None = None
        self.leftovers: list[Path] = []

    def start(self, load: Load) -> int:
        main_cf = DISCARD_MAIN_CF
        if load.tls:
            main_cf += (f"smtpd_tls_cert_file = {self.certificate.cert}\nsmtpd_tls_key_file = {self.certificate.key}\n"
                        "smtpd_tls_security_level = may\n")
        self.postfix = PrivatePostfix(LOOPBACK, free_port(), main_cf, prefix="cvbench-postfix-").start()
        return self.postfix.port

    def finish(self, load: Load) -> str:
        return ""  # the 250 came after the queue file was synced; delivery is not waited for

    def cleanup(self) -> None:
        for root in self.leftovers:
            shutil.rmtree(root, ignore_errors=True)
        self.leftovers.clear()

    def stop(self, keep: bool = False) -> None:
        if self.postfix:
            root = self.postfix.stop(keep=True)
            if root and not keep:
                self.leftovers.append(root)  # removed by cleanup(), at the end of the bench
            self.postfix = None


class SinkServer:
    name = "sink"
    deletes_files = False

    def __init__(self):
        self.proc: subprocess.Popen | None = None
        self.certificate = None  # takes no part in the TLS cell

    def start(self, load: Load) -> int:
        port = free_port()
        # Backlog 256 so that ten sessions never wait for accept(); as root it
        # must be told whom to run as.
        user = ["-u", "nobody"] if os.geteuid() == 0 else []
        self.proc = subprocess.Popen([SMTP_SINK, *user, f"127.0.0.1:{port}", "256"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        wait_accepting(port, START_TIMEOUT, lambda: self.proc.poll() is None)
        return port

    def finish(self, load: Load) -> str:
        return ""

    def cleanup(self) -> None:
        pass

    def stop(self) -> None:
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
            self.proc = None


def block_device_of(path: str) -> str | None:
    """The block device (its name under /sys/block) that holds `path`, or None."""
    r = subprocess.run(["findmnt", "-no", "SOURCE", "--target", path], capture_output=True, text=True)
    name = os.path.basename(r.stdout.strip())
    return name if name and os.path.exists(f"/sys/block/{name}/stat") else None


def device_counts(name: str) -> tuple[int, int]:
    """Sectors written and cache flushes completed on the device so far (the block layer's counters)."""
    fields = open(f"/sys/block/{name}/stat").read().split()
    return int(fields[6]), int(fields[15]) if len(fields) > 15 else 0


Disk = tuple[float, float]  # KB written and cache flushes per mail


def run_one(server, load: Load) -> tuple[float | None, str, Disk | None]:
    """Mails per second for one server and load (None and why, on failure), and
    what the run cost the device when it ran on a loop file system."""
    try:
        port = server.start(load)
    except Exception as e:  # noqa: BLE001 - reported in the table, next server runs
        return None, f"{server.name}: start failed: {e}", None
    try:
        # The previous run's files are written back first, so that no server
        # waits behind another's writeback.
        os.sync()
        device = block_device_of(tempfile.tempdir) if tempfile.tempdir else None
        counts = device_counts(device) if device else None
        began = time.monotonic()
        try:
            if load.tls:
                r = subprocess.run([str(TLS_SOURCE), LOOPBACK, str(port), str(load.sessions), str(load.mails),
                                    str(load.size)], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                   timeout=RUN_TIMEOUT)
            else:
                r = run_smtp_source(port, load.mails, load.sessions, load.size,
                                    timeout=RUN_TIMEOUT, check=False)
        except subprocess.TimeoutExpired:
            return None, f"{server.name}: {load.label}: no end after {RUN_TIMEOUT:.0f}s", None
        if r.returncode != 0:
            return None, (f"{server.name}: {load.label}: smtp-source failed "
                          f"({r.returncode}): {(r.stderr or r.stdout).strip()[-300:]}"), None
        problem = server.finish(load)
        elapsed = time.monotonic() - began
        if problem:
            return None, f"{server.name}: {load.label}: {problem}", None
        disk = None
        if counts:
            sectors, flushes = (b - a for a, b in zip(counts, device_counts(device)))
            disk = (sectors / 2 / load.mails, flushes / load.mails)
        return load.mails / elapsed, "", disk
    finally:
        server.stop()


def measure_recovery(binary: Path) -> tuple[float | None, str]:
    """Milliseconds the gateway's start took to hand off STRANDED mails left
    acknowledged in OUT, as its debug log reports them."""
    gw = Gateway(binary=binary, debug_logs=True)
    try:
        gw.start(timeout=START_TIMEOUT)
        gw.stop()
        body = b"".join(b"line %d of a stranded mail, nothing special about it\r\n" % i for i in range(180))
        for n in range(STRANDED):
            mail = (b"Received: from bench by fax.example.com ; \r\nFrom: a@example.com\r\n"
                    b"To: 5550100@fax.example.com\r\nSubject: stranded %d\r\n\r\n" % n) + body
            leave_acknowledged(gw.out_dir, 1000 + n, mail, ["TO:<5550100@fax.example.com>"], n)
        os.sync()
        gw.start(timeout=START_TIMEOUT)
        found = re.search(r"handed off at start: (\d+) in (\d+) ms", gw.text("debug.log"))
        handed = len(gw.files("ENV*.tmp"))
        gw.stop()
        if not found or int(found.group(1)) != STRANDED or handed != STRANDED:
            return None, f"recovery: {handed} of {STRANDED} handed off"
        return float(found.group(2)), ""
    except Exception as e:  # noqa: BLE001 - reported, the bench goes on
        gw.stop()
        return None, f"recovery: {e}"
    finally:
        shutil.rmtree(gw.root, ignore_errors=True)


def ensure_release_binary() -> Path:
    build = REPO_ROOT / "build-release"
    binary = build / "cvsmtpgw"
    print(f"building {binary} (Release)", file=sys.stderr)
    subprocess.run(["cmake", "-S", str(REPO_ROOT), "-B", str(build), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DCVSMTPGW_TESTS=OFF", "-DCVSMTPGW_BENCH=ON"],
                   check=True, stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
    subprocess.run(["cmake", "--build", str(build), "-j2", "--target", "cvsmtpgw", "tls_source"],
                   check=True, stdout=subprocess.DEVNULL, timeout=2 * RUN_TIMEOUT)
    return binary


def fmt_rate(rate: float | None) -> str:
    return "failed" if rate is None else f"{rate:.1f}"


def fmt_ratio(a: float | None, b: float | None) -> str:
    return "-" if a is None or b is None else f"{a / b:.2f}"


def run_loads(servers, fs: str, args, notes: list[str]) -> tuple[dict, dict]:
    """Median mails per second per (server, load) on file system `fs`, and
    the median device cost per (server, load) where it was measured."""
    rates: dict[tuple[str, Load], list[float]] = {}
    disk: dict[tuple[str, Load], list[tuple[float, float]]] = {}
    failed: set[tuple[str, Load]] = set()
    # Every other round runs the servers in reverse order, so that neither
    # always runs first: a run can find the device still busy with the last
    # one's writes and deletions.
    runs = [(load, server) for r in range(args.runs) for load in loads(args.quick, args.rows)
            for server in (servers if r % 2 == 0 else servers[::-1]) if not (load.tls and server.name == "sink")]
    for k, (load, server) in enumerate(runs):
        with scratch_fs(fs) as mount:
            tempfile.tempdir = str(mount) if mount else None
            try:
                rate, note, cost = run_one(server, load)
                server.cleanup()
            finally:
                tempfile.tempdir = None
        key = (server.name, load)
        if rate is None:
            failed.add(key)
        else:
            rates.setdefault(key, []).append(rate)
            if cost:
                disk.setdefault(key, []).append(cost)
        if note and note not in notes:
            notes.append(note)
        print(f"  {fs:<5} {load.label:<26} {server.name:<8} {fmt_rate(rate):>9} mails/s",
              file=sys.stderr, flush=True)
        if fs == "disk" and server.deletes_files and k + 1 < len(runs) and not args.no_settle:
            # Let the files this run deleted age out (see the module comment).
            print(f"  waiting {SETTLE_SECONDS:.0f}s after {server.name}'s deletions", file=sys.stderr, flush=True)
            os.sync()
            time.sleep(SETTLE_SECONDS)
    results = {key: (None if key in failed or key not in rates else statistics.median(rates[key]))
               for key in {(s.name, l) for s in servers for l in loads(args.quick, args.rows)
                           if not (l.tls and s.name == "sink")}}
    costs = {key: (statistics.median(kb for kb, _ in v), statistics.median(f for _, f in v))
             for key, v in disk.items()}
    return results, costs


def print_table(fs: str, servers, results: dict, disk: dict, runs: int, table: list[Load]) -> None:
    cols = [s.name for s in servers]
    ratios = [("gw/smtpd", "smtpd"), ("gw/sink", "sink")] if "gateway" in cols else []
    ratios = [r for r in ratios if r[1] in cols]
    header = f"{'load (mails x size, sessions)':<30}" + "".join(f"{c:>10}" for c in cols) \
        + "".join(f"{r[0]:>10}" for r in ratios)
    print(f"{fs}: mails per second, median of {runs} run{'s' * (runs > 1)}, smtp-source (the TLS row: tls_source) to 127.0.0.1")
    print(header)
    print("-" * len(header))
    for load in table:
        row = f"{load.label:<30}" + "".join(
            f"{fmt_rate(results[(c, load)]) if (c, load) in results else '-':>10}" for c in cols)
        row += "".join(f"{fmt_ratio(results.get(('gateway', load)), results.get((peer, load))):>10}"
                       for _, peer in ratios)
        print(row)
    if disk:
        # What each mail cost the disk: file data, metadata and journal, and the device's cache flushes.
        print(f"{fs}: KB written to the device / cache flushes, per mail (medians)")
        for load in table:
            print(f"{load.label:<30}" + "".join(
                f"{f'{disk[(c, load)][0]:.1f} / {disk[(c, load)][1]:.2f}' if (c, load) in disk else '-':>14}"
                for c in cols))


def deny_list(count: int) -> str:
    """`count` premium-rate and international patterns, none matching the bench's numbers."""
    prefixes = ["0900", "0180", "0137", "1900", "00", "+", "0190", "0138", "118", "0700"]
    return " ".join(f"{prefixes[n % len(prefixes)]}{n // len(prefixes) or ''}*" for n in range(count))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--binary", type=Path, help="gateway binary (default: build-release/cvsmtpgw, built)")
    ap.add_argument("--only", default="gateway,smtpd,sink",
                    help="comma-separated servers to run: gateway, smtpd, sink")
    ap.add_argument("--quick", action="store_true", help="200 small and 5 large mails per run")
    ap.add_argument("--no-settle", action="store_true",
                    help="no pause after the runs of a server that deletes files (disk only)")
    ap.add_argument("--fs", default="disk", help="comma-separated file systems: disk, ext4, xfs")
    ap.add_argument("--runs", type=int, default=3, help="runs per figure; the median is printed")
    ap.add_argument("--rows", type=table_rows, default=[],
                    help="comma-separated rows of the table to run, from 1 (default: all)")
    ap.add_argument("--deny-patterns", type=int, default=50,
                    help="patterns in the gateway's FaxNumberDeny (0: none); ClientNetworks is always set")
    args = ap.parse_args()

    names = [n.strip() for n in args.only.split(",") if n.strip()]
    unknown = set(names) - {"gateway", "smtpd", "sink"}
    if unknown or not names:
        ap.error(f"unknown server in --only: {', '.join(sorted(unknown)) or '(none)'}")
    systems = [f.strip() for f in args.fs.split(",") if f.strip()]
    if set(systems) - {"disk", "ext4", "xfs"} or not systems:
        ap.error("--fs takes disk, ext4 and xfs")
    if set(systems) - {"disk"} and os.geteuid() != 0:
        ap.error("loop file systems need root")
    servers = []
    for name in ("gateway", "smtpd", "sink"):
        if name not in names:
            continue
        if name == "gateway":
            servers.append(GatewayServer(args.binary.resolve() if args.binary else None))
            servers[-1].deny_patterns = args.deny_patterns
        elif name == "smtpd":
            servers.append(PostfixServer())
        else:
            servers.append(SinkServer())

    if not TLS_SOURCE.exists():
        ensure_release_binary()  # builds the TLS cell's client too
    certificate_dir = Path(tempfile.mkdtemp(prefix="cvbench-cert-", dir="/var/tmp"))
    os.chmod(certificate_dir, 0o755)
    certificate = make_certificate(certificate_dir)
    for server in servers:
        server.certificate = certificate

    notes: list[str] = []
    tables = []
    for fs in systems:
        results, disk = run_loads(servers, fs, args, notes)
        recovery = None
        gateway = next((s for s in servers if s.name == "gateway"), None)
        if gateway is not None and gateway.binary is not None:
            with scratch_fs(fs) as mount:
                tempfile.tempdir = str(mount) if mount else None
                try:
                    recovery, note = measure_recovery(gateway.binary)
                finally:
                    tempfile.tempdir = None
            if note:
                notes.append(f"{fs}: {note}")
        tables.append((fs, results, disk, recovery))
    for fs, results, disk, recovery in tables:
        print_table(fs, servers, results, disk, args.runs, loads(args.quick, args.rows))
        if recovery is not None:
            print(f"{fs}: a start hands off {STRANDED} stranded mails in {recovery:.0f} ms")
        print()
    for note in notes:
        print(f"note: {note}")
    shutil.rmtree(certificate_dir, ignore_errors=True)
    return 1 if any(r is None for _, results, _, _ in tables for r in results.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
