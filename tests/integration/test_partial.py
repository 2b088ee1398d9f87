"""Split mails (message/partial), one fragment per session, out of order and across a restart in the packaged
layout: joined, the attachments unchanged, no fragment directory left."""

import email
import email.policy
import os
import random
import re
import shutil
from email.message import EmailMessage

from gateway_harness import REPO_ROOT, attachments

SENDER, FAX = "sender@example.org", "4711@fax.example.com"


def deliver(gw, mail, envelopes):  # all envelopes so far, and the attachments of the newest
    gw.send(SENDER, [FAX], mail)
    envelopes = gw.wait_for_files("ENV*.tmp", count=len(envelopes) + 1)
    gw.wait_stored(len(envelopes))  # each hand-off complete, fragments given up only then
    parts = gw.tmp_dir / "parts"
    return envelopes, {n: p.read_bytes() for n, p in attachments(gw, envelopes[-1])}, \
        os.listdir(parts) if parts.is_dir() else []


def test_split_mail_is_joined_across_sessions_and_a_restart(make_gateway):
    msg = EmailMessage(policy=email.policy.SMTP)
    msg["From"], msg["To"], msg["Subject"], msg["Message-ID"] = SENDER, FAX, "report in 3 pieces", "<whole.1@example.org>"
    msg.set_content("Please fax the attached report.\n")
    files = {"report.pdf": b"%PDF-1.4\n" + random.Random(2046).randbytes(30000),
             "table.bin": bytes(range(256)) * 40 + b"\r\n\x00\r"}
    for name, data in files.items():
        msg.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    # Fragments as a splitting agent makes them, cut at line ends; only the first tells the total.
    lines = msg.as_bytes().splitlines(keepends=True)
    per, ident = -(-len(lines) // 3), "report-" + "x" * 20 + "@example.org"
    fragments = [(f"From: {SENDER}\r\nTo: {FAX}\r\nSubject: report (part {n})\r\nMessage-ID: <frag.{n}@example.org>\r\n"
                  f"MIME-Version: 1.0\r\nContent-Type: message/partial;\r\n\tid=\"{ident}\"; number={n}{'; total=3' * (n == 1)}\r\n\r\n"
                  ).encode() + b"".join(lines[(n - 1) * per:n * per]) for n in (1, 2, 3)]

    gw = make_gateway(start=False)
    # The packaged unit's TMP, /var/spool/cvsmtpgw/ being this gateway's ProgramPath; its private /tmp
    # stands beside it.
    unit = (REPO_ROOT / "packaging" / "cvsmtpgw.service").read_text()
    (tmp,) = re.findall(r"^Environment=TMP=/var/spool/cvsmtpgw/(.*)$", unit, re.M)
    private = gw.root / "private-tmp"
    private.mkdir()
    gw.env = {"TMP": str(gw.root / tmp), "TMPDIR": str(private)}
    gw.start()
    envelopes, saved, dirs = deliver(gw, fragments[1], [])
    assert saved == {} and len(dirs) == 1
    # Killed and restarted, as systemd restarts a failed service, which empties its private /tmp.
    gw.kill()
    shutil.rmtree(private)
    private.mkdir()
    gw.start()  # on the hive as the gateway left it: its counters go on
    envelopes, saved, dirs = deliver(gw, fragments[2], envelopes)
    assert saved == {} and len(dirs) == 1
    # Only the hand-off of the completing fragment carries the attachments.
    assert deliver(gw, fragments[0], envelopes)[1:] == (files, []), gw.diagnostics()
    assert "warning" not in gw.text("stderr.txt")
