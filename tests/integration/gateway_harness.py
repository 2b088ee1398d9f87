"""Runs the built gateway as a real process, for integration tests and benchmarks.

A `Gateway` owns one short temporary program directory (ProgramPath, with OUT/
and IN/ below it, a TMP directory and the hive file), a free loopback port and
one `cvsmtpgw -m` process. The process reads its settings from the hive named by
CVSMTPGW_HIVE, keeps its standard input as an open pipe (console mode stops on
a lowercase q and keeps running at the end of input) and writes its standard
output and error to files in the program directory.

    gw = Gateway(values={"OverrideAddressCheck": "y"})
    gw.start()
    gw.send("a@example.com", ["4711@fax.example.com"], b"Subject: hi\\r\\n\\r\\nbody\\r\\n")
    env = gw.wait_for_files("ENV*.tmp")
    gw.stop()

The hive writer and reader speak the .reg export format ("Windows Registry
Editor Version 5.00"): str values are REG_SZ, int values REG_DWORD, bytes
REG_BINARY and RegValue(type, data) any other type as hex(type).

Standard library only, so that bench/ can import it too; the pytest fixtures are
in conftest.py. Not thread-safe: one test drives one Gateway.
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
from dataclasses import dataclass
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]
GATEWAY_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\Tarrock\Corvane SMTP Server"
HIVE_HEADER = "Windows Registry Editor Version 5.00"
STOP_PROMPT = "Press q to stop the gateway"
LOOPBACK = "127.0.0.1"
# The gateway reads ProgramPath into an 80-byte buffer; a longer path is ignored.
MAX_PROGRAM_PATH = 79
SMTP_SOURCE = "/usr/sbin/smtp-source"
SWAKS = "/usr/bin/swaks"

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_MULTI_SZ = 7

# What a sanitizer writes to standard error when it finds a fault.
SANITIZER_MARKERS = (
    "ERROR: AddressSanitizer",
    "ERROR: LeakSanitizer",
    "runtime error:",
    "WARNING: ThreadSanitizer",
)


def default_binary() -> Path:
    """The gateway under test: $CVSMTPGW_BINARY, else build/cvsmtpgw."""
    return Path(os.environ.get("CVSMTPGW_BINARY") or REPO_ROOT / "build" / "cvsmtpgw")


def corpus_dir() -> Path:
    """The shared mail corpus: $CVSMTPGW_CORPUS, else ../shared/corpus/mime."""
    env = os.environ.get("CVSMTPGW_CORPUS")
    return Path(env) if env else REPO_ROOT.parent / "shared" / "corpus" / "mime"


def free_port(host: str = LOOPBACK) -> int:
    """A TCP port that nothing listens on right now (the kernel's choice)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def short_temp_dir(prefix: str = "cvgw-") -> Path:
    """A new private directory whose path leaves room below the 79-byte limit."""
    base = tempfile.gettempdir()
    if len(base) > 40:
        base = "/tmp"
    return Path(tempfile.mkdtemp(prefix=prefix, dir=base))


# --------------------------------------------------------------------------
# Hive file (.reg export format)


@dataclass(frozen=True)
class RegValue:
    """A value of any registry type, as raw bytes (terminators included)."""

    type: int
    data: bytes


def _reg_quote(text: str) -> str:
    if "\r" in text or "\n" in text:
        raise ValueError("a REG_SZ line cannot hold a line break; use RegValue(REG_SZ, bytes)")
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _format_value(value) -> str:
    if isinstance(value, bool):
        raise TypeError("write a registry flag as an int (dword) or a str")
    if isinstance(value, str):
        return _reg_quote(value)
    if isinstance(value, int):
        if not -(2**31) <= value < 2**32:
            raise ValueError(f"{value} does not fit a dword")
        return "dword:%08x" % (value & 0xFFFFFFFF)
    if isinstance(value, (bytes, bytearray)):
        value = RegValue(REG_BINARY, bytes(value))
    if isinstance(value, RegValue):
        prefix = "hex:" if value.type == REG_BINARY else "hex(%x):" % value.type
        return prefix + ",".join("%02x" % b for b in value.data)
    raise TypeError(f"cannot write {type(value).__name__} to the hive")


def format_hive(values: dict, key: str = GATEWAY_KEY) -> str:
    """The text of a hive holding `values` under `key`, CR LF line ends."""
    lines = [HIVE_HEADER, "", f"[{key}]"]
    for name, value in values.items():
        lines.append(f"{_reg_quote(name)}={_format_value(value)}")
    return "\r\n".join(lines) + "\r\n\r\n"


def write_hive(path: Path, values: dict, key: str = GATEWAY_KEY) -> None:
    """Writes the hive whole: a reader never sees half of it."""
    path = Path(path)
    tmp = path.with_name(path.name + ".new")
    # latin-1 keeps every code-page byte of a str value as that one byte.
    tmp.write_bytes(format_hive(values, key).encode("latin-1"))
    os.replace(tmp, path)


_VALUE_LINE = re.compile(r'^(?:"((?:[^"\\]|\\.)*)"|(@))=(.*)$')
_QUOTED = re.compile(r'^"((?:[^"\\]|\\.)*)"$')
_HEX = re.compile(r"^hex(?:\(([0-9a-fA-F]+)\))?:([0-9a-fA-F,\s]*)$")


def _unquote(body: str) -> str:
    return re.sub(r"\\(.)", r"\1", body)


def _parse_value(text: str):
    text = text.strip()
    m = _QUOTED.match(text)
    if m:
        return _unquote(m.group(1))
    if text.lower().startswith("dword:"):
        return int(text[6:], 16)
    m = _HEX.match(text)
    if m:
        kind = int(m.group(1), 16) if m.group(1) is not None else REG_BINARY
        data = bytes(int(h, 16) for h in re.split(r"[,\s]+", m.group(2)) if h)
        if kind == REG_DWORD and len(data) == 4:
            return int.from_bytes(data, "little")
        if kind == REG_BINARY:
            return data
        return RegValue(kind, data)
    raise ValueError(f"unreadable hive value: {text!r}")


def parse_hive(text: str) -> dict[str, dict]:
    """Every key of a hive text: {key path: {value name: value}}.

    REG_SZ, dword and binary values come back as str, int and bytes, others
    as RegValue.
    Continuation lines (a trailing backslash) are joined first.
    """
    if text.startswith("\ufeff"):
        text = text[1:]
    lines = text.replace("\r\n", "\n").split("\n")
    if not lines or lines[0].strip() != HIVE_HEADER:
        raise ValueError("not a hive file: the header line is missing")
    keys: dict[str, dict] = {}
    current = None
    pending = ""
    for raw in lines[1:]:
        line = pending + (raw.lstrip() if pending else raw)
        if line.endswith("\\"):
            pending = line[:-1]
            continue
        pending = ""
        if not line.strip() or line.startswith(";"):
            continue
        if line.startswith("[") and line.rstrip().endswith("]"):
            current = keys.setdefault(line.strip()[1:-1], {})
            continue
        m = _VALUE_LINE.match(line)
        if not m or current is None:
            raise ValueError(f"unreadable hive line: {line!r}")
        name = "" if m.group(2) else _unquote(m.group(1))
        current[name] = _parse_value(m.group(3))
    return keys


def read_hive(path: Path, key: str = GATEWAY_KEY) -> dict:
    """The values of one key of a hive file ({} when the key is absent)."""
    keys = parse_hive(Path(path).read_bytes().decode("latin-1"))
    for name, values in keys.items():
        if name.lower() == key.lower():
            return values
    return {}


# --------------------------------------------------------------------------
# Peers


def run_swaks(port: int, *args: str, host: str = LOOPBACK, timeout: float = 30.0,
              check: bool = False) -> subprocess.CompletedProcess:
    """Runs swaks against host:port (EHLO, falling back to HELO), bounded in time."""
    cmd = [SWAKS, "--server", f"{host}:{port}", "--timeout", str(max(1, int(timeout) - 1)), *args]
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, check=check)


def run_smtp_source(port: int, count: int = 1, sessions: int = 1, size: int = 1024,
                    *extra: str, host: str = LOOPBACK, timeout: float = 60.0,
                    check: bool = True) -> subprocess.CompletedProcess:
    """Runs Postfix's smtp-source (HELO, one mail per connection), bounded in time.

    smtp-source ends with a non-zero status when any reply is not the one it
    expects, so check=True means every mail got its 250.
    """
    cmd = [SMTP_SOURCE, "-s", str(sessions), "-m", str(count), "-l", str(size), *extra,
           f"{host}:{port}"]
    return subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=timeout, check=check)


class SmtpConnection:
    """A raw SMTP client for exact bytes: what smtplib would tidy away."""

    def __init__(self, port: int, host: str = LOOPBACK, timeout: float = 10.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
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
        """One line with its line end; b"" when the peer closed first."""
        while b"\n" not in self._buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                line, self._buf = self._buf, b""
                return line
            self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return line + b"\n"

    def reply(self) -> tuple[int, bytes]:
        """One whole reply (all lines of a multi-line one): (code, raw bytes)."""
        raw = b""
        while True:
            line = self.read_line()
            raw += line
            if not line:
                return -1, raw
            if len(line) < 4 or line[3:4] != b"-":
                code = line[:3]
                return (int(code) if code.isdigit() else -1), raw

    def command(self, line: bytes | str) -> tuple[int, bytes]:
        """Sends one command line (CR LF added) and reads its reply."""
        self.send((line.encode("latin-1") if isinstance(line, str) else line) + b"\r\n")
        return self.reply()

    def wait_closed(self, timeout: float = 5.0) -> bool:
        """True when the peer closes the connection without sending more."""
        self.sock.settimeout(timeout)
        try:
            return not self._buf and self.sock.recv(1) == b""
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True


# --------------------------------------------------------------------------
# The gateway process


def _listening(port: int) -> bool:
    """True when a TCP socket listens on `port`; looks, does not connect, so the
    gateway sees no session (and logs none) for the check."""
    found_table = False
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                next(f)
                found_table = True
                for row in f:
                    fields = row.split()
                    if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                        return True
        except OSError:
            continue
    if found_table:
        return False
    try:
        with socket.create_connection((LOOPBACK, port), timeout=1):
            return True
    except OSError:
        return False


class Gateway:
    """One gateway process with its own program directory, hive and port."""

    def __init__(self, root: Path | None = None, values: dict | None = None,
                 binary: Path | None = None, debug_logs: bool = True,
                 domain: str = "fax.example.com", port: int | None = None):
        self.root = Path(root) if root else short_temp_dir()
        self.root.mkdir(parents=True, exist_ok=True)
        self.out_dir = self.root / "OUT"
        self.in_dir = self.root / "IN"
        self.tmp_dir = self.root / "tmp"
        for d in (self.out_dir, self.in_dir, self.tmp_dir):
            d.mkdir(exist_ok=True)
        self.binary = Path(binary) if binary else default_binary()
        self.port = port or free_port()
        self.domain = domain
        self.hive_path = self.root / "hive.reg"
        self.log_path = self.root / "debug.log"
        self.log2_path = self.root / "debug2.log"
        self.stdout_path = self.root / "stdout.txt"
        self.stderr_path = self.root / "stderr.txt"
        # An installation starts the name counters at 0; the envelope name
        # cannot be drawn without OUTIndex.
        self.values = {"ProgramPath": f"{self.root}/", "DomainName": domain,
                       "SmtpRxPort": self.port, "TmpIndex": 0, "OUTIndex": 0,
                       "OUTIndexAtt": 0}
        if debug_logs:
            self.values["logfile"] = str(self.log_path)
            self.values["logfileb"] = str(self.log2_path)
        # Outbound delivery must never leave the loopback network in a test.
        self.values["DNSName"] = LOOPBACK
        for name, value in (values or {}).items():
            if value is None:
                self.values.pop(name, None)
            else:
                self.values[name] = value
        self.proc: subprocess.Popen | None = None
        self.stop_failed = False  # q did not end the process in time

    # ---- life cycle

    def write_hive(self) -> None:
        path = self.values.get("ProgramPath")
        if isinstance(path, str) and path == f"{self.root}/" and len(path) > MAX_PROGRAM_PATH:
            raise ValueError(f"ProgramPath {path!r} is longer than the gateway reads")
        write_hive(self.hive_path, self.values)

    def start(self, timeout: float = 10.0, wait_listening: bool = True) -> "Gateway":
        """Writes the hive, starts `cvsmtpgw -m` and waits until the port listens."""
        if not self.binary.exists():
            raise FileNotFoundError(f"gateway binary {self.binary} not built")
        self.write_hive()
        env = dict(os.environ)
        env["CVSMTPGW_HIVE"] = str(self.hive_path)
        env["TMP"] = env["TMPDIR"] = str(self.tmp_dir)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1")
        with open(self.stdout_path, "wb") as out, open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen([str(self.binary), "-m"], stdin=subprocess.PIPE,
                                         stdout=out, stderr=err, cwd=self.root, env=env,
                                         start_new_session=True)
        if wait_listening:
            self.wait_listening(timeout)
        return self

    def wait_listening(self, timeout: float = 10.0) -> None:
        deadline = time.monotonic() + timeout
        while not _listening(self.port):
            if not self.alive:
                raise RuntimeError(f"gateway exited with {self.proc.returncode} before "
                                   f"listening on {self.port}\n{self.diagnostics()}")
            if time.monotonic() > deadline:
                raise TimeoutError(f"gateway not listening on {self.port} after {timeout}s\n"
                                   f"{self.diagnostics()}")
            time.sleep(0.02)

    @property
    def pid(self) -> int:
        return self.proc.pid

    @property
    def alive(self) -> bool:
        return self.proc is not None and self.proc.poll() is None

    def stop(self, timeout: float = 10.0) -> int | None:
        """Types q; kills the process if it has not ended after `timeout`.
        Returns the exit status (None when never started)."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"q\n")
                self.proc.stdin.flush()
            except (BrokenPipeError, OSError):
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.stop_failed = True
                self.kill()
        if self.proc.stdin and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except OSError:
                pass
        return self.proc.returncode

    def kill(self) -> None:
        """Ends the process at once (SIGKILL), as a crash or power cut would."""
        if self.alive:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)

    def remove(self) -> None:
        """Stops the process and deletes the program directory."""
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self.start() if self.proc is None else self

    def __exit__(self, *exc):
        self.stop()

    # ---- talking to it

    def smtp(self, timeout: float = 10.0) -> smtplib.SMTP:
        """A connected smtplib client (it tries EHLO, then falls back to HELO)."""
        return smtplib.SMTP(LOOPBACK, self.port, local_hostname="client.example.com",
                            timeout=timeout)

    def send(self, from_addr: str, to_addrs: list[str], message: bytes | str,
             timeout: float = 30.0) -> dict:
        """Sends one mail in one session; returns smtplib's refused-recipients dict."""
        with self.smtp(timeout) as client:
            return client.sendmail(from_addr, to_addrs, message)

    def connect(self, timeout: float = 10.0) -> SmtpConnection:
        """A raw connection; read the greeting with .reply()."""
        return SmtpConnection(self.port, timeout=timeout)

    def swaks(self, *args: str, timeout: float = 30.0, check: bool = False):
        return run_swaks(self.port, *args, timeout=timeout, check=check)

    def smtp_source(self, count: int = 1, sessions: int = 1, size: int = 1024, *extra: str,
                    timeout: float = 60.0, check: bool = True):
        return run_smtp_source(self.port, count, sessions, size, *extra, timeout=timeout,
                               check=check)

    # ---- what it left behind

    def files(self, pattern: str = "*", directory: Path | None = None) -> list[Path]:
        """Files in OUT (or `directory`) matching a shell pattern, in natural order."""
        d = Path(directory) if directory else self.out_dir
        names = [n for n in os.listdir(d) if fnmatch.fnmatchcase(n, pattern)]
        key = lambda n: [int(t) if t.isdigit() else t for t in re.split(r"(\d+)", n)]
        return [d / n for n in sorted(names, key=key)]

    def wait_for_files(self, pattern: str, count: int = 1, timeout: float = 10.0,
                       directory: Path | None = None) -> list[Path]:
        """Waits until at least `count` files match; raises TimeoutError if not."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.files(pattern, directory)
            if len(found) >= count:
                return found
            if time.monotonic() > deadline:
                d = Path(directory) if directory else self.out_dir
                raise TimeoutError(f"{len(found)} of {count} files {pattern} in {d} after "
                                   f"{timeout}s; there: {sorted(os.listdir(d))}")
            time.sleep(0.02)

    def read_file(self, name: str | Path) -> bytes:
        """A file's bytes; a relative name is taken below ProgramPath."""
        p = Path(name)
        return (p if p.is_absolute() else self.root / p).read_bytes()

    def hive(self) -> dict:
        """The gateway key's values as the hive holds them now (counters included)."""
        return read_hive(self.hive_path)

    def hive_value(self, name: str):
        for key, value in self.hive().items():
            if key.lower() == name.lower():
                return value
        return None

    def log_text(self, secondary: bool = False) -> str:
        path = self.log2_path if secondary else self.log_path
        return path.read_bytes().decode("latin-1") if path.exists() else ""

    def stdout_text(self) -> str:
        return self.stdout_path.read_bytes().decode("latin-1", "replace")

    def stderr_text(self) -> str:
        return self.stderr_path.read_bytes().decode("latin-1", "replace")

    def fd_count(self) -> int:
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def thread_count(self) -> int:
        return len(os.listdir(f"/proc/{self.pid}/task"))

    def sanitizer_reports(self) -> list[str]:
        """Lines of standard error in which a sanitizer reported a fault."""
        if not self.stderr_path.exists():
            return []
        return [line for line in self.stderr_text().splitlines()
                if any(m in line for m in SANITIZER_MARKERS)]

    def problems(self) -> list[str]:
        """What a clean test run must not show: sanitizer faults, a q ignored."""
        found = []
        if self.stop_failed:
            found.append(f"gateway {self.root} did not stop on q; killed")
        if self.sanitizer_reports():
            found.append(f"gateway {self.root} sanitizer report:\n{self.stderr_text()[-4000:]}")
        return found

    def diagnostics(self, tail: int = 2000) -> str:
        parts = []
        for label, path in (("stdout", self.stdout_path), ("stderr", self.stderr_path),
                            ("debug log", self.log_path)):
            if path.exists():
                text = path.read_bytes().decode("latin-1", "replace")[-tail:]
                parts.append(f"--- {label} ({path}):\n{text}")
        return "\n".join(parts)
