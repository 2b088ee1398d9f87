"""A receiver that counts each message's deliveries (recipient m<n>@..., text holding "out-<n>"), committed just
before the 250 as a real server commits; `hold` stops a dialogue at a point until release(), for a kill right there."""

from __future__ import annotations

import collections
import re
import threading

from outbound_support import ScriptedReceiver, mail_text

IDENT = re.compile(rb"out-(\d+)")  # in the mail text
RECIPIENT = re.compile(rb"(?i)<m(\d+)@")


class FaultReceiver(ScriptedReceiver):
    def __init__(self):
        self.errors = []
        self.deliveries: collections.Counter[int] = collections.Counter()  # message -> times committed
        self.commits: list[int] = []  # messages in the order committed
        self._holds: dict[int, tuple[str, threading.Event]] = {}
        self.held: list[int] = []  # messages stopped at their point, in order
        super().__init__()

    def hold(self, ident: int, point: str) -> None:
        assert point in ("before-354", "before-250", "before-221")
        self._holds[ident] = (point, threading.Event())

    def release(self, ident: int) -> None:
        self._holds.pop(ident)[1].set()

    def close(self) -> None:
        [released.set() for _, released in self._holds.values()]
        super().close()

    @staticmethod
    def _ident(rcpt: str | None) -> int | None:
        found = RECIPIENT.search(f"{rcpt}".encode())
        return int(found.group(1)) if found else None

    def _pause(self, rcpt, point: str) -> None:
        ident = self._ident(rcpt)
        hold = self._holds.get(ident)
        if hold and hold[0] == point:
            with self._lock:
                self.held.append(ident)
            hold[1].wait()

    def _take(self, sender, rcpt, lines) -> bool:
        ident = self._ident(rcpt)
        text = mail_text(lines, False)
        return isinstance(text, list) and commit(self, text, ident)


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
