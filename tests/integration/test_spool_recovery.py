"""What a start finds in OUT: acknowledged mails are handed off before the first client, in their order; unfinished
ones are removed; half-made submissions are withdrawn; files it cannot make sense of are kept aside."""

import os
import re

from gateway_harness import TRACE, mail as plain_mail
from spool_files import leave_acknowledged, spool_file

mail = lambda subject: TRACE + plain_mail(subject)  # as stored, from a client that said HELO c


def test_start_hands_off_what_was_left_and_keeps_aside_what_it_cannot_read(make_gateway):
    gw = make_gateway()
    gw.stop()
    out = gw.out_dir
    # Acknowledged, not yet handed off: acknowledged in the order 12, 10, 11.
    for number, acked in ((10, 2000), (11, 3000), (12, 1000)):
        leave_acknowledged(out, number, mail(f"left {number}"), ["TO:<4711@fax.example.com>"], acked)
    # A hand-off cut after its body and an attachment got their final names
    # (second names of its staged files); ATT91.pdf is another file by that name.
    leave_acknowledged(out, 13, mail("cut"), ["TO:<4711@fax.example.com>"], 4000)
    (out / "~13~ENV").write_bytes(b"FROM: <a@example.com>\r\n\r\nBEGIN BODY\r\n<<ENV90.bdy>>\r\nEND BODY\r\n")
    for name in ("~13~ENV90.bdy", "~13~ATT90.pdf", "~13~ATT91.pdf", "Msgcnt.imp", "~ATTC003.imp"):
        (out / name).write_bytes(b"half made")
    os.link(out / "~13~ENV90.bdy", out / "ENV90.bdy")
    os.link(out / "~13~ATT90.pdf", out / "ATT90.pdf")
    (out / "ATT91.pdf").write_bytes(b"not this hand-off's")
    # A complete job whose staged body name is still there, and a staged
    # envelope made beside its spool file for a number drawn again: handed off.
    leave_acknowledged(out, 16, mail("complete"), ["TO:<4711@fax.example.com>"], 4500)
    job = {"ENV95.tmp": b'FROM: <a@example.com>\r\nTO: "4711" <4711@fax.example.com>\r\nSUBJECT: complete\r\n',
           "ATT95.pdf": b"%PDF-"}
    for name, data in job.items():
        (out / name).write_bytes(data)
    (out / "~16~ENV95.bdy").write_bytes(b"body of complete")
    os.link(out / "~16~ENV95.bdy", out / "ENV95.bdy")
    os.link(out / "ATT95.pdf", out / "~16~ATT95.pdf")
    # Never acknowledged (no record; its staged envelope beside it): removed.
    (out / "~14~ENV").write_bytes(b"")
    (out / "14.zqx").write_bytes(TRACE + b"Subject: cut in the data\r\n")
    # Handed off, the spool file not yet gone (no staged envelope): finished.
    (out / "15.zqx").write_bytes(spool_file(mail("done"), ["TO:<4711@fax.example.com>"], 500))
    # Staged files of no spool file.
    (out / "~77~ATT3.pdf").write_bytes(b"orphan")
    # Files the gateway cannot make sense of.
    (out / "20.zqx").write_bytes(b"")
    good = spool_file(mail("damaged"), ["TO:<4711@fax.example.com>"], 1)
    (out / "23.zqx").write_bytes(good.replace(b"body of", b"BODY OF"))  # the mail does not match its check
    (out / "24.zqx").mkdir()
    (out / "abc.zqx").write_bytes(good)
    (out / "20.err").write_bytes(b"kept from before")

    gw.start()
    envelopes = gw.files("ENV*.tmp")
    subjects = [re.search(rb"SUBJECT: (.*)\r\n", e.read_bytes()).group(1) for e in envelopes]
    assert subjects == [b"left 12", b"left 10", b"left 11", b"cut", b"complete"]  # all before the listener was up
    for env in envelopes:
        assert b'TO: "4711" <4711@fax.example.com>' in env.read_bytes()
    kept = {"20-1.err": b"", "20.err": b"kept from before"}
    assert {n: (out / n).read_bytes() for n in kept} == kept
    assert (out / "24.err").is_dir()
    names = {p.name for p in out.iterdir()}
    debug = {n for n in names if n.endswith(".debug")}  # the handed-off mails, kept while the debug log is on
    assert {n.split("-")[0] for n in debug} == {"10", "11", "12", "13", "15", "16"}
    assert names - debug == {f"ENV{i}.{x}" for i in range(4) for x in ("tmp", "bdy")} | set(kept) | {
        "23.err", "24.err", "abc.err", "ATT91.pdf", *job, "ENV95.bdy"}
    assert (out / "ATT91.pdf").read_bytes() == b"not this hand-off's"
    assert {n: (out / n).read_bytes() for n in job} == job and (out / "ENV95.bdy").read_bytes() == b"body of complete"
