"""A name server for tests on port 53 (root) of a loopback address of its own, answering exactly as told. Name
exchangers and name servers by dotted loopback addresses, which need no lookup."""

from __future__ import annotations

import contextlib
import os
import random
import socket
import threading
from typing import Mapping, Sequence

from outbound_support import Listener

DNS_PORT = 53


def cannot_serve() -> str | None:  # why no server can be started, or None
    return "the test name servers listen on port 53: run as root" if os.geteuid() != 0 else None


def loopback_address() -> str:
    """A random 127.x.y.z, clear of 127.0.0.1 and 127.0.0.53 (a system name server's); also a dead server."""
    rng = random.SystemRandom()
    return f"127.{rng.randint(16, 254)}.{rng.randint(0, 255)}.{rng.randint(1, 254)}"


class RecordServer:
    """Authoritative for `zone` with `records` {(name, type): [rdata text, ...]} (MX, A): a name without records gets
    NXDOMAIN, one with records of other types an empty answer. `questions`: (name, type) of every question."""

    def __init__(self, zone: str, records: Mapping[tuple[str, str], Sequence[str]], address: str | None = None):
        self.zone, self.ttl = zone.rstrip(".").lower(), 0
        self.records = {(name.rstrip(".").lower(), rtype.upper()): list(data) for (name, rtype), data in records.items()}
        self.address = address or loopback_address()
        self.questions: list[tuple[str, str]] = []
        self._stop = threading.Event()
        self._udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._udp.bind((self.address, DNS_PORT))
        self._udp.settimeout(0.2)
        self._tcp = Listener(lambda conn, _: self._one_tcp(conn), self.address, DNS_PORT)
        self._thread = threading.Thread(target=self._serve_udp, daemon=True)
        self._thread.start()

    def answer(self, wire: bytes) -> bytes:
        from dns import flags, message, rcode, rdatatype, rrset  # dnspython, only where a server answers

        query = message.from_wire(wire)
        response = message.make_response(query)
        response.flags |= flags.AA
        question = query.question[0]
        name = question.name.to_text().rstrip(".").lower()
        rtype = rdatatype.to_text(question.rdtype)
        self.questions.append((name, rtype))
        if not (name == self.zone or name.endswith("." + self.zone)):
            response.set_rcode(rcode.REFUSED)
            return response.to_wire()
        if data := self.records.get((name, rtype)):
            response.answer.append(rrset.from_text_list(question.name, self.ttl, "IN", rtype, data))
            return response.to_wire()
        if not any(known == name for known, _ in self.records):
            response.set_rcode(rcode.NXDOMAIN)
        response.authority.append(rrset.from_text(
            self.zone + ".", self.ttl, "IN", "SOA", f"ns.{self.zone}. hostmaster.{self.zone}. 1 3600 600 86400 60"))
        return response.to_wire()

    def _serve_udp(self) -> None:
        while not self._stop.is_set():
            with contextlib.suppress(socket.timeout, OSError):
                wire, peer = self._udp.recvfrom(4096)
                with contextlib.suppress(Exception):
                    self._udp.sendto(self.answer(wire), peer)

    def _one_tcp(self, conn: socket.socket) -> None:
        with contextlib.suppress(Exception):
            conn.settimeout(5)
            while len(prefix := conn.recv(2, socket.MSG_WAITALL)) == 2:
                reply = self.answer(conn.recv(int.from_bytes(prefix, "big"), socket.MSG_WAITALL))
                conn.sendall(len(reply).to_bytes(2, "big") + reply)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(5)
        self._tcp.close()
        self._udp.close()

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.stop()
