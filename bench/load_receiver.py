"""A receiving SMTP server (threads of the test) that misbehaves on purpose, one
way per listening address, for the gateway's outbound side: ok (plain, quick); slow (every
reply `slow_delay` s late, within the gateway's time-out); stall (never answers RCPT: the
gateway's reply time-out ends each attempt); drop (hangs up in the middle of every dialogue, a
different place each time); flaky (hangs up in the mail text on the first attempt of each
message, takes the second); grey (451 at the first RCPT of each recipient, takes it later).

A mail counts as delivered once its whole text has arrived, just before the 250 that says so
(as a real server commits it), per message: its recipient is m<n>@ some domain and its text
holds "out-<n>". (tests/integration/fault_receiver.py is the small receiver of the suite,
whose dialogue can be held at a point so that a test can kill the gateway there.) Standard
library only."""

from __future__ import annotations

import collections
import socket
import threading
import time

from fault_receiver import RECIPIENT, commit, mail_text
from outbound_support import Listener

BEHAVIOURS = ("ok", "slow", "stall", "drop", "flaky", "grey")
# Where `drop` hangs up, in turn: after the greeting, after MAIL, after RCPT, in the text.
DROP_POINTS = ("greeting", "mail", "rcpt", "text")


class FaultReceiver:
    def __init__(self, listeners: dict[str, str], port: int, slow_delay: float = 0.05, stall: float = 3600.0):
        """`listeners`: {address: behaviour}; every address listens on `port`."""
        self.port, self.slow_delay, self.stall = port, slow_delay, stall
        self.deliveries: collections.Counter[int] = collections.Counter()  # message -> times committed
        self.attempts: collections.Counter[str] = collections.Counter()  # behaviour -> connections
        # behaviour -> connections the client left before the dialogue's end (a
        # reply time-out on its side); `stall` is left by design and not counted.
        self.cut: collections.Counter[str] = collections.Counter()
        self.commits: list[int] = []  # messages in the order committed
        self.errors: list[str] = []
        self._greylisted, self._flaky_seen, self._drops = set(), set(), 0
        self._lock = threading.Lock()
        self._servers = []
        for address, behaviour in listeners.items():
            assert behaviour in BEHAVIOURS, behaviour
            try:
                self._servers.append(Listener(lambda conn, _, b=behaviour: self._session(conn, b), address, port))
            except OSError as e:
                self.close()
                raise RuntimeError(f"receiver did not start: {e}") from None

    def counts(self) -> dict[int, int]:
        with self._lock:
            return dict(self.deliveries)

    def close(self) -> None:
        for server in self._servers:
            server.close()

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.close()

    def _session(self, conn: socket.socket, behaviour: str) -> None:
        with self._lock:
            self.attempts[behaviour] += 1
            drop_at = DROP_POINTS[self._drops % len(DROP_POINTS)] if behaviour == "drop" else None
            self._drops += behaviour == "drop"

        def reply(text: bytes) -> None:
            if behaviour == "slow":
                time.sleep(self.slow_delay)
            conn.sendall(text + b"\r\n")

        lines = conn.makefile("rb")
        ident = None  # the message, from its recipient
        ended = False  # the dialogue reached QUIT, or this server hung up on purpose
        try:
            reply(b"220 receiver.test ESMTP ready")
            ended = drop_at == "greeting"
            for line in [] if ended else lines:
                verb = line[:4].upper()
                if verb in (b"MAIL", b"RCPT") and drop_at == verb.decode().lower():
                    ended = True
                    return
                if verb in (b"HELO", b"EHLO"):
                    reply(b"250 receiver.test")
                elif verb == b"MAIL":
                    reply(b"250 2.1.0 Ok")
                elif verb == b"RCPT":
                    found = RECIPIENT.search(line)
                    ident = int(found.group(1)) if found else None
                    if behaviour == "stall":  # silent until the client gives up and hangs up
                        ended = True
                        conn.settimeout(self.stall)
                        while conn.recv(4096):
                            pass
                        return
                    with self._lock:
                        first = behaviour == "grey" and ident not in self._greylisted
                        self._greylisted.add(ident)
                    # After a 451 the gateway ends the session and tries again a minute later.
                    ended = first
                    reply(b"451 4.7.1 Greylisted, try again later" if first else b"250 2.1.5 Ok")
                elif verb == b"DATA":
                    reply(b"354 End data with <CR><LF>.<CR><LF>")
                    taken = self._text(lines, reply, behaviour, drop_at, ident)
                    if not taken:
                        ended = taken is False
                        return
                elif verb == b"QUIT":
                    ended = True
                    reply(b"221 2.0.0 Bye")
                    return
                else:
                    reply(b"250 2.0.0 Ok" if verb in (b"RSET", b"NOOP") else b"502 5.5.2 Error: command not recognized")
        finally:
            if not ended:
                with self._lock:
                    self.cut[behaviour] += 1

    def _text(self, lines, reply, behaviour: str, drop_at: str | None, ident: int | None) -> bool | None:
        """The mail text after the 354; False when the server hung up, None when the client did."""
        with self._lock:
            flaky_first = behaviour == "flaky" and ident not in self._flaky_seen
            self._flaky_seen.add(ident)
        text = mail_text(lines, drop_at == "text" or flaky_first)
        if not isinstance(text, list):
            return text
        if not commit(self, text, ident):
            return False
        reply(b"250 2.0.0 Ok: queued as %d" % ident)
        return True
