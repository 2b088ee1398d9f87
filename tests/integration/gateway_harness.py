"""The built gateway (`cvsmtpgw -m`) as a process with a private program directory,
hive and loopback port, for integration tests and bench/ (standard library only)."""

from __future__ import annotations

import contextlib
import fnmatch
import os
import re
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
FAX = "4711@fax.example.com"
GATEWAY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Tarrock\Corvane SMTP Server"
LOOPBACK = "127.0.0.1"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
TRACE = b"Received: from c by fax.example.com ; \r\n"  # before each mail stored from a client that said HELO c
REFUSED = (451, b"451 Requested action aborted: local error in processing\r\n")


def mail(subject: str) -> bytes:  # a plain mail to FAX
    return f"From: a@example.com\r\nTo: {FAX}\r\nSubject: {subject}\r\n\r\nbody of {subject}\r\n".encode()


def free_port() -> int:
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def write_hive(path: Path, values: dict) -> None:
    """The hive in .reg export form (str as REG_SZ, int as dword), replaced whole."""
    quote = lambda t: '"' + t.replace("\\", "\\\\").replace('"', '\\"') + '"'
    lines = ["Windows Registry Editor Version 5.00", "", f"[{GATEWAY_KEY}]"]
    lines += [f"{quote(n)}=" + ("dword:%08x" % v if isinstance(v, int) else quote(v)) for n, v in values.items()]
    Path(f"{path}.new").write_bytes(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
    os.replace(f"{path}.new", path)


def wait_until(condition, timeout: float = 10.0, what=lambda: "condition", interval: float = 0.02):
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise TimeoutError(what())
        time.sleep(interval)
    return result


class SmtpConnection:  # a raw client for exact bytes
    def __init__(self, port: int, timeout: float = 10.0):
        self.sock = socket.create_connection((LOOPBACK, port), timeout=timeout)
        self._buf = b""

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.sock.close()

    def reply(self) -> tuple[int, bytes]:  # a whole multi-line reply; code -1 once closed
        raw = b""
        while True:
            while b"\n" not in self._buf:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return -1, raw + self._buf
                self._buf += chunk
            line, self._buf = self._buf.split(b"\n", 1)
            raw += line + b"\n"
            if line[3:4] != b"-":
                return (int(line[:3]) if line[:3].isdigit() else -1), raw

    def command(self, line: bytes | str) -> tuple[int, bytes]:
        self.sock.sendall((line.encode("latin-1") if isinstance(line, str) else line) + b"\r\n")
        return self.reply()

    def open_data(self, rcpts=(FAX,)) -> "SmtpConnection":  # from the greeting to DATA's 354
        assert self.reply()[0] == 220
        for line in ["HELO c", "MAIL FROM:<a@example.com>", *(f"RCPT TO:<{r}>" for r in rcpts), "DATA"]:
            assert self.command(line)[0] == (354 if line == "DATA" else 250), line
        return self

    def until_closed(self, timeout: float = 45.0) -> tuple[bytes, float]:  # all it sends until it closes, and when
        self.sock.settimeout(timeout)
        got = self._buf
        with contextlib.suppress(ConnectionResetError):
            while chunk := self.sock.recv(65536):
                got += chunk
        return got, time.monotonic()

    def wait_closed(self, timeout: float = 5.0) -> bool:  # closed without sending more
        self.sock.settimeout(timeout)
        try:
            return not self._buf and self.sock.recv(1) == b""
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True


def _listening(port: int) -> bool:  # read from /proc, so the gateway sees no session
    rows = [r.split() for t in ("/proc/net/tcp", "/proc/net/tcp6") if os.path.exists(t)
            for r in open(t).read().splitlines()[1:]]
    return any(r[3] == "0A" and int(r[1].rsplit(":", 1)[1], 16) == port for r in rows)


class Gateway:
    def __init__(self, values: dict | None = None, binary: Path | None = None, debug_logs: bool = True,
                 env: dict | None = None):
        base = tempfile.gettempdir()  # ProgramPath is read into an 80-byte buffer
        self.root = Path(tempfile.mkdtemp(prefix="cvgw-", dir=base if len(base) <= 40 else "/tmp"))
        self.out_dir, self.in_dir, self.tmp_dir = self.root / "OUT", self.root / "IN", self.root / "tmp"
        [d.mkdir() for d in (self.out_dir, self.in_dir, self.tmp_dir)]
        self.binary = binary or os.environ.get("CVSMTPGW_BINARY") or REPO_ROOT / "build" / "cvsmtpgw"
        self.port = free_port()
        self.hive_path = self.root / "hive.reg"
        # The name counters start at 0 as after an installation; outbound DNS and the clients stay on loopback.
        self.values = {"ProgramPath": f"{self.root}/", "DomainName": "fax.example.com",
                       "SmtpRxPort": self.port, "TmpIndex": 0, "OUTIndex": 0, "OUTIndexAtt": 0,
                       "DNSName": LOOPBACK, "ClientNetworks": "127.0.0.0/8"}
        if debug_logs:
            self.values.update(logfile=str(self.root / "debug.log"), logfileb=str(self.root / "debug2.log"))
        self.values.update(values or {})
        self.proc: subprocess.Popen | None = None
        self.env: dict = dict(env or {})  # more environment for the process (CVSMTPGW_FAULTS, say)
        self.stop_failed = False

    start_timeout = stop_timeout = 10.0

    def start(self, timeout: float | None = None) -> "Gateway":  # a restart keeps the hive as the gateway left it
        if self.proc is None:
            self.write_settings()
        self.ended = False  # set once stop or kill ended it
        with open(self.root / "stdout.txt", "ab") as out, open(self.root / "stderr.txt", "ab") as err:
            self.proc = subprocess.Popen(self.command(), stdin=subprocess.PIPE, stdout=out, stderr=err, cwd=self.root,
                                         env=self.environment(), start_new_session=True)

        def up():
            if not self.alive:
                raise RuntimeError(f"gateway exited with {self.proc.returncode}\n{self.diagnostics()}")
            return _listening(self.port)
        wait_until(up, timeout or self.start_timeout, lambda: f"gateway not listening on {self.port}\n{self.diagnostics()}")
        return self

    write_settings = lambda self: write_hive(self.hive_path, self.values)
    command = lambda self: [str(self.binary), "-m"]
    environment = lambda self: {**os.environ, "CVSMTPGW_HIVE": str(self.hive_path), "TMP": str(self.tmp_dir),
                                "TMPDIR": str(self.tmp_dir), **self.env}

    alive = property(lambda self: self.proc is not None and self.proc.poll() is None)

    def stop(self, timeout: float | None = None) -> int | None:  # types q; kills after `timeout`
        if self.proc is None:
            return None
        if self.proc.poll() is not None and not self.ended:  # shown with a failing test's output
            print(f"gateway had ended before q, status {self.proc.returncode}\n{self.diagnostics()}")
        elif self.proc.poll() is None:
            with contextlib.suppress(OSError):
                self.proc.stdin.write(b"q\n")
                self.proc.stdin.flush()
            try:
                self.proc.wait(timeout or self.stop_timeout)
            except subprocess.TimeoutExpired:
                self.stop_failed = True
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(10)
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        self.ended = True
        return self.proc.returncode

    def kill(self) -> None:  # SIGKILL, as a crash or the OOM killer would
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)
            # Wine's server closes a killed process's sockets only some time later: a start before that would
            # find its port taken and, with the old listener seen as its own, be taken for started.
            self.wait_port_free()
        self.ended = True

    def wait_port_free(self, timeout: float = 60.0) -> None:
        wait_until(lambda: not _listening(self.port), timeout, lambda: f"port {self.port} still taken after a kill")

    def smtp(self) -> smtplib.SMTP:  # tries EHLO, then falls back to HELO
        return smtplib.SMTP(LOOPBACK, self.port, local_hostname="client.example.com", timeout=30)

    def send(self, from_addr: str, to_addrs: list[str], message: bytes) -> dict:
        with self.smtp() as client:
            return client.sendmail(from_addr, to_addrs, message)

    connect = lambda self, timeout=10.0: SmtpConnection(self.port, timeout)

    def transaction(self, data: bytes) -> tuple[int, bytes]:  # one mail as raw bytes: the last reply
        with self.connect() as conn:
            return conn.open_data().command(data + b".")

    def serves(self) -> None:  # a fresh client's mail still becomes a submission
        before = len(self.files("ENV*.tmp"))
        self.send("ok@example.com", [FAX], b"Subject: still fine\r\n\r\nbody\r\n")
        self.wait_for_files("ENV*.tmp", before + 1)

    def settles(self, baseline: tuple[int, int]) -> None:  # no more descriptors and threads than at `baseline`
        wait_until(lambda: all(n <= b for n, b in zip(self.counts(), baseline)), 15,
                   lambda: f"(fds, threads) {self.counts()} above {baseline}")

    def files(self, pattern: str = "*") -> list[Path]:  # in OUT, in natural order
        key = lambda n: [int(t) if t.isdigit() else t for t in re.split(r"(\d+)", n)]
        return [self.out_dir / n for n in sorted(fnmatch.filter(os.listdir(self.out_dir), pattern), key=key)]

    def wait_for_files(self, pattern: str, count: int = 1, timeout: float = 10.0) -> list[Path]:
        return wait_until(lambda: (f if len(f := self.files(pattern)) >= count else None), timeout,
                          lambda: f"fewer than {count} {pattern} in {sorted(os.listdir(self.out_dir))}")

    def subjects(self) -> list[bytes]:  # of the submissions in OUT, sorted
        return sorted(re.search(rb"SUBJECT: (.*)\r\n", e.read_bytes()).group(1) for e in self.files("ENV*.tmp"))

    def text(self, name: str) -> str:  # a log or output file, "" if absent
        return (self.root / name).read_bytes().decode("latin-1") if (self.root / name).exists() else ""

    def wait_log(self, text: str) -> str:
        return wait_until(lambda: (t if text in (t := self.text("debug.log")) else None), 10, lambda: f"{text!r} not logged")

    def counts(self) -> tuple[int, int]:  # (open descriptors, threads)
        return tuple(len(os.listdir(f"/proc/{self.proc.pid}/{d}")) for d in ("fd", "task"))

    def problems(self) -> list[str]:  # sanitizer faults, a q ignored
        err = self.text("stderr.txt")
        return [f"gateway {self.root} did not stop on q; killed"] * self.stop_failed + \
            [f"gateway {self.root} sanitizer report:\n{err[-4000:]}"] * any(m in err for m in SANITIZER_MARKERS)

    def diagnostics(self, tail: int = 2000) -> str:
        return "\n".join(f"--- {n}:\n{self.text(n)[-tail:]}" for n in ("stdout.txt", "stderr.txt", "debug.log"))


def gateway_fixture(request, new, start: bool = True):
    """The make_gateway fixtures: `new(**kw)` gateways, stopped at teardown, failing the test if one ignored q or a
    sanitizer reported; directories kept after a failure or with CVSMTPGW_KEEP=1."""
    import pytest
    made, failed_before = [], request.session.testsfailed

    def factory(start=start, **kw):
        made.append(new(**kw))
        return made[-1].start() if start else made[-1]
    yield factory
    for gw in made:
        gw.stop()
    problems = [p for gw in made for p in gw.problems()]
    keep = os.environ.get("CVSMTPGW_KEEP") == "1" or problems or request.session.testsfailed > failed_before
    for gw in made:
        print(f"kept gateway directory {gw.root}") if keep else shutil.rmtree(gw.root, ignore_errors=True)
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


def skip_unless(condition: bool, why: str) -> None:
    if not condition:
        import pytest
        pytest.skip(why)


needs_root = lambda what: skip_unless(os.geteuid() == 0, f"{what} needs root")
needs_seam = lambda: skip_unless(os.environ.get("CVSMTPGW_FAULT_SEAM") == "1",
                                 "this build takes no faults from its environment (CVSMTPGW_FAULT_INJECTION off)")


def attachments(gw: Gateway, envelope: Path) -> list[tuple[str, Path]]:
    """(original name, file in OUT) per line of the envelope's attachment block."""
    block = envelope.read_bytes().partition(b"BEGIN ATTACH\r\n")[2].partition(b"END ATTACH\r\n")[0]
    return [(m.group(1).decode(), gw.out_dir / m.group(2).decode())
            for m in re.finditer(rb"^<<(.*):(ATT[^:>]*)>>\r$", block, re.M)]
