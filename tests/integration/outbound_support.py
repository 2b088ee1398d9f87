"""Outbound message files as the fax server writes them into IN, a syslog socket
of the test's own (the gateway reports events there through $CVSMTPGW_SYSLOG_SOCKET),
and the wrapper that runs the gateway with private /etc/hosts and /etc/resolv.conf.
Standard library only."""

from __future__ import annotations

import contextlib
import os
import re
import socket
import threading
import time
from pathlib import Path


# The test build's time scale for the outbound side (honoured only with the fault seam): a minute of
# the retry schedule lasts 100 ms, so a message's five attempts (now, +1, +5, +15, +60 minutes) take
# about 8 seconds.
OUTBOUND_TIME_SCALE = {"CVSMTPGW_RETRY_MINUTE_MS": "100"}


def message_file(to: str | None, subject: str, body: list[str], attachments: list[tuple[str, str]] = ()) -> bytes:
    """The outbound message file: header lines, the body between its markers, and one
    "<<display:file>>" line per (display name, file name in IN). `to` None: no TO: line."""
    lines = ["FROM: Corvane Fax Server <fax@fax.example.com>"]
    lines += [f"TO: <<{to}>>"] if to is not None else []
    lines += [f"SUBJECT: {subject}", "", "BEGIN BODY", "", *body, "", "END BODY", ""]
    if attachments:
        lines += ["BEGIN ATTACH", *[f"<<{display}:{name}>>" for display, name in attachments], "END ATTACH"]
    return "".join(line + "\r\n" for line in lines).encode("latin-1")


class SyslogSocket:
    """A datagram socket at `path` that collects the gateway's event reports."""

    def __init__(self, path: Path):
        self.path, self.received = path, []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))
        self.sock.settimeout(0.1)

    def texts(self) -> list[str]:  # the reports that came since the last call, after their "]: "
        got = []
        with contextlib.suppress(socket.timeout):
            while True:
                got.append(self.sock.recv(4096).decode("latin-1").partition("]: ")[2])
        self.received += got
        return got

    def events(self, event_id: int, timeout: float = 0.0) -> list[str]:
        """The texts after "event <id>: " of all reports received (waiting up to `timeout` s for a first one)."""
        deadline = time.monotonic() + timeout
        while True:
            self.texts()
            found = [m.group(1) for d in self.received if (m := re.search(rf"event {event_id}: (.*)$", d))]
            if found or time.monotonic() >= deadline:
                return found

    def close(self) -> None:
        self.sock.close()
        self.path.unlink(missing_ok=True)


class Listener:
    """A TCP server in threads of the test (port 0: a free one); `handle(conn, listener)` serves each connection
    in a thread of its own; close() sets `stop`."""

    def __init__(self, handle, address: str = "127.0.0.1", port: int = 0):
        self.handle, self.connections, self.stop, self.open = handle, 0, threading.Event(), set()
        self.listener = socket.create_server((address, port))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while not self.stop.is_set():
            with contextlib.suppress(socket.timeout):
                conn, _ = self.listener.accept()
                self.connections += 1
                threading.Thread(target=self._one, args=(conn,), daemon=True).start()

    def _one(self, conn) -> None:
        self.open.add(conn)
        with conn, contextlib.suppress(OSError):
            self.handle(conn, self)
        self.open.discard(conn)

    def close(self) -> None:  # also ends the connections still open
        self.stop.set()
        self._thread.join(5)
        self.listener.close()
        for conn in list(self.open):
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.close()


UNSHARE = "/usr/bin/unshare"  # util-linux


def namespace_wrapper(directory: Path, name_server: str, binary: str | Path | None = None) -> Path:
    """A program that runs the gateway (`binary`, else $CVSMTPGW_BINARY or build/cvsmtpgw) with
    its own /etc/hosts and /etc/resolv.conf, which name only `name_server`. Needs root."""
    (directory / "hosts").write_text("127.0.0.1 localhost\n")
    (directory / "resolv.conf").write_text(f"nameserver {name_server}\noptions timeout:2 attempts:1\n")
    binary = binary or os.environ.get("CVSMTPGW_BINARY") or str(Path(__file__).resolve().parents[2] / "build" / "cvsmtpgw")
    wrapper = directory / "cvsmtpgw-in-namespace"
    wrapper.write_text(
        "#!/bin/sh\n"
        f"exec {UNSHARE} --mount --propagation private /bin/sh -c "
        "'mount --bind \"$0\" /etc/hosts && mount --bind \"$1\" /etc/resolv.conf && exec \"$2\" \"$3\"' "
        f"'{directory}/hosts' '{directory}/resolv.conf' '{binary}' \"$@\"\n")
    wrapper.chmod(0o755)
    return wrapper
