"""Generated mails (every multipart kind, nested rfc822, every transfer encoding, encoded
subjects, odd names, right and wrong Content-MD5) sent to the gateway become submissions whose
attachments and body equal what Python's email package decodes from the same bytes, as the
gateway must write them: text/html and message/* but rfc822 dropped; unnamed text/* outside
appledouble is body text, all else an attachment; text goes through text mode (CR LF on disk,
decoded CRs dropped)."""

from __future__ import annotations

import base64
import hashlib
import quopri
import random
import re
from email import encoders, policy
from email.header import Header
from email.message import Message
from email.mime.base import MIMEBase
from email.mime.message import MIMEMessage
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.parser import BytesParser

from gateway_harness import attachments

HEAD = "From: sender@example.com\r\nTo: 5550100@fax.example.com\r\nSubject: case-{n}\r\nMIME-Version: 1.0\r\n"
WORDS = ["fax", "page", "report", "total", "=", "caf\u00e9", "na\u00efve", "100%", "a.b", "--", "_", "end."]
NAMES = ["report.pdf", "report.final.v2.pdf", "archive.tar.gz", "README", "scan.tif", ".hidden",
         "many.dots.in.this.name.gif", "no_extension_at_all", "x.y", None]
KINDS = [("application", "pdf"), ("image", "gif"), ("image", "tiff"), ("application", "octet-stream"),
         ("application", "msword"), ("image", "jpeg")]
TEXT_ENCODERS = {"base64": lambda d: base64.encodebytes(d.replace(b"\n", b"\r\n")), "quoted-printable": quopri.encodestring}
ENCODERS = {"base64": encoders.encode_base64, "quoted-printable": encoders.encode_quopri}


def _text(rng, lines: int, extra: str = "") -> str:
    return "".join(" ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 12))) + extra + "\n"
                   for _ in range(lines))


def _mtext(text: str, subtype: str = "plain", charset: str = "us-ascii") -> MIMEText:
    return MIMEText(text.encode("ascii", "replace").decode() if charset == "us-ascii" else text, subtype, charset)


def _attachment(data: bytes, maintype: str, subtype: str, name: str | None, encoding: str = "base64",
                md5: str | None = None, disposition: bool = True) -> Message:
    part = MIMEBase(maintype, subtype, **({"name": name} if name and not disposition else {}))
    part.set_payload(data)
    ENCODERS.get(encoding, encoders.encode_7or8bit)(part)
    if disposition:
        part.add_header("Content-Disposition", "attachment", **({"filename": name} if name else {}))
    if md5 is not None:
        part["Content-MD5"] = md5
    return part


_md5 = lambda data: base64.b64encode(hashlib.md5(data).digest()).decode()
_mixed = lambda *parts: MIMEMultipart("mixed", _subparts=parts)


def build_cases(seed: int = 1864) -> list[tuple[str, bytes, int]]:
    """(description, mail bytes, number of wrong Content-MD5 values) per mail."""
    rng = random.Random(seed)
    cases: list[tuple[str, bytes, int]] = []

    def add(desc: str, msg: Message, wrong_md5: int = 0) -> None:
        n = len(cases)
        for name, value in (("From", "sender@example.com"), ("To", "5550100@fax.example.com"), ("Subject", f"case-{n}")):
            if name not in msg:
                msg[name] = value
        cases.append((f"case-{n} {desc}", msg.as_bytes(policy=policy.SMTP), wrong_md5))

    def add_raw(desc: str, content_type: str, cte: str, body: bytes) -> None:
        head = HEAD.format(n=len(cases)) + f"Content-Type: {content_type}\r\nContent-Transfer-Encoding: {cte}\r\n\r\n"
        cases.append((f"case-{len(cases)} {desc}", head.encode() + body.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n"), 0))

    # Single-part bodies in every transfer encoding.
    for cte in ("7bit", "8bit", "quoted-printable", "base64"):
        for charset in ("us-ascii", "utf-8")[:1 if cte == "7bit" else 2]:
            data = _text(rng, rng.randint(1, 40), " " if cte == "quoted-printable" else "").encode(charset, "replace")
            data = TEXT_ENCODERS.get(cte, bytes)(data)
            add_raw(f"single {cte} {charset}", f"text/plain; charset={charset}", cte, data)
    # Long quoted-printable lines with soft breaks, "=", encoded line ends and trailing blanks.
    qp = ("x" * 500 + " = tail  \n" + "caf\u00e9 " * 100 + "\n").encode()
    add_raw("quoted-printable soft breaks", "text/plain; charset=utf-8", "quoted-printable",
            quopri.encodestring(qp) + b"a=0D=0Ab=0D=0A")

    # multipart/mixed with text and attachments in several encodings, some with a (wrong) MD5.
    for i in range(12):
        outer = _mixed(_mtext(_text(rng, rng.randint(0, 10)) or "x\n", "plain", rng.choice(["us-ascii", "utf-8"])))
        wrong = 0
        for _ in range(rng.randint(1, 4)):
            (maintype, subtype), name = rng.choice(KINDS), rng.choice(NAMES)
            data, md5 = rng.randbytes(rng.choice([0, 1, 2, 3, 57, 58, 1000, rng.randint(1, 70000)])), None
            if rng.random() < 0.3:
                bad = rng.random() >= 0.5
                md5, wrong = _md5(data + b"tampered" * bad), wrong + bad
            outer.attach(_attachment(data, maintype, subtype, name, "base64", md5, disposition=rng.random() < 0.7))
        if rng.random() < 0.5:
            outer.attach(_attachment(_text(rng, 5).encode(), "text", "csv", "table.data.csv",
                                     rng.choice(["quoted-printable", "7bit", "base64"])))
        add(f"mixed {i}", outer, wrong)

    # Quoted-printable and 7bit non-text attachments (text-mode output).
    for cte, charset in (("quoted-printable", "utf-8"), ("7bit", "ascii")):
        add(f"attachment {cte}", _mixed(_mtext("see attachment\n"), _attachment(
            _text(rng, 20).encode(charset, "replace"), "application", "postscript", "page.ps", cte)))

    # multipart/alternative alone and in mixed: the text stays, the HTML goes.
    for i in range(2):
        alt = MIMEMultipart("alternative", _subparts=[_mtext(_text(rng, 5), "plain", "utf-8"),
                                                      _mtext("<p>" + _text(rng, 5) + "</p>", "html", "utf-8")])
        add(f"alternative {i}", _mixed(alt, _attachment(rng.randbytes(3000), "application", "pdf", "fax.pdf")) if i else alt)

    # multipart/appledouble: both halves are attachments.
    for i in range(2):
        apple = MIMEMultipart("appledouble")
        apple.attach(_attachment(rng.randbytes(300), "application", "applefile", None, disposition=False))
        apple.attach(_mtext(_text(rng, 4)) if i % 2 else _attachment(rng.randbytes(2000), "application", "pdf", "data.pdf"))
        add(f"appledouble {i}", _mixed(_mtext("mac files\n"), apple))

    # Nested message/rfc822 with attachments inside, and deeper nesting.
    for i in range(3):
        wrapped = _mixed(_mtext(_text(rng, 3)), _attachment(rng.randbytes(5000), "application", "pdf", f"inner{i}.pdf"))
        wrapped["From"], wrapped["Subject"] = "inner@example.com", f"inner {i}"
        for _ in range(i):
            wrapped = _mixed(_mtext("forwarded\n"), MIMEMessage(wrapped))
        add(f"nested rfc822 {i}", _mixed(_mtext("outer text\n"), MIMEMessage(wrapped)))

    # RFC 2047 subjects in Q and B encoding.
    for charset, text in [("utf-8", "Fax f\u00fcr M\u00fcller"), ("iso-8859-1", "R\u00e9sum\u00e9"), ("us-ascii", None)]:
        msg, n = _mtext("body\n"), len(cases)
        msg["Subject"] = f"case-{n} " + Header(text, charset).encode() if text else \
            f"=?us-ascii?Q?case-{n}_plain=5Fwith_underscore?="
        add(f"encoded subject {charset}", msg)
    return cases


def _payload_text(part: Message) -> bytes:
    """A text-mode part as the gateway writes it: LF line ends (CR LF on disk), decoded CRs dropped."""
    return (part.get_payload(decode=True) or b"").replace(b"\r\n", b"\n").replace(b"\r", b"")


def expected_submission(raw: bytes) -> tuple[bytes, list[bytes]]:
    """(body file, attachment files) the gateway must write for `raw`."""
    body: list[bytes] = []
    attachments: list[bytes] = []

    def visit(part: Message, in_apple: bool) -> None:
        ctype = part.get_content_type()
        if ctype == "message/rfc822":
            visit(part.get_payload(0), False)
        elif ctype.startswith("message/") or ctype.startswith("text/html"):
            return
        elif part.is_multipart():
            for child in part.get_payload():
                visit(child, ctype == "multipart/appledouble")
        else:
            cte = (part.get("Content-Transfer-Encoding") or "").strip().lower()
            named = part.get_filename() is not None or part.get_param("name") is not None
            is_text = ctype.startswith("text/")
            if not in_apple and is_text and not named:
                body.append(_payload_text(part))
            elif not is_text and cte == "base64":
                attachments.append(part.get_payload(decode=True) or b"")
            else:
                attachments.append(_payload_text(part).replace(b"\n", b"\r\n"))

    visit(BytesParser(policy=policy.compat32).parsebytes(raw), False)
    return b"".join(body).replace(b"\n", b"\r\n"), attachments


def test_decoder_matches_python_email(make_gateway):
    cases = build_cases()
    gw = make_gateway(debug_logs=False)
    for _, raw, _ in cases:
        assert gw.send("sender@example.com", ["5550100@fax.example.com"], raw) == {}
    by_case = {int(re.search(rb"^SUBJECT: .*?case-(\d+)", env.read_bytes(), re.M).group(1)): env
               for env in gw.wait_for_files("ENV*.tmp", count=len(cases), timeout=60)}

    for n, (desc, raw, _) in enumerate(cases):
        # The SMTP client ends the data with a line end if it has none.
        body, expected = expected_submission(raw if raw.endswith(b"\r\n") else raw + b"\r\n")
        saved = attachments(gw, by_case[n])
        assert [path.read_bytes() for _, path in saved] == expected, desc
        assert by_case[n].with_suffix(".bdy").read_bytes() == body, desc

    assert gw.text("stderr.txt").count("was corrupted in transit") == sum(wrong for _, _, wrong in cases)
    assert not gw.files("Msgcnt.imp") and not gw.files("~ATTC*") and not gw.files("*.err")
