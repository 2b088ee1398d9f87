"""Fax to mail from end to end: outbound message files dropped into IN are delivered to
real SMTP servers (Postfix's smtp-sink, which stores each mail it takes) that the gateway
finds through a real name server (dnsmasq, from dns_servers). The gateway runs in a mount
namespace of its own whose /etc/hosts and /etc/resolv.conf point every host lookup at that
name server, so no lookup leaves 127.0.0.0/8. Needs root (port 53, mounts)."""

from __future__ import annotations

import contextlib
import email
import email.policy
import os
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
    """smtp-sink on address:port, keeping each mail as a file in `dumps` (its own
    headers X-Mail-Args, X-Rcpt-Args and Received come first)."""

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


def start_gateway(make_gateway, tmp_path: Path, zone, port: int, messages: dict[str, bytes],
                  files: dict[str, bytes] | None = None):
    gw = make_gateway(values={"DNSName": zone.address, "SmtpTxPort": port},
                      binary=namespace_wrapper(tmp_path, zone.address), env=OUTBOUND_TIME_SCALE, start=False)
    for name, data in {**messages, **(files or {})}.items():
        (gw.in_dir / name).write_bytes(data)
    return gw.start()


def wait_delivered(gw, names: list[str], sinks: list[Sink], count: int) -> None:
    wait_until(lambda: not any((gw.in_dir / n).exists() for n in names) and sum(len(s.mails()) for s in sinks) >= count,
               30, lambda: f"not delivered: IN {sorted(p.name for p in gw.in_dir.iterdir())}\n{gw.diagnostics()}")


def parse(dump: bytes) -> email.message.EmailMessage:
    return email.message_from_bytes(dump, policy=email.policy.compat32)


# What the mail holds, as a strict receiver reads it, and a domain without MX records:
# test_outbound_receivers.py.
def test_fax_reaches_the_exchanger_of_lowest_preference_that_answers(make_gateway, sinks, tmp_path):
    refusing, answering, last = (dns_servers.loopback_address() for _ in range(3))
    # The preference counts, not the order of the response: mx2 first (nothing listens there), then mx1.
    zone = dns_servers.serve_mail_zone("fax.test", mx=[(20, "mx1.fax.test"), (10, "mx2.fax.test"), (30, "mx3.fax.test")],
                                       a={"mx1.fax.test": answering, "mx2.fax.test": refusing, "mx3.fax.test": last})
    with zone:
        port = free_port()
        mx1, mx3 = sinks("mx1.fax.test", answering, port), sinks("mx3.fax.test", last, port)
        tiff = b"II*\x00" + os.urandom(5000)
        message = message_file("Jane.Doe@fax.test", "Fax received from +49 30 1234567", ["A fax arrived."],
                               [("fax.tif", "F0001.tif")])
        gw = start_gateway(make_gateway, tmp_path, zone, port, {"fax1.tmp": message}, {"F0001.tif": tiff})
        wait_delivered(gw, ["fax1.tmp"], [mx1, mx3], 1)

    assert mx3.mails() == [] and f"SMTPOut- Unable to connect to the host: {refusing}" in gw.text("debug.log")
    (dump,) = mx1.mails()
    mail = parse(dump)
    # The envelope sender is the message's own FROM: address, a mailbox a strict receiver takes.
    assert mail["X-Mail-Args"] == "<fax@fax.example.com>" and mail["X-Rcpt-Args"] == "<JANE.DOE@FAX.TEST>"
    assert mail["X-Helo-Args"] == "fax.example.com"
    assert [p.get_payload(decode=True) for p in mail.get_payload()[1:]] == [tiff]
    # The message and every attachment file named in it are gone; only the debug copy of the mail stays.
    assert [p.name for p in gw.in_dir.iterdir() if not p.name.endswith(".debug")] == []


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
