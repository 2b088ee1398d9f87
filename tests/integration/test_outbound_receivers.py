"""Fax to mail as a strict private Postfix and today's name servers see it, the gateway in a mount namespace whose
resolver is the test's name server. Needs root (port 53, Postfix, mounts)."""

from __future__ import annotations

import email
import email.policy
import email.utils
import os
import time
from pathlib import Path

import pytest

import dns_servers
from gateway_harness import free_port, wait_until
from outbound_support import OUTBOUND_TIME_SCALE, ScriptedReceiver, message_file, namespace_wrapper
from private_postfix import PrivatePostfix

pytestmark = pytest.mark.skipif(dns_servers.cannot_serve() is not None,
                                reason=f"{dns_servers.cannot_serve()}: receiver tests skipped")

STRICT_MAIN_CF = """\
myhostname = mx.fax.test
mydomain = fax.test
inet_interfaces = all
# The gateway is no trusted client: nothing is excused for its address.
mynetworks = 192.0.2.1/32
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname
smtpd_sender_restrictions = reject_non_fqdn_sender
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = reject_non_fqdn_recipient, reject_unauth_destination
strict_rfc821_envelopes = yes
smtpd_forbid_bare_newline = yes
smtpd_forbid_bare_newline_exclusions =
smtpd_forbid_unauth_pipelining = yes
# No Date, Message-ID or From added for the client: what arrives is what the gateway sent.
local_header_rewrite_clients =
always_add_missing_headers = no
virtual_mailbox_domains = fax.test
virtual_mailbox_base = {root}/mail
virtual_mailbox_maps = static:inbox/
virtual_uid_maps = static:{uid}
virtual_gid_maps = static:{gid}
virtual_minimum_uid = 1
"""

TIFF = b"II*\x00" + bytes(range(256)) * 40
PDF = b"%PDF-1.4\n" + bytes(range(255, -1, -1)) * 12 + b"\n%%EOF\n"
LONG = "A line of " + "very " * 600 + "long text."  # about 3,000 octets
# recipient: (subject, sender's display name, body lines, attachments (display name, file in IN, content), the
# message file's encoding), as meant; each must arrive so.
MAILS = {
    "jane": ("Fax to +49 30 1234567 sent OK", "Corvane Fax Server",
             ["Your fax was sent.", ".a line that begins with a dot", ".", "the end"], []),
    "john": ("Fax received from +49 30 7654321", "Corvane Fax Server", ["A fax of 2 pages arrived."],
             [("fax.tif", "F1.tif", TIFF), ('Scan "Q3" Müller.pdf', "F1.pdf", PDF)], "utf-8"),
    "anna": ("Fax für Jürgen sent OK", "Zentrale München", ["Grüße aus München – 5 Seiten", "ok"], [], "utf-8"),
    "bob": ("Fax sent OK", "Corvane Fax Server", ["Grüße, à bientôt"], []),
    "carl": ("Fax sent OK", "Corvane Fax Server", [LONG, "short", "bare"], []),  # the last two end in a bare LF
}


def message_of(name: str, subject: str, display: str, body: list[str], parts: list, encoding: str = "latin-1"):
    data = message_file(f"{name}@fax.test", subject, body, [(d, f) for d, f, _ in parts],
                        sender=f"{display} <fax@fax.example.com>", encoding=encoding)
    return data.replace(b"short\r\nbare\r\n", b"short\nbare\n")


# The gateway's local time zone: Central European, so that its Date fields carry an offset.
ZONE_CET = "CET-1CEST,M3.5.0,M10.5.0/3"


def gateway_in_namespace(make_gateway, tmp_path: Path, name_server: str, port: int, files: dict[str, bytes]):
    gw = make_gateway(values={"DNSName": name_server, "SmtpTxPort": port},
                      binary=namespace_wrapper(tmp_path, name_server), env={**OUTBOUND_TIME_SCALE, "TZ": ZONE_CET},
                      start=False)
    for name, data in files.items():
        (gw.in_dir / name).write_bytes(data)
    return gw.start()


def defects(mail: email.message.EmailMessage) -> list:
    return [(part.get_content_type(), d) for part in mail.walk() for d in part.defects]


def test_strict_postfix_takes_every_mail_at_the_first_attempt(make_gateway, tmp_path):
    address, port = dns_servers.loopback_address(), free_port()
    zone = dns_servers.RecordServer("fax.test", {("fax.test", "MX"): ["10 mx.fax.test."],
                                                 ("mx.fax.test", "A"): [address]})
    files = {f"{to}.tmp": message_of(to, *mail) for to, mail in MAILS.items()}
    files.update({"F1.tif": TIFF, "F1.pdf": PDF})
    with zone, PrivatePostfix(address, port, STRICT_MAIN_CF) as postfix:
        gw = gateway_in_namespace(make_gateway, tmp_path, zone.address, port, files)
        inbox = postfix.root / "mail" / "inbox" / "new"
        wait_until(lambda: inbox.exists() and len(os.listdir(inbox)) == len(MAILS) and
                   not any(p.name.endswith(".tmp") for p in gw.in_dir.iterdir()), 60,
                   lambda: f"IN {sorted(os.listdir(gw.in_dir))}\n{postfix.log()[-3000:]}\n{gw.diagnostics()}")
        delivered = [email.message_from_bytes(p.read_bytes(), policy=email.policy.default) for p in inbox.iterdir()]
        log = postfix.log()

    complaints = [line for line in log.splitlines() if "reject" in line.lower() or "warning" in line.lower()]
    assert complaints == [], "\n".join(complaints)
    assert log.count(" client=") == len(MAILS)  # one accepted transaction each

    by_recipient = {mail["Delivered-To"].split("@")[0].lower(): mail for mail in delivered}
    ids = {mail["Message-ID"] for mail in delivered}
    assert len(ids) == len(MAILS) and all(i and i.startswith("<") for i in ids)
    for name, (subject, display, body, parts, *_) in MAILS.items():
        mail = by_recipient[name]
        assert defects(mail) == [], name
        assert mail["Subject"] == subject and mail["From"].addresses[0].display_name == display, name
        assert mail["From"].addresses[0].addr_spec == "fax@fax.example.com", name
        # Local time with its offset: read back, the moment the mail was made.
        date = email.utils.parsedate_to_datetime(mail["Date"])
        assert date.utcoffset().total_seconds() in (3600, 7200), mail["Date"]
        assert abs(date.timestamp() - time.time()) < 600, mail["Date"]
        text, *attached = mail.iter_parts()
        assert (mail.get_content_type(), text.get_content_type()) == ("multipart/mixed", "text/plain"), name
        assert text.get_content().rstrip("\n").splitlines() == body, name
        assert [(p.get_filename(), p.get_content()) for p in attached] == [(d, c) for d, _, c in parts], name


def test_exchangers_by_preference_and_missing_records(make_gateway, tmp_path, syslog):
    exchanger, plain, dead = (dns_servers.loopback_address() for _ in range(3))
    port = free_port()
    # The preference counts, not the response's order: dead first (nothing listens there), then mx; never last
    # (the receiver at `plain`) once mx has the mail.
    zone = {("fax.test", "MX"): ["20 mx.fax.test.", "10 dead.fax.test.", "30 last.fax.test."],
            ("mx.fax.test", "A"): [exchanger], ("dead.fax.test", "A"): [dead], ("last.fax.test", "A"): [plain],
            ("plain.fax.test", "A"): [plain]}
    messages = {"to-mx.tmp": "user@fax.test", "to-plain.tmp": "user@plain.fax.test",
                "to-nowhere.tmp": "user@nowhere.fax.test"}
    with dns_servers.RecordServer("fax.test", zone) as names, ScriptedReceiver(exchanger, port) as mx, \
            ScriptedReceiver(plain, port) as direct:
        gw = gateway_in_namespace(make_gateway, tmp_path, names.address, port,
                                  {name: message_file(to, "Fax received from 1", ["x"]) for name, to in messages.items()})
        wait_until(lambda: len(mx.mails) + len(direct.mails) == 2 and (gw.in_dir / "to-nowhere.Refused.Err").exists(),
                   30, gw.diagnostics)
        questions = list(names.questions)
    assert ([m[1] for m in mx.mails], [m[1] for m in direct.mails]) == (["<USER@FAX.TEST>"], ["<USER@PLAIN.FAX.TEST>"])
    assert f"SMTPOut- Unable to connect to the host: {dead}" in gw.text("debug.log")
    # The missing domain is asked for once: it is refused for good at once, with why in the event.
    assert questions.count(("nowhere.fax.test", "MX")) == 1
    assert [e.endswith("the domain NOWHERE.FAX.TEST takes no mail (it does not exist, or has a null MX)")
            for e in syslog.events(435, timeout=2)] == [True]
