"""The built gateway (`cvsmtpgw -m`) as a process with a private program directory,
hive and loopback port, for integration tests and bench/ (standard library only)."""

from __future__ import annotations

import contextlib
import fnmatch
import os
import re
import signal
import smtplib
import socket
import subprocess
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
GATEWAY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Tarrock\Corvane SMTP Server"
LOOPBACK = "127.0.0.1"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


corpus_dir = lambda: Path(os.environ.get("CVSMTPGW_CORPUS") or REPO_ROOT.parent / "shared" / "corpus" / "mime")


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


def run_smtp_source(port: int, count: int = 1, sessions: int = 1, size: int = 1024, *extra: str,
                    timeout: float = 60.0, check: bool = True) -> subprocess.CompletedProcess:
    """Postfix's smtp-source; with `check` an unexpected reply raises."""
    cmd = ["/usr/sbin/smtp-source", "-s", str(sessions), "-m", str(count), "-l", str(size), *extra, f"{LOOPBACK}:{port}"]
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout, check=check)


def wait_until(condition, timeout: float = 10.0, what=lambda: "condition"):
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise TimeoutError(what())
        time.sleep(0.02)
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
    def __init__(self, values: dict | None = None, binary: Path | None = None, debug_logs: bool = True):
        base = tempfile.gettempdir()  # ProgramPath is read into an 80-byte buffer
        self.root = Path(tempfile.mkdtemp(prefix="cvgw-", dir=base if len(base) <= 40 else "/tmp"))
        self.out_dir, self.in_dir, self.tmp_dir = self.root / "OUT", self.root / "IN", self.root / "tmp"
        [d.mkdir() for d in (self.out_dir, self.in_dir, self.tmp_dir)]
        self.binary = binary or os.environ.get("CVSMTPGW_BINARY") or REPO_ROOT / "build" / "cvsmtpgw"
        self.port = free_port()
        self.hive_path = self.root / "hive.reg"
        # The name counters start at 0 as after an installation; outbound DNS stays on loopback.
        self.values = {"ProgramPath": f"{self.root}/", "DomainName": "fax.example.com",
                       "SmtpRxPort": self.port, "TmpIndex": 0, "OUTIndex": 0, "OUTIndexAtt": 0,
                       "DNSName": LOOPBACK}
        if debug_logs:
            self.values.update(logfile=str(self.root / "debug.log"), logfileb=str(self.root / "debug2.log"))
        self.values.update(values or {})
        self.proc: subprocess.Popen | None = None
        self.env: dict = {}  # more environment for the process (CVSMTPGW_FAULTS, say)
        self.stop_failed = False

    def start(self, timeout: float = 10.0) -> "Gateway":  # a restart keeps the hive as the gateway left it
        if self.proc is None:
            write_hive(self.hive_path, self.values)
        env = dict(os.environ, CVSMTPGW_HIVE=str(self.hive_path), TMP=str(self.tmp_dir), TMPDIR=str(self.tmp_dir),
                   **self.env)
        with open(self.root / "stdout.txt", "ab") as out, open(self.root / "stderr.txt", "ab") as err:
            self.proc = subprocess.Popen([str(self.binary), "-m"], stdin=subprocess.PIPE, stdout=out,
                                         stderr=err, cwd=self.root, env=env, start_new_session=True)

        def up():
            if not self.alive:
                raise RuntimeError(f"gateway exited with {self.proc.returncode}\n{self.diagnostics()}")
            return _listening(self.port)
        wait_until(up, timeout, lambda: f"gateway not listening on {self.port}\n{self.diagnostics()}")
        return self

    alive = property(lambda self: self.proc is not None and self.proc.poll() is None)

    def stop(self, timeout: float = 10.0) -> int | None:  # types q; kills after `timeout`
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            with contextlib.suppress(OSError):
                self.proc.stdin.write(b"q\n")
                self.proc.stdin.flush()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.stop_failed = True
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(10)
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        return self.proc.returncode

    def kill(self) -> None:  # SIGKILL, as a crash or the OOM killer would
        if self.proc is not None and self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)

    def smtp(self) -> smtplib.SMTP:  # tries EHLO, then falls back to HELO
        return smtplib.SMTP(LOOPBACK, self.port, local_hostname="client.example.com", timeout=30)

    def send(self, from_addr: str, to_addrs: list[str], message: bytes) -> dict:
        with self.smtp() as client:
            return client.sendmail(from_addr, to_addrs, message)

    connect = lambda self, timeout=10.0: SmtpConnection(self.port, timeout)

    def files(self, pattern: str = "*") -> list[Path]:  # in OUT, in natural order
        key = lambda n: [int(t) if t.isdigit() else t for t in re.split(r"(\d+)", n)]
        return [self.out_dir / n for n in sorted(fnmatch.filter(os.listdir(self.out_dir), pattern), key=key)]

    def wait_for_files(self, pattern: str, count: int = 1, timeout: float = 10.0) -> list[Path]:
        return wait_until(lambda: (f if len(f := self.files(pattern)) >= count else None), timeout,
                          lambda: f"fewer than {count} {pattern} in {sorted(os.listdir(self.out_dir))}")

    def text(self, name: str) -> str:  # a log or output file, "" if absent
        return (self.root / name).read_bytes().decode("latin-1") if (self.root / name).exists() else ""

    def wait_log(self, text: str, name: str = "debug.log") -> str:
        return wait_until(lambda: (t if text in (t := self.text(name)) else None), 10, lambda: f"{text!r} not logged")

    def counts(self) -> tuple[int, int]:  # (open descriptors, threads)
        return tuple(len(os.listdir(f"/proc/{self.proc.pid}/{d}")) for d in ("fd", "task"))

    def wait_stored(self, count: int) -> list[Path]:  # handed-off mails, kept as <n>-<seconds>.debug
        return wait_until(lambda: (s if len(s := self.files("[0-9]*.debug")) >= count and not self.files("*.zqx")
                                   else None), 10, lambda: f"{count} mails not stored: {os.listdir(self.out_dir)}")

    def problems(self) -> list[str]:  # sanitizer faults, a q ignored
        err = self.text("stderr.txt")
        return [f"gateway {self.root} did not stop on q; killed"] * self.stop_failed + \
            [f"gateway {self.root} sanitizer report:\n{err[-4000:]}"] * any(m in err for m in SANITIZER_MARKERS)

    def diagnostics(self, tail: int = 2000) -> str:
        return "\n".join(f"--- {n}:\n{self.text(n)[-tail:]}" for n in ("stdout.txt", "stderr.txt", "debug.log"))


def attachments(gw: Gateway, envelope: Path) -> list[tuple[str, Path]]:
    """(original name, file in OUT) per line of the envelope's attachment block."""
    block = envelope.read_bytes().partition(b"BEGIN ATTACH\r\n")[2].partition(b"END ATTACH\r\n")[0]
    return [(m.group(1).decode(), gw.out_dir / m.group(2).decode())
            for m in re.finditer(rb"^<<(.*):(ATT[^:>]*)>>\r$", block, re.M)]
