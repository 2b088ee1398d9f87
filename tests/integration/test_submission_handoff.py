"""End to end: a mail sent to the running gateway becomes a fax submission in
OUT, byte for byte, and a hand-off that cannot complete keeps the mail."""

import base64

from gateway_harness import run_smtp_source, wait_until

FAX = "5550100@fax.example.com"


def _no_work_files(gw):
    # Nor an envelope left without its .tmp name.
    return not any(gw.files(p) for p in ("Msgcnt.imp", "~ATTC*", "ENV*[0-9]"))


def test_plain_mail_becomes_envelope_and_body(make_gateway):
    gw = make_gateway(debug_logs=False)
    mail = (b"From: Jane Doe <jane@example.com>\r\nTo: 5550100@fax.example.com, other@example.com\r\n"
            b"Subject: Hello\r\n\r\nHi there.\r\nSecond line.\r\n")
    assert gw.send("jane@example.com", [FAX], mail) == {}
    assert [p.name for p in gw.wait_for_files("ENV*.tmp")] == ["ENV0.tmp"]
    assert (gw.out_dir / "ENV0.tmp").read_bytes() == (
        b"FROM: <jane@example.com>\r\nTO: \"5550100\" <5550100@fax.example.com>\r\nSUBJECT: Hello\r\n"
        b"\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n")
    assert (gw.out_dir / "ENV0.bdy").read_bytes() == b"Hi there.\r\nSecond line.\r\n"
    assert _no_work_files(gw)
    # Without the debug log the received mail is deleted once handed on.
    wait_until(lambda: not gw.files("*.zqx"), 10, lambda: "the received mail was not deleted")
    assert not gw.files("*.err")


def test_two_attachments_are_listed_in_order(make_gateway):
    gw = make_gateway()
    pdf = bytes(range(256)) * 40
    mail = (b"From: a@example.com\r\nTo: +1-555-0100@fax.example.com\r\nSubject: =?utf-8?Q?Two_files?=\r\n"
            b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n"
            b"preamble\r\n--XYZ\r\nContent-Type: text/plain\r\n\r\nPlease fax.\r\n"
            b"--XYZ\r\nContent-Type: application/pdf; name=\"report.final.pdf\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n" + base64.encodebytes(pdf).replace(b"\n", b"\r\n") +
            b"--XYZ\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename=notes\r\n\r\n"
            b"line 1\r\nline 2\r\n--XYZ--\r\n")
    assert gw.send("a@example.com", ["+1-555-0100@fax.example.com"], mail) == {}
    (env,) = gw.wait_for_files("ENV*.tmp")
    assert env.read_bytes() == (
        b"FROM: <a@example.com>\r\nTO: \"+1-555-0100\" <+1-555-0100@fax.example.com>\r\nSUBJECT: Two files\r\n"
        b"\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n"
        b"BEGIN ATTACH\r\n<<report.final.pdf:ATT0.fin>>\r\n<<notes:ATT1.>>\r\nEND ATTACH\r\n")
    for name, data in (("ENV0.bdy", b"Please fax."), ("ATT0.fin", pdf), ("ATT1.", b"line 1\r\nline 2")):
        assert (gw.out_dir / name).read_bytes() == data, name
    assert _no_work_files(gw)
    # With the debug log on the received mail is kept as a debug copy.
    assert len(gw.wait_for_files("0-*.debug")) == 1


def test_failed_hand_off_keeps_the_mail(make_gateway):
    gw = make_gateway(values={"OUTIndexAtt": 5})
    (gw.out_dir / "ATT5.pdf").mkdir()  # the attachment file cannot be created
    mail = (b"From: a@example.com\r\nContent-Type: application/pdf; name=a.pdf\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n")
    assert gw.send("a@example.com", [FAX], mail) == {}
    (kept,) = gw.wait_for_files("0.err")
    assert b"JVBERi0=" in kept.read_bytes()
    assert not gw.files("ENV*") and _no_work_files(gw)  # the submission is withdrawn whole
    assert "received message kept as" in gw.text("debug.log")
    gw.send("a@example.com", [FAX], b"From: a@example.com\r\n\r\nok\r\n")
    gw.wait_for_files("ENV*.tmp")  # the next mail goes through as usual


def test_hostile_structure_is_survived(make_gateway):
    gw = make_gateway(debug_logs=False)
    deep = b"".join(b"Content-Type: multipart/mixed; boundary=\"b%d\"\r\n\r\n--b%d\r\n" % (i, i) for i in range(3000))
    wrapped = b"From: w@example.com\r\nContent-Type: message/rfc822\r\n\r\n" * 3000
    huge_header = b"From: h@example.com\r\nX-Big: " + b"h" * 100000 + b"\r\n\r\nbody\r\n"
    endless_header = b"".join(b"X-H%d: value\r\n" % i for i in range(20000))
    broken = (b"From: b@example.com\r\nContent-Type: multipart/mixed; boundary=q\r\n\r\n--q\r\n"
              b"Content-Type: image/gif; name=a.gif\r\nContent-Transfer-Encoding: base64\r\n\r\nR0lGOD")
    mails = [deep + b"\r\ntext\r\n", wrapped + b"inner\r\n", huge_header, endless_header, broken]
    for mail in mails:
        gw.send("x@example.com", [FAX], mail)
    gw.wait_for_files("ENV*.tmp", count=len(mails), timeout=60)
    assert gw.alive
    assert "message nested too deeply" in gw.text("stderr.txt") and "Premature EOF" in gw.text("stderr.txt")
    spare = gw.out_dir / ".spare"  # work files kept for reuse
    dirs = (gw.out_dir, gw.in_dir, gw.tmp_dir, spare, spare / "new")
    for path in gw.root.rglob("*"):
        assert path.parent in (gw.root, *dirs) or path in dirs, path


def test_stopping_hands_off_every_acknowledged_mail(make_gateway):
    # Sessions answer 250 before the hand-off; a stop right after the last
    # 250 must still turn every acknowledged mail into a submission.
    gw = make_gateway(debug_logs=False)
    run_smtp_source(gw.port, 60, 6, 4000, "-t", FAX)
    assert gw.stop() == 1 and not gw.stop_failed
    assert len(gw.files("ENV*.tmp")) == 60 and len(gw.files("ENV*.bdy")) == 60
    assert not gw.files("*.zqx") and not gw.files("*.err") and not gw.files("ENV*[0-9]")
