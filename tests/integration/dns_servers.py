"""Real name servers on loopback addresses for tests: Debian's dnsmasq and NSD
(both in scripts/packages.txt), each serving over TCP and UDP on port 53 of an
address of 127.0.0.0/8 of its own, so that parallel runs do not meet. Port 53
needs root: call `cannot_serve()` first and skip with its reason; a missing
server program is an error (scripts/test.sh installs them).

    from dns_servers import serve_mail_zone, serve_delegation, loopback_address

    with serve_mail_zone("fax.test", mx=[(20, "127.31.7.20"), (10, "127.31.7.10")],
                         a={"nomx.fax.test": ["127.31.7.40"]}) as zone:
        # zone.address is the name server (the gateway's DNSName, say)
        ...

What the servers answer to the gateway's query (all records of a name, type 255):

- `serve_mail_zone` (dnsmasq, from local data): an authoritative answer (AA set)
  with every MX and A record of the name, MX records in the order given; names
  below the domain that were not configured get NXDOMAIN.
- `serve_delegation` (NSD): for a delegated child and every name below it, a
  referral: AA clear, no answer, the child's NS records in the authority
  section in the order given.

Names in records are not looked up through these servers: the gateway turns MX
exchanges and name servers into addresses with the system's resolver. So name
MX exchanges and name servers by dotted loopback addresses ("127.31.7.20"),
which are valid names that need no lookup.

Standard library only, except `response_records`, which uses dnspython to read
a response as an independent client would.
"""

from __future__ import annotations

import contextlib
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Iterable, Mapping, Sequence

DNS_PORT = 53
DNSMASQ = "/usr/sbin/dnsmasq"
NSD = "/usr/sbin/nsd"
START_TIMEOUT = 10.0  # seconds for a server to accept TCP connections
STOP_TIMEOUT = 5.0  # seconds for a server to end after SIGTERM, before SIGKILL


def cannot_serve() -> str | None:
    """Why no server can be started by this process (not root), or None."""
    return "the test name servers listen on port 53: run as root" if os.geteuid() != 0 else None


def _port_free(address: str) -> bool:
    for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
        with socket.socket(socket.AF_INET, kind) as s:
            try:
                s.bind((address, DNS_PORT))
            except OSError:
                return False
    return True


def loopback_address() -> str:
    """A random address 127.x.y.z (x from 16 on, so clear of 127.0.0.1 and the
    system's 127.0.0.53) whose port 53 is free at this moment. Needs root.
    Also serves as a "dead" server: nothing answers there unless started."""
    rng = random.SystemRandom()
    for _ in range(50):
        address = f"127.{rng.randint(16, 254)}.{rng.randint(0, 255)}.{rng.randint(1, 254)}"
        if _port_free(address):
            return address
    raise RuntimeError("no free loopback address for a name server (does a system one hold port 53?)")


class DnsServer:
    """One running name server. `address` (port 53) is where to ask; `stop()`
    ends it (also on leaving a `with` block); `log()` is its log text."""

    def __init__(self, kind: str, address: str, workdir: Path, command: list[str], log_file: Path):
        self.kind, self.address, self.port, self.workdir = kind, address, DNS_PORT, workdir
        self._log_file = log_file
        if not os.access(command[0], os.X_OK):
            raise RuntimeError(f"{command[0]} is missing: install the packages of scripts/packages.txt")
        self._output = open(workdir / "output.txt", "wb")
        # A session of its own: stop() reaches the server's helper processes too.
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self._output,
                                        stderr=subprocess.STDOUT, cwd=workdir, start_new_session=True)
        try:
            self._wait_until_serving()
        except Exception:
            self.stop(keep_files=True)
            raise

    def _wait_until_serving(self) -> None:
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.kind} on {self.address} exited with {self.process.returncode}:\n"
                                   f"{self.log()}")
            with contextlib.suppress(OSError), socket.create_connection((self.address, DNS_PORT), timeout=1):
                return
            if time.monotonic() > deadline:
                raise RuntimeError(f"{self.kind} on {self.address} not serving after {START_TIMEOUT} s:\n"
                                   f"{self.log()}")
            time.sleep(0.05)

    def log(self) -> str:
        """The server's log and what it printed, for failure messages."""
        texts = [p.read_text(errors="replace") for p in (self._log_file, self.workdir / "output.txt") if p.exists()]
        return "\n".join(texts)

    def stop(self, keep_files: bool = False) -> None:
        """Ends the server (SIGTERM, SIGKILL after STOP_TIMEOUT) and removes its
        files unless `keep_files`. Safe to call twice."""
        if self.process.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(STOP_TIMEOUT)
        self._output.close()
        if not keep_files:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self) -> "DnsServer":
        return self

    def __exit__(self, *exc) -> None:
        self.stop()


def _workdir(kind: str) -> Path:
    return Path(tempfile.mkdtemp(prefix=f"cvgw-{kind}-"))


def serve_mail_zone(domain: str, mx: Sequence[tuple[int, str]] = (),
                    a: Mapping[str, str | Sequence[str]] | None = None,
                    address: str | None = None, ttl: int = 0) -> DnsServer:
    """Starts dnsmasq as the authoritative server of `domain` and returns it.

    mx: (preference, exchange) of the domain's MX records, in the order the
        response is to list them (preferences are not sorted).
    a:  {name: address or [addresses]} A records, for the domain itself or
        names below it. Several addresses of one name come in an order of
        dnsmasq's choosing (fixed, but not the order given).
    address: where to serve (port 53); a fresh `loopback_address()` if None.
    ttl: the time to live of every record (dnsmasq's default 0 tells the
        asker not to keep them).
    """
    address = address or loopback_address()
    workdir = _workdir("dnsmasq")
    log_file = workdir / "dnsmasq.log"
    lines = ["keep-in-foreground", "no-resolv", "no-hosts", "bind-interfaces", f"listen-address={address}",
             f"port={DNS_PORT}", "pid-file=", f"log-facility={log_file}", "log-queries", f"local=/{domain}/",
             f"local-ttl={ttl}"]
    # dnsmasq lists MX records in the reverse order of its configuration.
    lines += [f"mx-host={domain},{host},{preference}" for preference, host in reversed(list(mx))]
    for name, addresses in (a or {}).items():
        lines += [f"host-record={name},{ip}" for ip in ([addresses] if isinstance(addresses, str) else addresses)]
    config = workdir / "dnsmasq.conf"
    config.write_text("\n".join(lines) + "\n")
    return DnsServer("dnsmasq", address, workdir, [DNSMASQ, f"--conf-file={config}"], log_file)


def serve_delegation(zone: str, delegations: Mapping[str, Iterable[str]],
                     address: str | None = None) -> DnsServer:
    """Starts NSD as the authoritative server of `zone`, which delegates child
    zones, and returns it: like a root or top-level server, it answers a query
    for a child (or a name below it) with a referral to the child's servers.

    delegations: {child zone: [name server, ...]}, children below `zone`
        ("fax.test" under "test"); name servers as dotted addresses, in the
        order the referral is to list them.
    address: where to serve (port 53); a fresh `loopback_address()` if None.
    ttl: the time to live of every record (dnsmasq's default 0 tells the
        asker not to keep them).
    """
    address = address or loopback_address()
    workdir = _workdir("nsd")
    log_file = workdir / "nsd.log"
    origin = zone.rstrip(".") + "."
    records = [f"$ORIGIN {origin}", "$TTL 300",
               f"@ IN SOA {address}. hostmaster.{origin} 1 3600 900 604800 60",
               f"@ IN NS {address}."]
    for child, servers in delegations.items():
        records += [f"{child.rstrip('.')}. IN NS {server.rstrip('.')}." for server in servers]
    (workdir / "zone").write_text("\n".join(records) + "\n")
    (workdir / "nsd.conf").write_text(f"""server:
  ip-address: {address}
  port: {DNS_PORT}
  do-ip6: no
  server-count: 1
  username: ""
  chroot: ""
  database: ""
  zonesdir: "{workdir}"
  zonelistfile: "{workdir}/zone.list"
  xfrdfile: "{workdir}/xfrd.state"
  xfrdir: "{workdir}"
  pidfile: "{workdir}/nsd.pid"
  logfile: "{log_file}"
  verbosity: 1
remote-control:
  control-enable: no
zone:
  name: "{origin}"
  zonefile: "{workdir}/zone"
""")
    return DnsServer("nsd", address, workdir, [NSD, "-d", "-c", str(workdir / "nsd.conf")], log_file)


def response_records(address: str, name: str, rdtype: str = "ANY") -> tuple[bool, list[tuple[str, str, str]]]:
    """Asks the server at `address` (TCP, port 53) as dnspython would and
    returns (AA flag, [(section, type, data text), ...]) in the order of the
    response, sections answer, authority, additional; for cross-checks."""
    import dns.flags
    import dns.message
    import dns.query
    import dns.rdatatype

    response = dns.query.tcp(dns.message.make_query(name, rdtype), address, port=DNS_PORT, timeout=5)
    rows = []
    for section_name, section in (("answer", response.answer), ("authority", response.authority),
                                  ("additional", response.additional)):
        for rrset in section:
            rows += [(section_name, dns.rdatatype.to_text(rrset.rdtype), rdata.to_text()) for rdata in rrset]
    return bool(response.flags & dns.flags.AA), rows
