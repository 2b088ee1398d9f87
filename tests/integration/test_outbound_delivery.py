"""Exchangers found through a real name server (dnsmasq) are kept for their time to live: outbound messages go to
Postfix's smtp-sink, the gateway in a mount namespace whose resolver is that name server. Needs root."""

from __future__ import annotations

import contextlib
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

import dns_servers
from gateway_harness import _listening, free_port, needs_seam, wait_until
from outbound_support import OUTBOUND_TIME_SCALE, message_file, namespace_wrapper

SMTP_SINK = "/usr/sbin/smtp-sink"


# Only a want of root skips: smtp-sink (postfix) and dnsmasq come with scripts/packages.txt.
pytestmark = pytest.mark.skipif(dns_servers.cannot_serve() is not None,
                                reason=f"{dns_servers.cannot_serve()}: outbound delivery tests skipped")


class Sink:
    """smtp-sink on address:port, keeping each mail as a file in `dumps`."""

    def __init__(self, name: str, address: str, port: int):
        self.dumps = Path(tempfile.mkdtemp(prefix="cvgw-sink-"))
        self.dumps.chmod(0o777)  # smtp-sink writes as nobody
        self.process = subprocess.Popen(
            [SMTP_SINK, "-u", "nobody", "-h", name, "-d", f"{self.dumps}/%Y%m%d%H%M%S.", f"{address}:{port}", "16"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        with contextlib.suppress(TimeoutError):
            wait_until(lambda: self.process.poll() is not None or _listening(port), 10)
        if self.process.poll() is not None or not _listening(port):
            self.stop()
            raise RuntimeError(f"smtp-sink on {address}:{port} did not start: {self.process.stderr.read()}")

    mails = lambda self: [p.read_bytes() for p in sorted(self.dumps.iterdir())]

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        shutil.rmtree(self.dumps, ignore_errors=True)


@pytest.fixture
def sinks():
    started: list[Sink] = []
    yield lambda *args: started.append(Sink(*args)) or started[-1]
    [sink.stop() for sink in started]


def start_gateway(make_gateway, tmp_path: Path, zone, port: int, messages: dict[str, bytes]):
    gw = make_gateway(values={"DNSName": zone.address, "SmtpTxPort": port},
                      binary=namespace_wrapper(tmp_path, zone.address), env=OUTBOUND_TIME_SCALE, start=False)
    for name, data in messages.items():
        (gw.in_dir / name).write_bytes(data)
    return gw.start()


def wait_delivered(gw, names: list[str], sinks: list[Sink], count: int) -> None:
    wait_until(lambda: not any((gw.in_dir / n).exists() for n in names) and sum(len(s.mails()) for s in sinks) >= count,
               30, lambda: f"not delivered: IN {sorted(p.name for p in gw.in_dir.iterdir())}\n{gw.diagnostics()}")


def test_exchangers_are_kept_for_their_time_to_live_and_asked_again_when_they_refuse(make_gateway, sinks, tmp_path):
    def mx_queries(zone) -> int:
        return zone.log().lower().count("query[mx] fax.test ")

    needs_seam()  # the retries on the test build's time scale

    address = dns_servers.loopback_address()
    port = free_port()
    short = dns_servers.serve_mail_zone("fax.test", mx=[(10, "mx.fax.test")], a={"mx.fax.test": address})
    kept = dns_servers.serve_mail_zone("fax.test", mx=[(10, "mx.fax.test")], a={"mx.fax.test": address}, ttl=300)
    with short, kept:
        sink = sinks("mx.fax.test", address, port)
        batch = {f"{k}.tmp": message_file("user@fax.test", f"Fax received from {k}", ["x"]) for k in "abc"}
        # A time to live of 0: every mail asks.
        (tmp_path / "short").mkdir()
        (tmp_path / "kept").mkdir()
        gw = start_gateway(make_gateway, tmp_path / "short", short, port, batch)
        wait_delivered(gw, list(batch), [sink], 3)
        gw.stop()
        assert mx_queries(short) == 3
        # 300 seconds: one answer serves the whole queue.
        gw = start_gateway(make_gateway, tmp_path / "kept", kept, port, batch)
        wait_delivered(gw, list(batch), [sink], 6)
        assert mx_queries(kept) == 1
        # The kept exchanger refuses: the first attempt uses what was kept, the
        # other four ask again (never falling back to the domain's own address),
        # and so does the next mail once it is back.
        sink.stop()
        (gw.in_dir / "d.tmp").write_bytes(message_file("user@fax.test", "Fax received from d", ["x"]))
        wait_until(lambda: (gw.in_dir / "D.ConnFailed.Err").exists(), 30, gw.diagnostics)
        assert mx_queries(kept) == 5
        sink = sinks("mx.fax.test", address, port)
        (gw.in_dir / "e.tmp").write_bytes(message_file("user@fax.test", "Fax received from e", ["x"]))
        wait_delivered(gw, ["e.tmp"], [sink], 1)
        assert mx_queries(kept) == 6
