"""Bad input at the edges of the spool, through the fault seam: read errors in a spool file, one that can neither be
read nor kept aside, a spool directory that vanishes or is replaced, a counter set back, hand-offs failing until the
queue is full. An acknowledged mail is handed off later, whole and once, or kept aside; nothing the gateway did not
write is touched."""

import base64
import os
import random
import shutil
import time

from gateway_harness import FAX, REFUSED, TRACE, attachments, mail, needs_seam, wait_until
from spool_files import leave_acknowledged, spool_file

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
    log = gw.wait_log("kept aside as: " + str(gw.out_dir / "1.err") + " (not readable after 5 attempts)")
    assert "the spool file could not be read whole, tried again later" in log
    assert b"\r\nSubject: never readable\r\n" in (gw.out_dir / "1.err").read_bytes()  # the mail, whole
    assert not [p for p in gw.out_dir.iterdir() if p.name.startswith("~")]


def test_start_leaves_what_it_can_neither_read_nor_keep_aside_and_looks_again(make_gateway):
    needs_seam()
    gw = make_gateway(start=False, env={"CVSMTPGW_FAULTS": "read:1::*/OUT/10.zqx;rename:2:ENOSPC:*/OUT/22.err",
                                        "CVSMTPGW_HANDOFF_RETRY_MS": "100"})
    gw.out_dir.mkdir(exist_ok=True)
    leave_acknowledged(gw.out_dir, 10, TRACE + mail("read later"), [f"TO:<{FAX}>"], 1000)
    damaged = spool_file(TRACE + mail("damaged"), [f"TO:<{FAX}>"], 2000).replace(b"body of", b"BODY OF")
    (gw.out_dir / "22.zqx").write_bytes(damaged)
    (gw.out_dir / "~22~ENV").write_bytes(b"")
    gw.start()
    log = gw.wait_log("could not be kept aside, left as it is and looked at again later: " + str(gw.out_dir / "22.zqx"))
    assert "A spool file could not be read, looked at again later: 10.zqx" in log
    wait_until(lambda: (gw.out_dir / "22.err").exists() and gw.files("ENV*.tmp") and not gw.files("*.zqx"), 15)
    assert gw.subjects() == [b"read later"]
    assert (gw.out_dir / "22.err").read_bytes() == damaged
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


def test_a_counter_set_back_by_a_restored_hive_skips_numbers_in_use(make_gateway):
    needs_seam()
    gw = make_gateway(start=False, env={"CVSMTPGW_FAULTS": "rename:2::*/ENV*.tmp"})
    gw.out_dir.mkdir(exist_ok=True)
    # Acknowledged before the hive was restored from a backup with the counters at 0;
    # a job the fax server has not taken yet.
    for n in (0, 1):
        leave_acknowledged(gw.out_dir, n, TRACE + mail(f"left {n}"), [f"TO:<{FAX}>"], 1000 + n)
    pending = {"ENV0.tmp": b"FROM: <x@example.com>\r\nSUBJECT: pending\r\n", "ENV0.bdy": b"pending"}
    for name, data in pending.items():
        (gw.out_dir / name).write_bytes(data)
    gw.start()  # the two hand-offs fail once: their spool files stay while mails come in
    assert gw.send("a@example.com", [FAX], mail("after the restore")) == {}
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 4 and not gw.files("*.zqx"), 15)
    log = gw.text("debug.log")
    for n in (0, 1):
        assert "spool file name taken, drawing another: " + str(gw.out_dir / f"{n}.zqx") in log
    assert {n: (gw.out_dir / n).read_bytes() for n in pending} == pending
    assert gw.subjects() == [b"after the restore", b"left 0", b"left 1", b"pending"]


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
    gw.wait_log("the hand-off queue is full, new mails get 451 until hand-offs complete: 3 mails")
    assert sorted(p.name for p in gw.files("*.zqx")) == ["0.zqx", "1.zqx", "2.zqx"]  # no number drawn for it
    assert "~3~ENV" not in os.listdir(gw.out_dir)
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 3 and not gw.files("*.zqx"), 20)
    assert gw.send("a@example.com", [FAX], mail("after")) == {}
    gw.wait_log("The hand-off queue takes mails again")
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 4, 10)
