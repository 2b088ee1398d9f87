"""dnsmasq authoritative for a mail zone on port 53 (root) of a loopback address of its own, for the outbound
benches: it forks for each TCP query, as a real name server keeps up, and logs every query."""

from __future__ import annotations

import contextlib
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Mapping, Sequence

from dns_servers import DNS_PORT, loopback_address

DNSMASQ = "/usr/sbin/dnsmasq"


class DnsServer:
    def __init__(self, kind: str, address: str, workdir: Path, command: list[str], log_file: Path):
        self.kind, self.address, self.workdir, self._log_file = kind, address, workdir, log_file
        if not os.access(command[0], os.X_OK):
            raise RuntimeError(f"{command[0]} is missing: install the packages of scripts/packages.txt")
        self._output = open(workdir / "output.txt", "wb")
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self._output,
                                        stderr=subprocess.STDOUT, cwd=workdir, start_new_session=True)
        deadline = time.monotonic() + 10
        while True:
            with contextlib.suppress(OSError), socket.create_connection((address, DNS_PORT), timeout=1):
                return
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop(keep_files=True)
                raise RuntimeError(f"{kind} on {address} not serving (exit status {self.process.returncode}):\n"
                                   f"{self.log()}")
            time.sleep(0.05)

    def log(self) -> str:  # the server's log and what it printed
        return "\n".join(p.read_text(errors="replace") for p in (self._log_file, self.workdir / "output.txt")
                         if p.exists())

    def stop(self, keep_files: bool = False) -> None:  # SIGTERM, then SIGKILL; safe twice
        for sig in (signal.SIGTERM, signal.SIGKILL):
            if self.process.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(self.process.pid, sig)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    self.process.wait(5)
        self._output.close()
        if not keep_files:
            shutil.rmtree(self.workdir, ignore_errors=True)

    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.stop()


def serve_mail_zone(domain: str, mx: Sequence[tuple[int, str]] = (),
                    a: Mapping[str, str | Sequence[str]] | None = None,
                    address: str | None = None, ttl: int = 0) -> DnsServer:
    """dnsmasq, authoritative for `domain`: `mx` (preference, exchange) in the response's order; `a` {name: address
    or [addresses]}; `ttl` of every record (0: not to be kept); unknown names get NXDOMAIN."""
    address = address or loopback_address()
    workdir = Path(tempfile.mkdtemp(prefix="cvgw-dnsmasq-"))
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
