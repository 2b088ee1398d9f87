"""Faults at the edges of the spool, through the fault seam: an acknowledged mail is handed off later, whole and
once, or kept aside; nothing the gateway did not write is touched."""

import base64
import random
import shutil
import time

from gateway_harness import FAX, REFUSED, TRACE, attachments, mail, needs_seam, wait_until
from spool_files import spool_file

PDF = b"%PDF-1.4\n" + random.Random(7).randbytes(120000)  # more than one read of the spool file
PDF_MAIL = (f"From: a@example.com\r\nTo: {FAX}\r\nSubject: cut in the middle\r\nMIME-Version: 1.0\r\nContent-Type: "
            "application/pdf; name=\"r.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\n").encode() + \
    base64.encodebytes(PDF).replace(b"\n", b"\r\n")


def test_a_read_error_hands_off_nothing_cut_and_one_that_stays_keeps_the_mail_aside(make_gateway):
    needs_seam()
    # The second read of spool file 0 fails once, every read of spool file 1 fails.
    gw = make_gateway(env={"CVSMTPGW_FAULTS": "read:1+1::*/OUT/0.zqx;read:1000::*/OUT/1.zqx",
                           "CVSMTPGW_HANDOFF_RETRY_MS": "100"})
    assert gw.send("a@example.com", [FAX], PDF_MAIL) == {}
    assert gw.send("a@example.com", [FAX], mail("never readable")) == {}
    wait_until(lambda: (gw.out_dir / "1.err").exists() and gw.files("ENV*.tmp") and not gw.files("*.zqx"), 15)
    assert gw.subjects() == [b"cut in the middle"]
    assert [(n, f.read_bytes()) for n, f in attachments(gw, gw.files("ENV*.tmp")[0])] == [("r.pdf", PDF)]
    assert "the spool file could not be read whole, tried again later" in gw.text("debug.log")
    assert b"\r\nSubject: never readable\r\n" in (gw.out_dir / "1.err").read_bytes()  # the mail, whole
    assert not [p for p in gw.out_dir.iterdir() if p.name.startswith("~")]


def test_a_spool_directory_that_vanishes_or_is_replaced_while_running(make_gateway):
    needs_seam()
    # The second hand-off fails once, so that its mail waits for the next try while OUT is away.
    gw = make_gateway(env={"CVSMTPGW_FAULTS": "rename:1+1::*/OUT/ENV*.tmp"})
    assert gw.transaction(mail("first"))[0] == 250
    wait_until(lambda: gw.subjects() == [b"first"], 10)
    time.sleep(0.3)
    baseline = gw.counts()
    assert gw.send("a@example.com", [FAX], PDF_MAIL) == {}
    gw.wait_log("Hand-off not completed, tried again")
    away, ours, strange_dir = gw.root / "OUT.away", gw.out_dir, gw.root / "OUT.strange"
    ours.rename(away)
    try:  # nothing can be stored: refused, never acknowledged
        assert [gw.transaction(mail(f"while away {n}")) for n in (1, 2)] == [REFUSED] * 2
        wait_until(lambda: gw.text("debug.log").count("Hand-off not completed, tried again") >= 2, 10)
        # Another directory in its place, with a spool file of that name: neither decoded nor deleted.
        ours.mkdir()
        strange = {"1.zqx": spool_file(TRACE + mail("not mine"), [f"TO:<{FAX}>"], 5), "~1~ENV": b""}
        for name, data in strange.items():
            (ours / name).write_bytes(data)
        gw.wait_log("the spool file is not the one acknowledged, left alone: " + str(ours / "1.zqx"))
        ours.rename(strange_dir)
    finally:
        away.rename(ours)
    # The acknowledged mail is handed off, whole, once OUT is back; new mails are taken again.
    wait_until(lambda: gw.subjects() == [b"cut in the middle", b"first"], 20,
               lambda: f"{gw.subjects()}\n{gw.diagnostics()}")
    assert [(n, f.read_bytes()) for n, f in attachments(gw, gw.files("ENV*.tmp")[-1])] == [("r.pdf", PDF)]
    assert gw.transaction(mail("after"))[0] == 250
    wait_until(lambda: len(gw.subjects()) == 3 and not gw.files("*.zqx"), 20)
    assert {p.name: p.read_bytes() for p in strange_dir.iterdir()} == strange
    shutil.rmtree(strange_dir)
    gw.settles(baseline)


def test_while_hand_offs_fail_the_queue_fills_and_new_mails_get_451(make_gateway):
    needs_seam()
    gw = make_gateway(env={"CVSMTPGW_FAULTS": "rename:6::*/ENV*.tmp", "CVSMTPGW_HANDOFF_QUEUE_LIMIT": "3"})
    for n in range(3):
        assert gw.send("a@example.com", [FAX], mail(f"held {n}")) == {}
    with gw.connect() as conn:
        assert conn.reply()[0] == 220
        for line in ["HELO c", "MAIL FROM:<a@example.com>", f"RCPT TO:<{FAX}>"]:
            assert conn.command(line)[0] == 250
        assert conn.command("DATA") == REFUSED
    assert sorted(p.name for p in gw.files("*.zqx")) == ["0.zqx", "1.zqx", "2.zqx"]  # no number drawn for it
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 3 and not gw.files("*.zqx"), 20)
    assert gw.send("a@example.com", [FAX], mail("after")) == {}
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 4, 10)
