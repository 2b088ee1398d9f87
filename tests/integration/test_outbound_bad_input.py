"""Outbound message files that are not what they should be: each is left out with a log line, never a crash, a
hang, a mail to an address its header did not name, or a file read outside IN. (Headers that name nobody:
compose_test.cpp, and their error name and event: test_outbound_outcomes.py.)"""

import os

from gateway_harness import needs_seam, wait_until
from outbound_support import OUTBOUND_TIME_SCALE, ScriptedReceiver, drop_message, message_file

GOOD = message_file("good@127.0.0.1", "Fax received from 1", ["A fax."])


def test_odd_attachments_and_a_file_still_empty(make_gateway, syslog, tmp_path):
    needs_seam()  # the schedule on the test build's time scale
    receiver = ScriptedReceiver()
    gw = make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": receiver.port}, env=OUTBOUND_TIME_SCALE,
                      start=False)
    drop_message(gw.in_dir, "zgood.tmp", GOOD)
    # Attachments that are no plain files in IN are left out.
    secret = tmp_path / "secret.txt"
    secret.write_bytes(b"outside IN: never in a mail")
    (gw.in_dir / "pages").mkdir()
    (gw.in_dir / "pages" / "p1.tif").write_bytes(b"II*\x00inside")
    os.symlink(secret, gw.in_dir / "link.tif")
    (gw.in_dir / "F1.tif").write_bytes(b"II*\x00the fax")
    os.mkfifo(gw.in_dir / "pipe.tmp")  # a message that is a pipe: reading it would wait for ever
    drop_message(gw.in_dir, "attach.tmp", message_file(
        "user@127.0.0.1", "Fax received from 6", ["A fax."],
        [("dir.tif", "pages"), ("link.tif", "link.tif"), ("fax.tif", "F1.tif")]))
    gw.start()
    wait_until(lambda: len(receiver.mails) == 2, 10, gw.diagnostics)
    wait_until(lambda: not (gw.in_dir / "attach.tmp").exists(), 10, gw.diagnostics)
    text = dict((rcpt, text) for _, rcpt, text in receiver.mails)["<USER@127.0.0.1>"]
    assert b'filename="fax.tif"' in text and b"dir.tif" not in text and b"link.tif" not in text
    assert b"outside IN" not in text and b"inside" not in text
    # Reported as not encodable; the directory, the link and the pipe are left as they were.
    events = syslog.events(432, timeout=2)
    assert sorted(e.rsplit("/", 1)[1] for e in events) == ["link.tif", "pages"], events
    assert (gw.in_dir / "pages" / "p1.tif").exists() and (gw.in_dir / "link.tif").is_symlink() and secret.exists()
    assert (gw.in_dir / "pipe.tmp").exists()
    assert gw.text("debug.log").count("SMTPOut- Error: not a plain file, left alone: pipe.tmp") == 1

    # Created first, written later (against the contract): never taken for a message without a subject.
    (gw.in_dir / "late.tmp").write_bytes(b"")
    gw.wait_log("SMTPOut- Message file still empty, looked at again later: late.tmp")
    (gw.in_dir / "late.tmp").write_bytes(message_file("late@127.0.0.1", "Fax received from 8", ["A fax."]))
    wait_until(lambda: len(receiver.mails) == 3, 20, gw.diagnostics)
    assert "encoding not done" not in gw.text("debug.log")
    # Mail only to the addresses the headers named, one session each.
    assert sorted(receiver.recipients()) == ["<GOOD@127.0.0.1>", "<LATE@127.0.0.1>", "<USER@127.0.0.1>"]
    assert receiver.sessions == 3 and gw.alive
    receiver.close()
