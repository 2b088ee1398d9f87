"""A mail sent to the gateway becomes a fax submission in OUT, byte for byte; a
hand-off that cannot complete is withdrawn and tried again."""

import base64

from gateway_harness import REFUSED, attachments, needs_seam, wait_until

FAX = "5550100@fax.example.com"


def test_two_attachments_are_listed_in_order_and_deep_nesting_is_survived(make_gateway):
    gw = make_gateway()
    pdf = bytes(range(256)) * 40
    mail = (b"From: a@example.com\r\nTo: +1-555-0100@fax.example.com\r\nSubject: =?utf-8?Q?Two_files?=\r\n"
            b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n"
            b"preamble\r\n--XYZ\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable"
            b"\r\n\r\nPlease fax=\r\n the caf=C3=A9 menu, 1=3D1.\r\n"
            b"--XYZ\r\nContent-Type: application/pdf; name=\"report.final.pdf\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n" + base64.encodebytes(pdf).replace(b"\n", b"\r\n") +
            b"--XYZ\r\nContent-Type: text/plain\r\nContent-Disposition: attachment; filename=notes\r\n"
            b"Content-Transfer-Encoding: quoted-printable\r\n\r\nline 1=\r\n and more\r\nline 2=0D=0A\r\n--XYZ--\r\n")
    assert gw.send("a@example.com", ["+1-555-0100@fax.example.com"], mail) == {}
    (env,) = gw.wait_for_files("ENV*.tmp")
    assert env.read_bytes() == (
        b"FROM: <a@example.com>\r\nTO: \"+1-555-0100\" <+1-555-0100@fax.example.com>\r\nSUBJECT: Two files\r\n"
        b"\r\nBEGIN BODY\r\n<<ENV0.bdy>>\r\nEND BODY\r\n\r\n"
        b"BEGIN ATTACH\r\n<<report.final.pdf:ATT0.fin>>\r\n<<notes:ATT1.>>\r\nEND ATTACH\r\n")
    # Quoted-printable text decoded: soft breaks joined, =XX as bytes, in text mode (CR LF) on disk.
    for name, data in (("ENV0.bdy", b"Please fax the caf\xc3\xa9 menu, 1=1."), ("ATT0.fin", pdf),
                       ("ATT1.", b"line 1 and more\r\nline 2\r\n")):
        assert (gw.out_dir / name).read_bytes() == data, name
    assert not any(gw.files(p) for p in ("Msgcnt.imp", "~ATTC*", "ENV*[0-9]"))  # nor an envelope without .tmp
    # Nested 3,000 deep, as multiparts and as attached mails: no crash, still handed off.
    for mail in (b"".join(b"Content-Type: multipart/mixed; boundary=\"b%d\"\r\n\r\n--b%d\r\n" % (i, i) for i in range(3000)),
                 b"From: w@example.com\r\nContent-Type: message/rfc822\r\n\r\n" * 3000 + b"inner\r\n"):
        assert gw.send("x@example.com", [FAX], mail + b"\r\ntext\r\n") == {}
    gw.wait_for_files("ENV*.tmp", count=3, timeout=60)
    assert gw.alive
    dirs = (gw.out_dir, gw.in_dir, gw.tmp_dir)
    assert [p for p in gw.root.rglob("*") if p.parent not in (gw.root, *dirs) and p not in dirs] == []


def test_failed_syncs_and_renames_are_never_taken_for_success(make_gateway):
    needs_seam()
    # The first mail's spool sync fails (refused); then the first envelope rename (no space) and the second
    # attachment link fail: each withdraws the submission, and the mail is handed off again, once.
    gw = make_gateway(env={"CVSMTPGW_FAULTS": "sync:1::*/OUT;rename:1:ENOSPC:*/ENV*.tmp;rename:1+1::*/ATT*"})
    mail = (b"From: a@example.com\r\nTo: " + FAX.encode() + b"\r\nSubject: %s\r\nContent-Type: application/pdf; "
            b"name=a.pdf\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n")
    assert gw.transaction(mail % b"refused") == REFUSED
    for n in range(3):
        assert gw.send("a@example.com", [FAX], mail % b"mail %d" % n) == {}
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 3 and not gw.files("*.zqx"), 30)
    assert gw.subjects() == [b"mail 0", b"mail 1", b"mail 2"]
    assert gw.text("debug.log").count("Hand-off not completed, tried again") >= 2
    names = {p.name for p in gw.out_dir.iterdir()} - {p.name for p in gw.files("[0-9]*.debug")}
    envelopes = {e.name for e in gw.files("ENV*.tmp")}
    atts = {a.name for e in gw.files("ENV*.tmp") for _, a in attachments(gw, e)}
    assert names == envelopes | {n.replace(".tmp", ".bdy") for n in envelopes} | atts  # nothing else
