"""Outbound load for bench/load_bench.py: message files in IN whose receivers
misbehave in every way load_receiver knows (and one domain whose server refuses every
connection), found through a real name server (dnsmasq). Each message's recipient and text
carry its number, so its fate can be checked: delivered exactly once, or given the error name
that says why after exactly five attempts (spread over the retry schedule, which runs on the
test build's time scale: a minute lasts `retry_minute_ms`). Needs root (port 53, mount namespaces). Use:
OutboundLoad(n) as a context; a gateway with settings(), environment() and wrapper(); write(IN);
start it; wait_done(IN, timeout); check(IN) raises on any message not where it belongs."""

from __future__ import annotations

import os
import re
import tempfile
import threading
import time
from pathlib import Path

import dns_servers
from dnsmasq_zone import serve_mail_zone
from load_receiver import FaultReceiver
from gateway_harness import free_port, wait_until
from outbound_support import SyslogSocket, message_file, namespace_wrapper

ZONE = "out.test"
# What becomes of a message per behaviour of its receiver.
OUTCOMES = {"ok": "delivered", "slow": "delivered", "flaky": "delivered", "grey": "delivered",
            "stall": ".ConnTermin.Err", "drop": ".ConnTermin.Err", "refuse": ".ConnFailed.Err"}
# Connections the receiver sees per message of each behaviour.
ATTEMPTS = {"ok": 1, "slow": 1, "flaky": 2, "grey": 2, "stall": 5, "drop": 5, "refuse": 0}
# A mix with every fault: weights per behaviour.
DEFAULT_MIX = {"ok": 42, "slow": 12, "flaky": 10, "grey": 12, "stall": 1, "drop": 10, "refuse": 13}


class OutboundLoad:
    def __init__(self, count: int, mix: dict[str, int] | None = None, reply_timeout_ms: int = 2000,
                 slow_delay: float = 0.05, attachment_size: int = 20000, retry_minute_ms: int = 100):
        mix = mix or DEFAULT_MIX  # `count` messages split by the weights, each behaviour getting at least one
        self.counts = {b: max(1, count * w // sum(mix.values())) for b, w in mix.items()}
        self.counts[next(iter(mix))] += count - sum(self.counts.values())
        self.plan = dict(enumerate(b for b, n in self.counts.items() for _ in range(n)))
        self.reply_timeout_ms, self.slow_delay, self.attachment_size = reply_timeout_ms, slow_delay, attachment_size
        self.retry_minute_ms = retry_minute_ms
        self.port = free_port()
        self.addresses = {b: dns_servers.loopback_address() for b in OUTCOMES}
        self.zone = self.receiver = self.syslog = None
        self._events: list[str] = []
        self._stop = threading.Event()
        self._drain: threading.Thread | None = None
        self.began = self.ended = 0.0

    def __enter__(self) -> "OutboundLoad":
        a = {f"{b}.{ZONE}": address for b, address in self.addresses.items() if b != "ok"}
        # The plain domain has a mail exchanger (named by its address); the others only their own address.
        self.zone = serve_mail_zone(ZONE, mx=[(10, self.addresses["ok"])], a=a)
        try:
            listeners = {address: b for b, address in self.addresses.items() if b != "refuse"}
            stall = max(10.0, 5 * self.reply_timeout_ms / 1000)
            self.receiver = FaultReceiver(listeners, self.port, slow_delay=self.slow_delay, stall=stall)
            self._syslog_dir = Path(tempfile.mkdtemp(prefix="cvgw-syslog-"))
            self.syslog = SyslogSocket(self._syslog_dir / "syslog")
            self._drain = threading.Thread(target=self._drain_events, daemon=True)
            self._drain.start()
        except Exception:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        if self._drain:
            self._drain.join(5)
        if self.syslog:
            self.syslog.close()
            os.rmdir(self._syslog_dir)
        if self.receiver:
            self.receiver.close()
        if self.zone:
            self.zone.stop()

    def _drain_events(self) -> None:
        # Read all along: a full socket would hold the gateway's reports up.
        while not self._stop.is_set():
            self._events = self.syslog.events(435, timeout=0.2)

    settings = lambda self: {"DNSName": self.zone.address, "SmtpTxPort": self.port}
    environment = lambda self: {"CVSMTPGW_REPLY_TIMEOUT_MS": str(self.reply_timeout_ms),
                                "CVSMTPGW_RETRY_MINUTE_MS": str(self.retry_minute_ms),
                                "CVSMTPGW_SYSLOG_SOCKET": str(self.syslog.path)}
    wrapper = lambda self, directory, binary=None: namespace_wrapper(directory, self.zone.address, binary)
    # Each message's recipient: m<n>@ the domain of its behaviour (the plain domain for ok).
    recipient = lambda self, ident: f"m{ident}@" + (ZONE if self.plan[ident] == "ok" else f"{self.plan[ident]}.{ZONE}")

    def write(self, in_dir: Path, idents=None) -> None:
        """The message files (and the attachment file each names), written under
        another name and renamed, as the fax server does."""
        for ident in self.plan if idents is None else idents:
            image = b"II*\x00" + (b"%08d" % ident) * (self.attachment_size // 8)
            (in_dir / f"F{ident}.tif").write_bytes(image)
            data = message_file(self.recipient(ident), f"Fax received from out-{ident}",
                                [f"A fax for message out-{ident}.", ".a line that begins with a dot"],
                                [("fax.tif", f"F{ident}.tif")])
            (in_dir / f"o{ident}.part").write_bytes(data)
            os.replace(in_dir / f"o{ident}.part", in_dir / f"o{ident}.tmp")
        self.began = time.monotonic()

    waiting = lambda self, in_dir: sum(1 for n in os.listdir(in_dir) if n.lower().endswith(".tmp"))

    def wait_done(self, in_dir: Path, timeout: float) -> float:
        """Until no message waits in IN and the delivered ones' attachment files are
        gone; the seconds since write()."""
        delivered = [i for i, b in self.plan.items() if OUTCOMES[b] == "delivered"]
        wait_until(lambda: not self.waiting(in_dir) and not any((in_dir / f"F{i}.tif").exists() for i in delivered),
                   timeout, lambda: f"{self.waiting(in_dir)} messages still in IN after {timeout:.0f} s", 0.1)
        self.ended = time.monotonic()
        return self.ended - self.began

    def check(self, in_dir: Path) -> dict:
        """Raises unless every message ended as its receiver's behaviour says: delivered exactly once with its
        attachment file gone, or under its error name with its attachment file beside it, after the attempts
        that the behaviour costs, each error name reported once. Returns the outcome counts and figures."""
        counts, names = self.receiver.counts(), set(os.listdir(in_dir))
        problems, outcomes, expected_files, renamed = [], {}, set(), []
        for ident, behaviour in self.plan.items():
            outcome, delivered = OUTCOMES[behaviour], counts.get(ident, 0)
            error_name = f"O{ident}{outcome}"
            if outcome != "delivered":
                renamed.append(error_name)
                expected_files |= {error_name, f"F{ident}.tif"}
            ok = delivered == 1 if outcome == "delivered" else delivered == 0 and {error_name, f"F{ident}.tif"} <= names
            if not ok:
                problems.append(f"message {ident} ({behaviour}): delivered {delivered} times"
                                + (f", {error_name} present: {error_name in names}" if outcome != "delivered" else ""))
            outcomes[f"{outcome} ({behaviour})"] = outcomes.get(f"{outcome} ({behaviour})", 0) + ok
        if names != expected_files:
            problems.append(f"IN holds {sorted(names - expected_files)[:10]}, lacks {sorted(expected_files - names)[:10]}")
        if unknown := set(counts) - set(self.plan):
            problems.append(f"deliveries of unknown messages {sorted(unknown)[:10]}")
        attempts, cut = dict(self.receiver.attempts), dict(self.receiver.cut)
        # A loaded machine may hold a reply past the short test time-out now and then: the gateway cuts
        # that attempt and makes it again. A cut attempt never delivered (counted above); they stay rare.
        for behaviour, n in self.counts.items():
            want = n * ATTEMPTS[behaviour] + cut.get(behaviour, 0)
            if behaviour != "refuse" and attempts.get(behaviour, 0) != want:
                problems.append(f"{behaviour}: {attempts.get(behaviour, 0)} connections, not {want} "
                                f"({cut.get(behaviour, 0)} cut by the gateway)")
        if sum(cut.values()) > max(3, len(self.plan) // 50):
            problems.append(f"attempts cut by the gateway's reply time-out: {cut}")
        lookups = len(re.findall(rf"query\[MX\] refuse\.{re.escape(ZONE)} from", self.zone.log(), re.I))
        if lookups != 5 * self.counts["refuse"]:
            problems.append(f"refuse: {lookups} lookups of the domain, not {5 * self.counts['refuse']}")
        time.sleep(0.5)  # the last report on its way
        # "<source>, <old path>, <new path>, <why>": the new path's file name.
        events = sorted(e.split(", ", 3)[2].rsplit("/", 1)[-1] for e in self._events)
        if events != sorted(renamed):
            problems.append(f"{len(events)} events 435 for {len(renamed)} error names")
        problems += self.receiver.errors
        if problems:
            raise AssertionError(f"{len(problems)} problems:\n" + "\n".join(problems[:20]))
        return {"outcomes": outcomes, "seconds": self.ended - self.began, "connections": attempts, "cut": cut}
