"""A receiving SMTP server (asyncio, in a thread of the test) that misbehaves on
purpose, one way per listening address, for the gateway's outbound side:

    ok       a plain, quick server
    slow     every reply `slow_delay` seconds late (within the gateway's time-out)
    stall    never answers RCPT (the gateway's reply time-out ends each attempt)
    drop     hangs up in the middle of every dialogue (a different place each time)
    flaky    hangs up in the middle of the mail text on the first attempt of each
             message, takes the second
    grey     greylists: "451" at the first RCPT of each recipient, takes it later

A mail counts as delivered once its whole text has arrived, just before the
server sends the 250 that says so (as a real server commits it). Deliveries are
counted per message: its recipient is m<n>@ some domain, and its text holds
"out-<n>". `hold` makes the server stop at a chosen point of one message's
dialogue until released, so that a test can kill the gateway right there.
Standard library only.
"""

from __future__ import annotations

import asyncio
import collections
import re
import threading

IDENT = re.compile(rb"out-(\d+)")  # in the mail text
RECIPIENT = re.compile(rb"(?i)<m(\d+)@")  # every message has a recipient of its own
BEHAVIOURS = ("ok", "slow", "stall", "drop", "flaky", "grey")
# Where `drop` hangs up, in turn: after the greeting, after MAIL, after RCPT, in the text.
DROP_POINTS = ("greeting", "mail", "rcpt", "text")
HOLD_POINTS = ("before-354", "before-250", "before-221")


class FaultReceiver:
    def __init__(self, listeners: dict[str, str], port: int, slow_delay: float = 0.05, stall: float = 3600.0):
        """`listeners`: {address: behaviour}; every address listens on `port`."""
        self.listeners, self.port, self.slow_delay, self.stall = listeners, port, slow_delay, stall
        self.deliveries: collections.Counter[int] = collections.Counter()  # message -> times committed
        self.attempts: collections.Counter[str] = collections.Counter()  # behaviour -> connections
        # behaviour -> connections the client left before the dialogue's end (a
        # reply time-out on its side); `stall` is left by design and not counted.
        self.cut: collections.Counter[str] = collections.Counter()
        self.commits: list[int] = []  # messages in the order committed
        self.errors: list[str] = []
        self._greylisted: set[int | None] = set()
        self._flaky_seen: set[int | None] = set()
        self._drops = 0
        self._lock = threading.Lock()
        self._hold: tuple[int, str] | None = None
        self.held = threading.Event()  # set when the held point is reached
        self._release: asyncio.Event | None = None
        self._loop = asyncio.new_event_loop()
        self._servers: list[asyncio.AbstractServer] = []
        started = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(started,), daemon=True)
        self._thread.start()
        if not started.wait(10) or self.errors:
            raise RuntimeError(f"receiver did not start: {self.errors}")

    # -- control, from the test's thread --

    def hold(self, ident: int, point: str) -> None:
        """Stops the dialogue of message `ident` at `point` until release()."""
        assert point in HOLD_POINTS
        with self._lock:
            self._hold = (ident, point)
            self.held.clear()

    def release(self) -> None:
        with self._lock:
            self._hold = None
        self._loop.call_soon_threadsafe(self._release.set)

    def counts(self) -> dict[int, int]:
        with self._lock:
            return dict(self.deliveries)

    def close(self) -> None:
        async def shut():
            for server in self._servers:
                server.close()
            self._release.set()
            sessions = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for task in sessions:
                task.cancel()
            await asyncio.gather(*sessions, return_exceptions=True)
        asyncio.run_coroutine_threadsafe(shut(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)

    # -- the server --

    def _run(self, started: threading.Event) -> None:
        asyncio.set_event_loop(self._loop)
        self._release = asyncio.Event()
        try:
            for address, behaviour in self.listeners.items():
                assert behaviour in BEHAVIOURS, behaviour
                server = self._loop.run_until_complete(asyncio.start_server(
                    lambda r, w, b=behaviour: self._session(r, w, b), address, self.port, backlog=64))
                self._servers.append(server)
        except OSError as e:
            self.errors.append(f"listen: {e}")
        started.set()
        self._loop.run_forever()

    async def _held(self, ident: int | None, point: str) -> None:
        with self._lock:
            hit = self._hold is not None and self._hold == (ident, point)
        if hit:
            self._release.clear()
            self.held.set()
            await self._release.wait()

    async def _session(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter, behaviour: str) -> None:
        with self._lock:
            self.attempts[behaviour] += 1
            drop_at = DROP_POINTS[self._drops % len(DROP_POINTS)] if behaviour == "drop" else None
            self._drops += behaviour == "drop"

        async def reply(text: bytes) -> None:
            if behaviour == "slow":
                await asyncio.sleep(self.slow_delay)
            writer.write(text + b"\r\n")
            await writer.drain()

        ident = None  # the message, from its recipient
        ended = False  # the dialogue reached QUIT, or this server hung up on purpose
        try:
            await reply(b"220 receiver.test ESMTP ready")
            if drop_at == "greeting":
                ended = True
                return
            while True:
                line = await reader.readline()
                if not line:
                    return
                verb = line[:4].upper()
                if verb in (b"HELO", b"EHLO"):
                    await reply(b"250 receiver.test")
                elif verb == b"MAIL":
                    if drop_at == "mail":
                        ended = True
                        return
                    await reply(b"250 2.1.0 Ok")
                elif verb == b"RCPT":
                    if drop_at == "rcpt":
                        ended = True
                        return
                    found = RECIPIENT.search(line)
                    ident = int(found.group(1)) if found else None
                    if behaviour == "stall":  # silent until the client gives up and hangs up
                        ended = True
                        await asyncio.wait_for(reader.read(), self.stall)
                        return
                    with self._lock:
                        first = behaviour == "grey" and ident not in self._greylisted
                        self._greylisted.add(ident)
                    # After a 451 the gateway waits out its reply time-out for a 250 and hangs up.
                    ended = first
                    await reply(b"451 4.7.1 Greylisted, try again later" if first else b"250 2.1.5 Ok")
                elif verb == b"DATA":
                    await self._held(ident, "before-354")
                    await reply(b"354 End data with <CR><LF>.<CR><LF>")
                    taken = await self._text(reader, reply, behaviour, drop_at, ident)
                    if not taken:
                        ended = taken is False
                        return
                elif verb == b"QUIT":
                    await self._held(ident, "before-221")
                    ended = True
                    await reply(b"221 2.0.0 Bye")
                    return
                elif verb in (b"RSET", b"NOOP"):
                    await reply(b"250 2.0.0 Ok")
                else:
                    await reply(b"502 5.5.2 Error: command not recognized")
        except (ConnectionError, OSError, asyncio.TimeoutError):
            pass
        finally:
            if not ended:
                with self._lock:
                    self.cut[behaviour] += 1
            writer.close()

    async def _text(self, reader, reply, behaviour: str, drop_at: str | None, ident: int | None) -> bool | None:
        """The mail text after the 354; False when the server hung up, None when the client did."""
        with self._lock:
            flaky_first = behaviour == "flaky" and ident not in self._flaky_seen
            self._flaky_seen.add(ident)
        lines: list[bytes] = []
        while True:
            line = await reader.readline()
            if not line:
                return None
            if line == b".\r\n":
                break
            lines.append(line[1:] if line.startswith(b".") else line)
            if (drop_at == "text" or flaky_first) and len(lines) == 5:
                return False
        text = b"".join(lines)
        found = IDENT.search(text)
        if ident is None or not found or int(found.group(1)) != ident:
            self.errors.append(f"recipient of message {ident} with the text of {found and found.group(1)!r}")
            return False
        with self._lock:
            self.deliveries[ident] += 1
            self.commits.append(ident)
        await self._held(ident, "before-250")
        await reply(b"250 2.0.0 Ok: queued as %d" % ident)
        return True
