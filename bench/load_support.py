"""Inbound load for bench/load_bench.py: many SMTP clients at once (more than the
gateway serves) send numbered mails of mixed sizes with attachments; what each mail must become
in OUT is known from its number, so a stand-in fax server (FaxServer) checks every acknowledged
mail byte for byte. Also the process figures the load must leave as they were (threads,
descriptors, sockets) and a sampler of resident memory. Standard library only."""

from __future__ import annotations

import asyncio
import base64
import collections
import contextlib
import multiprocessing
import os
import random
import re
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

from gateway_harness import LOOPBACK, wait_until

DOMAIN = "fax.example.com"
SENDER = "load@example.com"
BOUNDARY = "=_load_boundary_7f3a"
POOL_SIZE = 2 << 20  # attachment bytes are slices of one random pool
MAX_MAIL = 2 << 20  # the largest mail as sent
REPLY_TIMEOUT = 120.0  # seconds for any one reply, however loaded the machine
WORDS = ["fax", "page", "total", "invoice", "report", "please", "send", "to", "the", "office", "=", "100%",
         "a.b", "--", "end."]
KINDS = [("application", "pdf", "pdf"), ("image", "tiff", "tif"), ("application", "octet-stream", "bin"),
         ("image", "gif", "gif")]


Attachment = collections.namedtuple("Attachment", "name content_type offset length")
Mail = collections.namedtuple("Mail", "ident recipients lines attachments")  # fax numbers at DOMAIN; text unstuffed


class MailSet:
    """Mails numbered 0..count-1, each drawn from its own seed: mostly small,
    some of a few hundred KB, a `large_share` between 256 KB and MAX_MAIL."""

    def __init__(self, count: int, large_share: float = 0.03, seed: int = 4242):
        self.count, self.large_share, self.seed = count, large_share, seed
        self.pool = random.Random(seed).randbytes(POOL_SIZE + 4096)

    def mail(self, ident: int) -> Mail:
        rng = random.Random(self.seed * 1_000_003 + ident)
        roll = rng.random()
        if roll < self.large_share:
            target, attachments = rng.randint(256 << 10, MAX_MAIL - (64 << 10)), rng.randint(1, 2)
        elif roll < self.large_share + 0.22:
            target, attachments = rng.randint(12 << 10, 200 << 10), rng.randint(1, 3)
        else:
            target, attachments = rng.randint(1 << 10, 10 << 10), rng.randint(0, 1)
        recipients = tuple(str(5550000 + rng.randrange(10000)) for _ in range(1 if rng.random() < 0.8 else 2))
        lines = [" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 12))) for _ in range(rng.randint(1, 30))]
        if rng.random() < 0.3:  # the sender doubles these dots; the gateway takes them off again
            lines.insert(rng.randrange(len(lines) + 1), f".dot-led line of mail {ident}")
        raw = max(0, (target - 2000) * 3 // 4)  # base64 makes 4 of 3 bytes
        parts = []
        for k in range(attachments):
            length = max(64, raw // attachments)
            maintype, subtype, extension = KINDS[rng.randrange(len(KINDS))]
            parts.append(Attachment(f"m{ident}p{k}.{extension}", f"{maintype}/{subtype}",
                                    rng.randrange(len(self.pool) - POOL_SIZE), min(length, POOL_SIZE - 64)))
        return Mail(ident, recipients, tuple(lines), tuple(parts))

    def attachment_bytes(self, mail: Mail, index: int) -> bytes:
        part = mail.attachments[index]
        tag = b"%010d:%d:" % (mail.ident, index)  # no two attachments alike
        return tag + self.pool[part.offset:part.offset + part.length - len(tag)]

    def data(self, mail: Mail) -> bytes:
        """The DATA content as sent: dot-stuffed, without the end line."""
        head = (f"From: Load Test <{SENDER}>\r\nTo: " + ", ".join(f"{r}@{DOMAIN}" for r in mail.recipients) +
                f"\r\nSubject: load {mail.ident}\r\nMessage-ID: <load.{mail.ident}@example.com>\r\n"
                "MIME-Version: 1.0\r\n")
        text = "".join(("." + line if line.startswith(".") else line) + "\r\n" for line in mail.lines)
        if not mail.attachments:
            return (head + "Content-Type: text/plain; charset=us-ascii\r\n\r\n" + text).encode()
        out = [(head + f'Content-Type: multipart/mixed; boundary="{BOUNDARY}"\r\n\r\nThis is MIME.\r\n'
                f"--{BOUNDARY}\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" + text).encode()]
        for k, part in enumerate(mail.attachments):
            out.append(f'--{BOUNDARY}\r\nContent-Type: {part.content_type}; name="{part.name}"\r\n'
                       f'Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; '
                       f'filename="{part.name}"\r\n\r\n'.encode())
            out.append(base64.encodebytes(self.attachment_bytes(mail, k)).replace(b"\n", b"\r\n"))
        out.append(f"--{BOUNDARY}--\r\n".encode())
        return b"".join(out)

    def envelope(self, mail: Mail, body: str, saved: list[str]) -> bytes:
        """The envelope the gateway must write for `mail`, given the names it chose."""
        # The gateway lists the fax recipients sorted, each once.
        lines = [f"FROM: <{SENDER}>"] + [f'TO: "{r}" <{r}@{DOMAIN}>' for r in sorted(set(mail.recipients))]
        lines += [f"SUBJECT: load {mail.ident}", "", "BEGIN BODY", f"<<{body}>>", "END BODY", ""]
        if mail.attachments:
            lines += ["BEGIN ATTACH", *[f"<<{p.name}:{s}>>" for p, s in zip(mail.attachments, saved)], "END ATTACH"]
        return "".join(line + "\r\n" for line in lines).encode()


@dataclass
class LoadResult:
    accepted: set[int] = field(default_factory=set)  # answered 250
    failed: dict[int, bytes] = field(default_factory=dict)  # another reply to the end of the data
    refused: int = 0  # connections closed before a byte came
    refused_with_bytes: list[bytes] = field(default_factory=list)  # closed after a partial greeting
    errors: list[str] = field(default_factory=list)  # anything else that went wrong
    seconds: float = 0.0


class _Closed(Exception):
    pass


async def _reply(reader: asyncio.StreamReader) -> bytes:
    """One whole reply (its last line); _Closed when the connection ends first."""
    while True:
        line = await asyncio.wait_for(reader.readline(), REPLY_TIMEOUT)
        if not line.endswith(b"\n"):
            raise _Closed(line)
        if line[3:4] != b"-":
            return line


async def _command(reader, writer, line: bytes, code: bytes) -> None:
    writer.write(line + b"\r\n")
    reply = await _reply(reader)
    if not reply.startswith(code):
        raise _Closed(b"%s -> %s" % (line, reply))


async def _client(port: int, mails: MailSet, queue: list[int], result: LoadResult, rng: random.Random,
                  greeting: bytes | None) -> None:
    while queue:
        try:
            reader, writer = await asyncio.open_connection(LOOPBACK, port, limit=1 << 16)
        except OSError as e:
            result.errors.append(f"connect: {e}")
            await asyncio.sleep(0.05)
            continue
        taken: list[int] = []
        try:
            try:
                first = await asyncio.wait_for(reader.readline(), REPLY_TIMEOUT)
            except ConnectionResetError:
                first = b""
            if not first.endswith(b"\n"):
                # Over the limit: closed without a word. A partial line would be a word.
                if first:
                    result.refused_with_bytes.append(first)
                result.refused += 1
                await asyncio.sleep(rng.uniform(0.001, 0.02))
                continue
            if greeting is not None and first != greeting:
                result.errors.append(f"greeting {first!r}")
            await _command(reader, writer, b"HELO load.example.com", b"250")
            for _ in range(rng.choice((1, 1, 2, 3, 5))):  # some sessions carry several mails
                if not queue:
                    break
                ident = queue.pop()
                taken.append(ident)
                mail = mails.mail(ident)
                await _command(reader, writer, f"MAIL FROM:<{SENDER}>".encode(), b"250")
                for r in mail.recipients:
                    await _command(reader, writer, f"RCPT TO:<{r}@{DOMAIN}>".encode(), b"250")
                await _command(reader, writer, b"DATA", b"354")
                writer.write(mails.data(mail))
                writer.write(b".\r\n")
                await writer.drain()
                reply = await _reply(reader)
                taken.pop()
                if reply.startswith(b"250 "):
                    result.accepted.add(ident)
                else:
                    result.failed[ident] = reply
            await _command(reader, writer, b"QUIT", b"221")
        except (_Closed, OSError, asyncio.TimeoutError) as e:
            result.errors.append(f"session: {e!r}"[:300])
            queue.extend(taken)  # sent again on another connection
        finally:
            writer.close()
            with contextlib.suppress(OSError):
                await writer.wait_closed()


async def send_all(port: int, mails: MailSet, idents, clients: int = 50, seed: int = 1,
                   greeting: bytes | None = None) -> LoadResult:
    """Sends the mails `idents` over `clients` connections at once; each client
    connects again when refused and after each session."""
    queue = list(reversed(list(idents)))
    result = LoadResult()
    began = time.monotonic()
    await asyncio.gather(*(_client(port, mails, queue, result, random.Random(seed * 7919 + c), greeting)
                           for c in range(clients)))
    result.seconds = time.monotonic() - began
    return result


def check_envelope(out_dir: Path, mails: MailSet, env: str) -> tuple[int | None, set[str], list[str]]:
    """One submission against the mail it must come from: (mail number or
    None, the files of the submission, problems found)."""
    text = (out_dir / env).read_bytes()
    found = re.search(rb"\r\nSUBJECT: load (\d+)\r\n", text)
    if not found:
        return None, {env}, [f"{env}: no subject of ours: {text[:200]!r}"]
    ident = int(found.group(1))
    mail = mails.mail(ident)
    body = re.search(rb"<<(ENV\d+\.bdy)>>", text)
    saved = [s.decode() for s in re.findall(rb"^<<[^:>]*:(ATT[^>]*)>>\r$", text, re.M)]
    files = {env, *saved} | ({body.group(1).decode()} if body else set())
    if not body or text != mails.envelope(mail, body.group(1).decode(), saved):
        return ident, files, [f"{env} (mail {ident}): envelope {text[:400]!r}"]
    problems = []
    # A lone text part keeps its last line end; in a multipart mail it belongs to the boundary.
    want = "\r\n".join(mail.lines).encode() + (b"" if mail.attachments else b"\r\n")
    if (got := (out_dir / body.group(1).decode()).read_bytes()) != want:
        problems.append(f"mail {ident}: body {got[:200]!r} != {want[:200]!r}")
    for k, name in enumerate(saved):
        if (out_dir / name).read_bytes() != mails.attachment_bytes(mail, k):
            problems.append(f"mail {ident}: attachment {name} differs")
    return ident, files, problems


class Periodic:
    """tick() every `interval` seconds in a thread until stop() (or tick() returns False)."""

    def __init__(self, interval: float):
        self.interval, self._stop = interval, threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.is_set() and self.tick() is not False:
            self._stop.wait(self.interval)

    def stop(self, timeout: float = 60) -> None:
        self._stop.set()
        self._thread.join(timeout)


class FaxServer(Periodic):
    """Takes submissions out of OUT as the fax server does (an envelope once it
    has its .tmp name, then the files it names), checking each against its
    mail first, so that OUT stays small however many mails come. Runs in a
    thread until stop(); `taken` counts the submissions per mail."""

    def __init__(self, out_dir: Path, mails: MailSet, interval: float = 0.05):
        self.out_dir, self.mails = out_dir, mails
        self.taken: dict[int, int] = {}
        self.envelopes: set[str] = set()  # the names of the envelopes taken
        self.problems: list[str] = []
        super().__init__(interval)

    def take_all(self) -> int:
        """Takes every complete submission now in OUT; how many."""
        envelopes = sorted(n for n in os.listdir(self.out_dir) if n.startswith("ENV") and n.endswith(".tmp"))
        for env in envelopes:
            ident, files, problems = check_envelope(self.out_dir, self.mails, env)
            self.problems += problems
            if ident is not None:
                self.taken[ident] = self.taken.get(ident, 0) + 1
            self.envelopes.add(env)
            for name in files:
                with contextlib.suppress(FileNotFoundError):
                    (self.out_dir / name).unlink()
        return len(envelopes)

    def tick(self) -> None:
        try:
            self.take_all()
        except Exception as e:  # noqa: BLE001 - reported by check()
            self.problems.append(f"fax server: {e!r}")

    def check(self, accepted: set[int]) -> int:
        """After stop(): every acknowledged mail was taken once, nothing else
        was, and OUT holds nothing more. The number of submissions taken."""
        self.take_all()
        found = (("mails handed over more than once", sorted(i for i, n in self.taken.items() if n > 1)),
                 ("acknowledged mails without a submission", sorted(accepted - set(self.taken))),
                 ("submissions of mails not acknowledged", sorted(set(self.taken) - accepted)),
                 ("other files in OUT", sorted(os.listdir(self.out_dir))))
        problems = self.problems + [f"{len(v)} {what}, e.g. {v[:10]}" for what, v in found if v]
        if problems:
            raise AssertionError(f"{len(problems)} problems:\n" + "\n".join(problems[:20]))
        return sum(self.taken.values())


def wait_written(fax: FaxServer, out_dir: Path, count: int, timeout: float) -> None:
    """Until the gateway has written `count` submissions (taken or not yet) and no spool
    file waits: the end of its work, whatever the fax server's pace."""
    def written():
        names = os.listdir(out_dir)
        present = {n for n in names if n.startswith("ENV") and n.endswith(".tmp")}
        return len(present | fax.envelopes) >= count and not any(n.endswith(".zqx") for n in names)
    wait_until(written, timeout, lambda: f"{len(fax.envelopes)} of {count} submissions after {timeout:.0f} s", 0.01)


def wait_taken(fax: FaxServer, out_dir: Path, count: int, timeout: float) -> None:
    """Until the fax server has taken `count` submissions and no spool file waits."""
    wait_until(lambda: len(fax.taken) >= count and not any(n.endswith(".zqx") for n in os.listdir(out_dir)),
               timeout, lambda: f"{len(fax.taken)} of {count} submissions taken after {timeout:.0f} s", 0.05)


def run_phases(gw, mails: MailSet, phases, clients: int = 50, greeting: bytes | None = None, timeout: float = 180):
    """The gateway `gw` under load: its last mail first (the hand-off threads start with it, and
    stay), then per (name, idents) of `phases` those mails from `clients` clients at once while a
    fax server takes them. Returns the fax server (stopped), the mails acknowledged, the process
    counts after the first mail, the memory sampler and per phase {result, acked and written (s),
    counts (settled again), rss}."""
    fax = FaxServer(gw.out_dir, mails)
    try:
        accepted = asyncio.run(send_all(gw.port, mails, [mails.count - 1], clients=1)).accepted
        wait_taken(fax, gw.out_dir, 1, 60)
        baseline, sampler, figures = process_counts(gw.proc.pid), RssSampler(gw.proc.pid), {}
        for name, idents in phases:
            began = time.monotonic()
            result = asyncio.run(send_all(gw.port, mails, idents, clients=clients, seed=len(accepted),
                                          greeting=greeting))
            acked = time.monotonic() - began
            accepted |= result.accepted
            wait_written(fax, gw.out_dir, len(accepted), timeout)
            written = time.monotonic() - began
            wait_taken(fax, gw.out_dir, len(accepted), timeout)
            counts = wait_settled(gw.proc.pid, baseline)
            figures[name] = dict(result=result, acked=acked, written=written, counts=counts, rss=sampler.mark(name))
        sampler.stop()
    finally:
        fax.stop()
    return fax, accepted, baseline, sampler, figures


def measure_inbound(port: int, out_dir: str, count: int, seed: int, clients: int = 50) -> dict:
    """Sends `count` small mails from `clients` clients while a fax server takes and
    checks the submissions: the mails per second from the first connection to the
    last submission written, and anything that went wrong. Meant to run in a
    process of its own (in_own_process), so that the clients' work does not slow
    the servers that a test runs in its threads."""
    mails = MailSet(count, large_share=0, seed=seed)
    fax = FaxServer(Path(out_dir), mails)
    problems: list[str] = []
    try:
        began = time.monotonic()
        result = asyncio.run(send_all(port, mails, range(count), clients=clients))
        wait_written(fax, Path(out_dir), len(result.accepted), 600)
        rate = len(result.accepted) / (time.monotonic() - began)
        wait_taken(fax, Path(out_dir), len(result.accepted), 600)
    finally:
        fax.stop()
    problems += result.errors + [f"mail {i}: {r!r}" for i, r in result.failed.items()]
    problems += [f"refused with bytes: {b!r}" for b in result.refused_with_bytes]
    try:
        fax.check(result.accepted)
    except AssertionError as e:
        problems.append(str(e))
    return {"rate": rate, "accepted": len(result.accepted), "problems": problems}


def in_own_process(function, *args):
    """function(*args) in a fresh interpreter (spawned, not forked: the caller has
    threads); its result."""
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        return pool.apply(function, args)


def process_counts(pid: int) -> tuple[int, int, int]:
    """(open descriptors, of which sockets, threads) of process `pid`."""
    fds, sockets = os.listdir(f"/proc/{pid}/fd"), 0
    for fd in fds:
        with contextlib.suppress(OSError):  # closed meanwhile
            sockets += os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
    return len(fds), sockets, len(os.listdir(f"/proc/{pid}/task"))


def rss_kib(pid: int) -> int:
    found = re.search(r"VmRSS:\s+(\d+) kB", open(f"/proc/{pid}/status").read())
    return int(found.group(1)) if found else 0


class RssSampler(Periodic):
    """Samples VmRSS of `pid` every `interval` seconds in a thread; `peak` is the
    highest seen, `mark(name)` records the present value under a name."""

    def __init__(self, pid: int, interval: float = 0.1):
        self.pid, self.peak, self.marks = pid, 0, {}
        super().__init__(interval)

    def tick(self) -> bool:
        try:
            self.peak = max(self.peak, rss_kib(self.pid))
            return True
        except OSError:
            return False

    def mark(self, name: str) -> int:
        self.marks[name] = value = rss_kib(self.pid)
        self.peak = max(self.peak, value)
        return value



def wait_settled(pid: int, baseline: tuple[int, int, int], timeout: float = 15.0) -> tuple[int, int, int]:
    """Waits until the process's counts are back at `baseline` (or below); the
    counts at the end either way."""
    deadline = time.monotonic() + timeout
    while True:
        now = process_counts(pid)
        if all(n <= b for n, b in zip(now, baseline)) or time.monotonic() > deadline:
            return now
        time.sleep(0.1)
