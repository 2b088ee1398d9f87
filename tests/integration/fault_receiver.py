"""A receiving SMTP server on 127.0.0.1 (threads of the test) for the gateway's outbound side:
ok (plain, quick) or flaky (hangs up in the mail text at the first attempt of each message,
takes the second). A mail counts as delivered once its whole
text has arrived, just before the 250 that says so (as a real server commits it); its recipient
is m<n>@ some domain and its text holds "out-<n>". `hold` stops one message's dialogue at a
point until release(), so that a test can kill the gateway right there. (bench/load_receiver.py
misbehaves in every way, for the load bench.)"""

from __future__ import annotations

import collections
import re
import socket
import threading

from outbound_support import Listener

IDENT = re.compile(rb"out-(\d+)")  # in the mail text
RECIPIENT = re.compile(rb"(?i)<m(\d+)@")  # every message has a recipient of its own
HOLD_POINTS = ("before-354", "before-250", "before-221")


class FaultReceiver:
    def __init__(self, behaviour: str = "ok"):
        assert behaviour in ("ok", "flaky"), behaviour
        self.behaviour = behaviour
        self.deliveries: collections.Counter[int] = collections.Counter()  # message -> times committed
        self.commits: list[int] = []  # messages in the order committed
        self.attempts, self.errors, self._seen = 0, [], set()
        self._lock = threading.Lock()
        self._hold: tuple[int, str] | None = None
        self.held, self._released = threading.Event(), threading.Event()  # held: the held point is reached
        self._server = Listener(lambda conn, _: self._session(conn))
        self.port = self._server.port

    def hold(self, ident: int, point: str) -> None:
        """Stops the dialogue of message `ident` at `point` until release()."""
        assert point in HOLD_POINTS
        with self._lock:
            self._hold = (ident, point)

    def release(self) -> None:
        with self._lock:
            self._hold = None
        self._released.set()

    def counts(self) -> dict[int, int]:
        with self._lock:
            return dict(self.deliveries)

    def close(self) -> None:
        self._released.set()
        self._server.close()

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.close()

    def _held(self, ident: int | None, point: str) -> None:
        with self._lock:
            hit = self._hold == (ident, point)
        if hit:
            self.held.set()
            self._released.wait()

    def _reply(self, conn: socket.socket, text: bytes) -> None:
        conn.sendall(text + b"\r\n")

    def _session(self, conn: socket.socket) -> None:
        with self._lock:
            self.attempts += 1
        lines, ident = conn.makefile("rb"), None
        self._reply(conn, b"220 receiver.test ESMTP ready")
        for line in lines:
            verb = line[:4].upper()
            if verb == b"RCPT":
                found = RECIPIENT.search(line)
                ident = int(found.group(1)) if found else None
            if verb == b"DATA":
                self._held(ident, "before-354")
                self._reply(conn, b"354 End data with <CR><LF>.<CR><LF>")
                if not self._text(conn, lines, ident):
                    return
            elif verb == b"QUIT":
                self._held(ident, "before-221")
                self._reply(conn, b"221 2.0.0 Bye")
                return
            else:
                self._reply(conn, b"250 2.0.0 Ok")

    def _text(self, conn: socket.socket, lines, ident: int | None) -> bool:
        """The mail text after the 354; False when either side hung up."""
        with self._lock:
            flaky_first = self.behaviour == "flaky" and ident not in self._seen
            self._seen.add(ident)
        text = mail_text(lines, flaky_first)
        if not isinstance(text, list) or not commit(self, text, ident):
            return False
        self._held(ident, "before-250")
        self._reply(conn, b"250 2.0.0 Ok: queued as %d" % ident)
        return True


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


def commit(receiver, text: list[bytes], ident: int | None) -> bool:
    """Counts message `ident` delivered when `text` is its own; a receiver has deliveries,
    commits, errors and _lock."""
    found = IDENT.search(b"".join(text))
    if ident is None or not found or int(found.group(1)) != ident:
        receiver.errors.append(f"recipient of message {ident} with the text of {found and found.group(1)!r}")
        return False
    with receiver._lock:
        receiver.deliveries[ident] += 1
        receiver.commits.append(ident)
    return True
