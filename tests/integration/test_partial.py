"""Split mails (message/partial, RFC 2046) sent to the running gateway, one
fragment per SMTP session, out of order and across a restart: the gateway must
join them and hand the joined mail's attachments to the fax server unchanged,
leaving no fragment directory behind."""

import email
import email.policy
import os
import random
import re
from email.message import EmailMessage

from gateway_harness import corpus_dir

SENDER = "sender@example.org"
FAX = "4711@fax.example.com"
ATTACH_LINE = re.compile(rb"^<<(.*):(ATT[^>]*)>>$")


def original_mail():
    rng = random.Random(2046)
    msg = EmailMessage(policy=email.policy.SMTP)
    msg["From"] = SENDER
    msg["To"] = FAX
    msg["Subject"] = "report in three pieces"
    msg["Message-ID"] = "<whole.1@example.org>"
    msg.set_content("Please fax the attached report.\n")
    attachments = {
        "report.pdf": b"%PDF-1.4\n" + rng.randbytes(30000),
        "table.bin": bytes(range(256)) * 40 + b"\r\n\x00\r",
    }
    for name, data in attachments.items():
        msg.add_attachment(data, maintype="application", subtype="octet-stream", filename=name)
    return msg.as_bytes(), attachments


def split_rfc2046(whole: bytes, pieces: int, ident: str, total_in: set):
    """Fragment mails as a splitting agent makes them, cut at line ends."""
    lines = whole.splitlines(keepends=True)
    per = -(-len(lines) // pieces)
    chunks = [b"".join(lines[i:i + per]) for i in range(0, len(lines), per)]
    assert len(chunks) == pieces
    mails = []
    for number, chunk in enumerate(chunks, 1):
        params = f'id="{ident}"; number={number}'
        if number in total_in:
            params += f"; total={pieces}"
        head = (f"From: {SENDER}\r\nTo: {FAX}\r\nSubject: report (part {number})\r\n"
                f"Message-ID: <frag.{number}@example.org>\r\nMIME-Version: 1.0\r\n"
                f"Content-Type: message/partial;\r\n\t{params}\r\n\r\n")
        mails.append(head.encode() + chunk)
    return mails


def saved_attachments(gw, envelope):
    """{original name: bytes} of the attachment block of one envelope."""
    found = {}
    for line in gw.read_file(envelope).split(b"\r\n"):
        m = ATTACH_LINE.match(line)
        if m:
            found[m.group(1).decode()] = gw.read_file("OUT/" + m.group(2).decode())
    return found


def deliver(gw, mail, envelopes_before):
    gw.send(SENDER, [FAX], mail)
    return gw.wait_for_files("ENV*.tmp", count=envelopes_before + 1)


def restart(gw):
    gw.stop()
    gw.start()  # on the hive as the gateway left it: its counters go on


def fragment_dirs(gw):
    parts = gw.tmp_dir / "parts"
    return sorted(os.listdir(parts)) if parts.is_dir() else []


def test_split_mail_is_joined_across_sessions_and_a_restart(make_gateway):
    gw = make_gateway()
    whole, attachments = original_mail()
    ident = "report-" + "x" * 20 + "@example.org"
    fragments = split_rfc2046(whole, 3, ident, total_in={1})

    envelopes = deliver(gw, fragments[1], 0)
    assert len(fragment_dirs(gw)) == 1
    out = gw.stdout_text()  # a restart starts a new output file
    restart(gw)
    envelopes = deliver(gw, fragments[2], len(envelopes))
    assert len(fragment_dirs(gw)) == 1
    envelopes = deliver(gw, fragments[0], len(envelopes))

    assert fragment_dirs(gw) == []
    with_attachments = [e for e in envelopes if saved_attachments(gw, e)]
    assert len(with_attachments) == 1, gw.diagnostics()
    assert saved_attachments(gw, with_attachments[0]) == attachments
    assert with_attachments[0] == envelopes[-1]  # the hand-off of the completing fragment
    out += gw.stdout_text()
    assert f"Saving part 2 {ident}" in out and f"Saving part 3 {ident}" in out
    assert f"Saving part 1 of 3 {ident}" in out
    assert "warning" not in gw.stderr_text()


def test_corpus_split_mail_in_order(make_gateway):
    gw = make_gateway()
    corpus = corpus_dir()
    raw = [(corpus / f"gmime_message-partial.{i}.eml").read_bytes() for i in range(3)]
    # What the pieces make when joined by the book, to compare the gateway with.
    unix = [r.replace(b"\r\n", b"\n") for r in raw]
    bodies = [u[u.index(b"\n\n") + 2:] for u in unix]
    joined = email.message_from_bytes(b"".join(bodies), policy=email.policy.compat32)
    expected = {p.get_filename(): p.get_payload(decode=True)
                for p in joined.walk() if p.get_filename()}
    assert expected, "the corpus mail should carry an attachment"

    envelopes = []
    for r in raw:
        mail = r.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        envelopes = deliver(gw, mail, len(envelopes))
    assert saved_attachments(gw, envelopes[-1]) == expected
    assert fragment_dirs(gw) == []
    body = gw.read_file("OUT/" + envelopes[-1].name[:-len(".tmp")] + ".bdy")
    assert b"earrings were really cool looking" in body
