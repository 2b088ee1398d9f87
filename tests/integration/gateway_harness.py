"""Runs the built gateway (`cvsmtpgw -m`) as a real process for integration tests
and benchmarks: a short private program directory (OUT/, IN/, tmp/, the hive
named by CVSMTPGW_HIVE), a free loopback port, standard output and error in
files. Standard library only, so that bench/ can import it; one Gateway per test.
"""

from __future__ import annotations

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
GATEWAY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Tarrock\Corvane SMTP Server"
LOOPBACK = "127.0.0.1"
SANITIZER_MARKERS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def default_binary() -> Path:
    return Path(os.environ.get("CVSMTPGW_BINARY") or REPO_ROOT / "build" / "cvsmtpgw")


def corpus_dir() -> Path:
    env = os.environ.get("CVSMTPGW_CORPUS")
    return Path(env) if env else REPO_ROOT.parent / "shared" / "corpus" / "mime"


def free_port() -> int:
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def write_hive(path: Path, values: dict) -> None:
    """The hive in .reg export form (str as REG_SZ, int as dword), replaced whole."""
    quote = lambda t: '"' + t.replace("\\", "\\\\").replace('"', '\\"') + '"'
    lines = ["Windows Registry Editor Version 5.00", "", f"[{GATEWAY_KEY}]"]
    for name, value in values.items():
        text = "dword:%08x" % value if isinstance(value, int) else quote(value)
        lines.append(f"{quote(name)}={text}")
    tmp = Path(str(path) + ".new")
    tmp.write_bytes(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
    os.replace(tmp, path)


def run_smtp_source(port: int, count: int = 1, sessions: int = 1, size: int = 1024, *extra: str,
                    timeout: float = 60.0, check: bool = True) -> subprocess.CompletedProcess:
    """Postfix's smtp-source (HELO, one mail per connection); a non-zero status
    means some reply was not the expected one."""
    cmd = ["/usr/sbin/smtp-source", "-s", str(sessions), "-m", str(count), "-l", str(size), *extra,
           f"{LOOPBACK}:{port}"]
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, check=check)


class SmtpConnection:
    """A raw SMTP client for exact bytes."""

    def __init__(self, port: int, timeout: float = 10.0):
        self.sock = socket.create_connection((LOOPBACK, port), timeout=timeout)
        self._buf = b""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self) -> None:
        self.sock.close()

    def send(self, data: bytes | str) -> None:
        self.sock.sendall(data.encode("latin-1") if isinstance(data, str) else data)

    def read_line(self) -> bytes:
        """One line with its line end; what is left (maybe b"") once the peer closes."""
        while b"\n" not in self._buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                line, self._buf = self._buf, b""
                return line
            self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return line + b"\n"

    def reply(self) -> tuple[int, bytes]:
        """One whole (multi-line) reply: (code, raw bytes); code -1 when closed."""
        raw = b""
        while True:
            line = self.read_line()
            raw += line
            if not line:
                return -1, raw
            if line[3:4] != b"-":
                return (int(line[:3]) if line[:3].isdigit() else -1), raw

    def command(self, line: bytes | str) -> tuple[int, bytes]:
        self.send((line.encode("latin-1") if isinstance(line, str) else line) + b"\r\n")
        return self.reply()

    def wait_closed(self, timeout: float = 5.0) -> bool:
        """True when the peer closes without sending more."""
        self.sock.settimeout(timeout)
        try:
            return not self._buf and self.sock.recv(1) == b""
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True


def _listening(port: int) -> bool:
    # Looks in /proc instead of connecting, so the gateway sees no session.
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            rows = open(table).read().splitlines()[1:]
        except OSError:
            continue
        if any(r.split()[3] == "0A" and int(r.split()[1].rsplit(":", 1)[1], 16) == port for r in rows):
            return True
    return False


def _wait(condition, timeout: float, what):
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise TimeoutError(what())
        time.sleep(0.02)
    return result


class Gateway:
    """One gateway process with its own program directory, hive and port."""

    def __init__(self, values: dict | None = None, binary: Path | None = None, debug_logs: bool = True):
        base = tempfile.gettempdir()
        # ProgramPath is read into an 80-byte buffer.
        self.root = Path(tempfile.mkdtemp(prefix="cvgw-", dir=base if len(base) <= 40 else "/tmp"))
        self.out_dir, self.in_dir, self.tmp_dir = self.root / "OUT", self.root / "IN", self.root / "tmp"
        for d in (self.out_dir, self.in_dir, self.tmp_dir):
            d.mkdir()
        self.binary = Path(binary) if binary else default_binary()
        self.port = free_port()
        self.hive_path = self.root / "hive.reg"
        self.log_path, self.log2_path = self.root / "debug.log", self.root / "debug2.log"
        self.stdout_path, self.stderr_path = self.root / "stdout.txt", self.root / "stderr.txt"
        # The name counters start at 0 as after an installation; outbound DNS stays on loopback.
        self.values = {"ProgramPath": f"{self.root}/", "DomainName": "fax.example.com",
                       "SmtpRxPort": self.port, "TmpIndex": 0, "OUTIndex": 0, "OUTIndexAtt": 0,
                       "DNSName": LOOPBACK}
        if debug_logs:
            self.values.update(logfile=str(self.log_path), logfileb=str(self.log2_path))
        self.values.update(values or {})
        self.proc: subprocess.Popen | None = None
        self.stop_failed = False

    def start(self, timeout: float = 10.0) -> "Gateway":
        """Starts the process; a restart after stop() keeps the hive as the gateway left it."""
        if self.proc is None:
            write_hive(self.hive_path, self.values)
        env = dict(os.environ, CVSMTPGW_HIVE=str(self.hive_path), TMP=str(self.tmp_dir),
                   TMPDIR=str(self.tmp_dir))
        with open(self.stdout_path, "ab") as out, open(self.stderr_path, "ab") as err:
            self.proc = subprocess.Popen([str(self.binary), "-m"], stdin=subprocess.PIPE, stdout=out,
                                         stderr=err, cwd=self.root, env=env, start_new_session=True)

        def up():
            if not self.alive:
                raise RuntimeError(f"gateway exited with {self.proc.returncode}\n{self.diagnostics()}")
            return _listening(self.port)
        _wait(up, timeout, lambda: f"gateway not listening on {self.port}\n{self.diagnostics()}")
        return self

    @property
    def pid(self) -> int:
        return self.proc.pid

    @property
    def alive(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout: float = 10.0) -> int | None:
        """Types q; kills the process if it has not ended after `timeout`."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"q\n")
                self.proc.stdin.flush()
            except OSError:
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.stop_failed = True
                self.kill()
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        return self.proc.returncode

    def kill(self) -> None:
        if self.alive:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)

    def remove(self) -> None:
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def smtp(self, timeout: float = 10.0) -> smtplib.SMTP:
        """smtplib client: it tries EHLO, then falls back to HELO."""
        return smtplib.SMTP(LOOPBACK, self.port, local_hostname="client.example.com", timeout=timeout)

    def send(self, from_addr: str, to_addrs: list[str], message: bytes | str, timeout: float = 30.0) -> dict:
        with self.smtp(timeout) as client:
            return client.sendmail(from_addr, to_addrs, message)

    def connect(self, timeout: float = 10.0) -> SmtpConnection:
        return SmtpConnection(self.port, timeout=timeout)

    def swaks(self, *args: str, timeout: float = 30.0):
        cmd = ["/usr/bin/swaks", "--server", f"{LOOPBACK}:{self.port}", "--timeout", str(int(timeout) - 1), *args]
        return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)

    def smtp_source(self, count: int = 1, sessions: int = 1, size: int = 1024, *extra: str):
        return run_smtp_source(self.port, count, sessions, size, *extra)

    def files(self, pattern: str = "*", directory: Path | None = None) -> list[Path]:
        """Files in OUT (or `directory`) matching a shell pattern, in natural order."""
        d = Path(directory) if directory else self.out_dir
        key = lambda n: [int(t) if t.isdigit() else t for t in re.split(r"(\d+)", n)]
        return [d / n for n in sorted(fnmatch.filter(os.listdir(d), pattern), key=key)]

    def wait_for_files(self, pattern: str, count: int = 1, timeout: float = 10.0) -> list[Path]:
        return _wait(lambda: (f if len(f := self.files(pattern)) >= count else None), timeout,
                     lambda: f"fewer than {count} {pattern} in {sorted(os.listdir(self.out_dir))}")

    def wait_for_no_files(self, pattern: str, timeout: float = 10.0) -> None:
        """Waits until nothing in OUT matches (hand-offs run after the 250)."""
        _wait(lambda: not self.files(pattern), timeout,
              lambda: f"{pattern} still in {sorted(os.listdir(self.out_dir))}")

    def read_file(self, name: str | Path) -> bytes:
        """A file's bytes; a relative name is taken below ProgramPath."""
        return (self.root / name).read_bytes()

    def _text(self, path: Path) -> str:
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    def log_text(self, secondary: bool = False) -> str:
        return self._text(self.log2_path if secondary else self.log_path)

    def stdout_text(self) -> str:
        return self._text(self.stdout_path)

    def stderr_text(self) -> str:
        return self._text(self.stderr_path)

    def fd_count(self) -> int:
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def thread_count(self) -> int:
        return len(os.listdir(f"/proc/{self.pid}/task"))

    def problems(self) -> list[str]:
        """What a clean run must not show: sanitizer faults, a q ignored."""
        found = [f"gateway {self.root} did not stop on q; killed"] if self.stop_failed else []
        if any(m in self.stderr_text() for m in SANITIZER_MARKERS):
            found.append(f"gateway {self.root} sanitizer report:\n{self.stderr_text()[-4000:]}")
        return found

    def diagnostics(self, tail: int = 2000) -> str:
        return "\n".join(f"--- {p.name}:\n{self._text(p)[-tail:]}"
                         for p in (self.stdout_path, self.stderr_path, self.log_path) if p.exists())
