"""Outbound message files as the fax server writes them into IN, a syslog socket of the test's own, scripted
receivers, and the wrapper that runs the gateway with private /etc/hosts and /etc/resolv.conf."""

from __future__ import annotations

import contextlib
import os
import re
import socket
import threading
import time
from pathlib import Path

from gateway_harness import needs_seam


# A minute of the retry schedule lasts 100 ms: a message's five attempts take some 8 seconds.
OUTBOUND_TIME_SCALE = {"CVSMTPGW_RETRY_MINUTE_MS": "100"}


def outbound_gateway(make_gateway, port: int, values: dict | None = None, env: dict | None = None, **kw):
    """A gateway, not started yet, that delivers to `port` on the test time scale; nothing listens at DNSName."""
    needs_seam()
    return make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": port, **(values or {})},
                        env={**OUTBOUND_TIME_SCALE, **(env or {})}, start=False, **kw)


def message_file(to: str | None, subject: str, body: list[str], attachments: list[tuple[str, str]] = (),
                 sender: str = "Corvane Fax Server <fax@fax.example.com>", encoding: str = "latin-1") -> bytes:
    """The message file, with a "<<display:file>>" line per (display name, file in IN); `to` None: no TO: line."""
    lines = [f"FROM: {sender}"]
    lines += [f"TO: <<{to}>>"] if to is not None else []
    lines += [f"SUBJECT: {subject}", "", "BEGIN BODY", "", *body, "", "END BODY", ""]
    if attachments:
        lines += ["BEGIN ATTACH", *[f"<<{display}:{name}>>" for display, name in attachments], "END ATTACH"]
    return "".join(line + "\r\n" for line in lines).encode(encoding)


class SyslogSocket:
    """The gateway's syslog datagrams at `path`, read all the time (the gateway drops what a full queue will not
    take); texts() also drains the socket under the lock, so it has what was sent just before it was called."""

    def __init__(self, path: Path):
        self.path, self.received = path, []
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(path))
        self.sock.settimeout(0.05)
        self._lock, self._pending, self._closed = threading.Lock(), [], False
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        while not self._closed:
            with self._lock:
                try:
                    self._pending.append(self.sock.recv(65536).decode("latin-1"))  # a mail-log line: some KiB
                except socket.timeout:
                    pass
                except OSError:
                    return
            time.sleep(0.0002)  # lets texts() take the lock

    def texts(self) -> list[str]:  # the reports that came since the last call, after their "]: "
        with self._lock:
            self.sock.settimeout(0)  # the reader is not in recv() while the lock is held
            with contextlib.suppress(OSError):  # BlockingIOError once the queue is empty
                while True:
                    self._pending.append(self.sock.recv(65536).decode("latin-1"))
            self.sock.settimeout(0.05)
            got, self._pending = self._pending, []
        got = [datagram.partition("]: ")[2] for datagram in got]
        self.received += got
        return got

    def lines(self, prefix: str) -> list[str]:  # the texts received so far that start with `prefix`
        self.texts()
        return [t for t in self.received if t.startswith(prefix)]

    def events(self, event_id: int, timeout: float = 0.0) -> list[str]:
        """The texts after "event <id>: " of all reports received (waiting up to `timeout` s for a first one)."""
        deadline = time.monotonic() + timeout
        while True:
            self.texts()
            found = [m.group(1) for d in self.received if (m := re.search(rf"event {event_id}: (.*)$", d))]
            if found or time.monotonic() >= deadline:
                return found
            time.sleep(0.05)

    def close(self) -> None:
        self._closed = True
        self._reader.join(timeout=1)
        self.sock.close()
        self.path.unlink(missing_ok=True)


class Listener:
    """A TCP server (port 0: a free one); `handle(conn, listener)` serves each connection in a thread of its own."""

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
    """A program that runs the gateway with its own /etc/hosts and /etc/resolv.conf naming only `name_server`."""
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


class ScriptedReceiver:
    """An SMTP receiver in threads of the test on address:port (port 0: a free one). `rcpt_reply(recipient)` gives
    the reply to a RCPT (None: 250). Keeps `mails` [(sender, recipient, text)] and the number of `sessions`."""

    def __init__(self, address: str = "127.0.0.1", port: int = 0, rcpt_reply=lambda rcpt: None):
        self.rcpt_reply, self.mails, self.sessions = rcpt_reply, [], 0
        self._lock = threading.Lock()
        self._server = Listener(lambda conn, _: self._session(conn), address, port)
        self.port = self._server.port

    def _session(self, conn: socket.socket) -> None:
        with self._lock:
            self.sessions += 1
        conn.settimeout(30)
        lines = conn.makefile("rb")
        conn.sendall(b"220 receiver.test ESMTP\r\n")
        sender = rcpt = None
        for line in lines:
            verb, argument = line[:4].upper(), line[5:].strip().decode("latin-1")
            reply = b"250 2.0.0 Ok"
            if verb == b"MAIL":
                sender = argument.partition(":")[2]
            elif verb == b"RCPT":
                rcpt = argument.partition(":")[2]
                reply = (self.rcpt_reply(rcpt) or "250 2.1.5 Ok").encode()
            elif verb == b"DATA":
                self._pause(rcpt, "before-354")
                conn.sendall(b"354 End data with <CR><LF>.<CR><LF>\r\n")
                if not self._take(sender, rcpt, lines):
                    return
                self._pause(rcpt, "before-250")
                reply = b"250 2.0.0 Ok: queued"
            elif verb == b"QUIT":
                self._pause(rcpt, "before-221")
                conn.sendall(b"221 2.0.0 Bye\r\n")
                return
            conn.sendall(reply + b"\r\n")

    def _take(self, sender, rcpt, lines) -> bool:  # the mail text up to the lone dot; False: hang up
        if (text := mail_text(lines, False)) is None:
            return False
        with self._lock:
            self.mails.append((sender, rcpt, b"".join(text)))
        return True

    def _pause(self, rcpt, point: str) -> None:
        pass

    def close(self) -> None:
        self._server.close()

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.close()


def mail_text(lines, cut: bool) -> list[bytes] | bool | None:
    """The lines of a mail text after the 354, up to the lone dot, unstuffed; False when
    `cut` makes the server hang up at its fifth line, None when the client hung up."""
    text = []
    for line in lines:
        if line == b".\r\n":
            return text
        text.append(line[1:] if line.startswith(b".") else line)
        if cut and len(text) == 5:
            return False
    return None


def drop_message(in_dir: Path, name: str, data: bytes) -> None:
    """Written aside, then renamed into IN, as the fax server does."""
    part = in_dir.parent / (name + ".part")
    part.write_bytes(data)
    os.replace(part, in_dir / name)
