"""Outbound message files as the fax server writes them into IN, a syslog socket
of the test's own (the gateway reports events there through $CVSMTPGW_SYSLOG_SOCKET),
and the wrapper that runs the gateway with private /etc/hosts and /etc/resolv.conf.
Standard library only."""

from __future__ import annotations

import os
import re
import socket
import time
from pathlib import Path


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
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))
        self.sock.settimeout(0.1)
        self.received: list[str] = []

    def events(self, event_id: int, timeout: float = 0.0) -> list[str]:
        """The texts after "event <id>: " of the reports received so far (waiting up to
        `timeout` seconds for a first one)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.received.append(self.sock.recv(4096).decode("latin-1"))
                continue
            except socket.timeout:
                pass
            found = [m.group(1) for d in self.received if (m := re.search(rf"event {event_id}: (.*)$", d))]
            if found or time.monotonic() >= deadline:
                return found

    def close(self) -> None:
        self.sock.close()
        if self.path.exists():
            os.unlink(self.path)


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
