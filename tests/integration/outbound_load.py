"""Outbound load for tests and bench/load_bench.py: many message files in IN whose
receivers misbehave in every way fault_receiver knows (and one domain whose
server refuses every connection), found through a real name server (dnsmasq).
Each message's recipient and text carry its number, so its fate can be
checked: delivered exactly once, or given the error name that says why after
exactly five attempts. Needs root (port 53, mount namespaces).

    with OutboundLoad(count=100) as load:
        gw = make_gateway(values=load.settings(), binary=load.wrapper(tmp_path), start=False, debug_logs=False)
        gw.env.update(load.environment())
        load.write(gw.in_dir)
        gw.start()
        load.wait_done(gw.in_dir, timeout=300)
        summary = load.check(gw.in_dir)  # raises on any message not where it belongs
"""

from __future__ import annotations

import os
import re
import tempfile
import threading
import time
from pathlib import Path

import dns_servers
from fault_receiver import FaultReceiver
from gateway_harness import free_port
from outbound_support import SyslogSocket, message_file, namespace_wrapper

ZONE = "out.test"
# What becomes of a message per behaviour of its receiver.
OUTCOMES = {"ok": "delivered", "slow": "delivered", "flaky": "delivered", "grey": "delivered",
            "stall": ".ConnTermin.Err", "drop": ".ConnTermin.Err", "refuse": ".ConnFailed.Err"}
# Connections the receiver sees per message of each behaviour.
ATTEMPTS = {"ok": 1, "slow": 1, "flaky": 2, "grey": 2, "stall": 5, "drop": 5, "refuse": 0}
# A mix with every fault: weights per behaviour.
DEFAULT_MIX = {"ok": 42, "slow": 12, "flaky": 10, "grey": 12, "stall": 1, "drop": 10, "refuse": 13}


def mix_counts(count: int, mix: dict[str, int]) -> dict[str, int]:
    """`count` messages split by the weights, each behaviour getting at least one."""
    total = sum(mix.values())
    counts = {b: max(1, count * w // total) for b, w in mix.items()}
    first = next(iter(mix))
    counts[first] += count - sum(counts.values())
    return counts


class OutboundLoad:
    def __init__(self, count: int, mix: dict[str, int] | None = None, reply_timeout_ms: int = 2000,
                 slow_delay: float = 0.05, attachment_size: int = 20000):
        self.counts = mix_counts(count, mix or DEFAULT_MIX)
        self.plan: dict[int, str] = {}
        for behaviour, n in self.counts.items():
            for _ in range(n):
                self.plan[len(self.plan)] = behaviour
        self.reply_timeout_ms, self.slow_delay, self.attachment_size = reply_timeout_ms, slow_delay, attachment_size
        self.port = free_port()
        self.addresses = {b: dns_servers.loopback_address() for b in OUTCOMES}
        self.zone = self.receiver = self.syslog = None
        self._events: list[str] = []
        self._stop = threading.Event()
        self._drain: threading.Thread | None = None
        self.began = self.ended = 0.0

    # -- set-up --

    def __enter__(self) -> "OutboundLoad":
        a = {f"{b}.{ZONE}": address for b, address in self.addresses.items() if b != "ok"}
        # The plain domain has a mail exchanger (named by its address); the others only their own address.
        self.zone = dns_servers.serve_mail_zone(ZONE, mx=[(10, self.addresses["ok"])], a=a)
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

    def settings(self) -> dict:
        return {"DNSName": self.zone.address, "SmtpTxPort": self.port}

    def environment(self) -> dict:
        return {"CVSMTPGW_REPLY_TIMEOUT_MS": str(self.reply_timeout_ms),
                "CVSMTPGW_SYSLOG_SOCKET": str(self.syslog.path)}

    def wrapper(self, directory: Path, binary=None) -> Path:
        return namespace_wrapper(directory, self.zone.address, binary)

    # -- the messages --

    @staticmethod
    def name(ident: int) -> str:
        return f"o{ident}.tmp"

    def recipient(self, ident: int) -> str:
        behaviour = self.plan[ident]
        return f"m{ident}@{ZONE}" if behaviour == "ok" else f"m{ident}@{behaviour}.{ZONE}"

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
            os.replace(in_dir / f"o{ident}.part", in_dir / self.name(ident))
        self.began = time.monotonic()

    def waiting(self, in_dir: Path) -> int:
        return sum(1 for n in os.listdir(in_dir) if n.lower().endswith(".tmp"))

    def wait_done(self, in_dir: Path, timeout: float) -> float:
        """Until no message waits in IN and the delivered ones' attachment files are
        gone; the seconds since write()."""
        delivered = [i for i, b in self.plan.items() if OUTCOMES[b] == "delivered"]
        deadline = time.monotonic() + timeout
        while self.waiting(in_dir) or any((in_dir / f"F{i}.tif").exists() for i in delivered):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{self.waiting(in_dir)} messages still in IN after {timeout:.0f} s")
            time.sleep(0.1)
        self.ended = time.monotonic()
        return self.ended - self.began

    # -- the check --

    def check(self, in_dir: Path) -> dict:
        """Raises unless every message ended as its receiver's behaviour says:
        delivered exactly once with its attachment file gone, or under its
        error name with its attachment file beside it, after the attempts
        that the behaviour costs, each error name reported once. Returns
        the outcome counts and figures."""
        counts = self.receiver.counts()
        names = set(os.listdir(in_dir))
        problems, outcomes, expected_files, renamed = [], {}, set(), []
        for ident, behaviour in self.plan.items():
            outcome = OUTCOMES[behaviour]
            delivered = counts.get(ident, 0)
            if outcome == "delivered":
                ok = delivered == 1
                if not ok:
                    problems.append(f"message {ident} ({behaviour}) delivered {delivered} times")
            else:
                error_name = f"O{ident}{outcome}"
                renamed.append(error_name)
                expected_files |= {error_name, f"F{ident}.tif"}
                ok = delivered == 0 and error_name in names and f"F{ident}.tif" in names
                if not ok:
                    problems.append(f"message {ident} ({behaviour}): delivered {delivered} times, "
                                    f"{error_name} {'present' if error_name in names else 'missing'}")
            key = f"{outcome} ({behaviour})"
            outcomes[key] = outcomes.get(key, 0) + ok
        if names != expected_files:
            problems.append(f"IN holds {sorted(names - expected_files)[:10]}, lacks {sorted(expected_files - names)[:10]}")
        unknown = set(counts) - set(self.plan)
        if unknown:
            problems.append(f"deliveries of unknown messages {sorted(unknown)[:10]}")
        attempts, cut = dict(self.receiver.attempts), dict(self.receiver.cut)
        # A loaded machine may hold a reply past the gateway's short test time-out
        # now and then: that attempt is cut by the gateway and made again. A cut
        # attempt never delivered (the count of deliveries above says so), and
        # they stay rare.
        for behaviour, n in self.counts.items():
            want = n * ATTEMPTS[behaviour] + cut.get(behaviour, 0)
            if behaviour != "refuse" and attempts.get(behaviour, 0) != want:
                problems.append(f"{behaviour}: {attempts.get(behaviour, 0)} connections, not {want} "
                                f"({cut.get(behaviour, 0)} cut by the gateway)")
        if sum(cut.values()) > max(3, len(self.plan) // 50):
            problems.append(f"attempts cut by the gateway's reply time-out: {cut}")
        lookups = len(re.findall(rf"query\[ANY\] refuse\.{re.escape(ZONE)} from", self.zone.log(), re.I))
        if lookups != 5 * self.counts["refuse"]:
            problems.append(f"refuse: {lookups} lookups of the domain, not {5 * self.counts['refuse']}")
        time.sleep(0.5)  # the last report on its way
        events = sorted(e.rsplit(", ", 1)[-1].rsplit("/", 1)[-1] for e in self._events)
        if events != sorted(renamed):
            problems.append(f"{len(events)} events 435 for {len(renamed)} error names")
        problems += self.receiver.errors
        if problems:
            raise AssertionError(f"{len(problems)} problems:\n" + "\n".join(problems[:20]))
        return {"outcomes": outcomes, "seconds": self.ended - self.began, "connections": attempts, "cut": cut}
