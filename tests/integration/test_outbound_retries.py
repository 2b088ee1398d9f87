"""Outbound message files that are done with or not what they should be: never sent again, never a crash, a hang,
a mail to an address the header did not name, or a file read outside IN."""

import os
import time

from gateway_harness import wait_until
from outbound_support import ScriptedReceiver, drop_message, message_file, outbound_gateway


def fax(n: int, to: str = "user{n}@127.0.0.1", attachments=()) -> bytes:
    return message_file(to.format(n=n), f"Fax received from {n}", [f"A fax, number {n}."], attachments)


def test_messages_done_with_and_odd_files_are_not_sent_again(make_gateway, syslog, tmp_path):
    # The file stays (a scanner holds it, IN is sticky): every attempt to delete it fails; and one that names
    # nobody, whose error name cannot be given.
    faults = "delete:1000:EACCES:*/IN/stuck.tmp;rename:1000:EACCES:*/IN/noname.NoName.Err"
    with ScriptedReceiver() as mx:
        gw = outbound_gateway(make_gateway, mx.port, env={"CVSMTPGW_FAULTS": faults})
        drop_message(gw.in_dir, "stuck.tmp", fax(4))
        drop_message(gw.in_dir, "noname.tmp", message_file(None, "Fax received from 5", ["x"]))
        # Attachments that are no plain files in IN are left out.
        secret = tmp_path / "secret.txt"
        secret.write_bytes(b"outside IN: never in a mail")
        (gw.in_dir / "pages").mkdir()
        (gw.in_dir / "pages" / "p1.tif").write_bytes(b"II*\x00")
        os.symlink(secret, gw.in_dir / "link.tif")
        (gw.in_dir / "F1.tif").write_bytes(b"II*\x00the fax")
        os.mkfifo(gw.in_dir / "pipe.tmp")  # a message that is a pipe: reading it would wait for ever
        drop_message(gw.in_dir, "attach.tmp", fax(
            9, "user@127.0.0.1", [("dir.tif", "pages"), ("link.tif", "link.tif"), ("fax.tif", "F1.tif")]))
        gw.start()
        wait_until(lambda: len(mx.mails) == 2 and not (gw.in_dir / "attach.tmp").exists(), 10, gw.diagnostics)
        text = dict((rcpt, text) for _, rcpt, text in mx.mails)["<USER@127.0.0.1>"]
        assert b'filename="fax.tif"' in text and b"dir.tif" not in text and b"link.tif" not in text
        assert b"outside IN" not in text
        # Reported as not encodable; the directory, the link and the pipe are left as they were.
        events = syslog.events(432, timeout=2)
        assert sorted(e.rsplit("/", 1)[1] for e in events) == ["link.tif", "pages"], events
        assert (gw.in_dir / "pages" / "p1.tif").exists() and (gw.in_dir / "link.tif").is_symlink() and secret.exists()
        drop_message(gw.in_dir, "more6.tmp", fax(6))  # an arrival makes the gateway look at IN again
        wait_until(lambda: not (gw.in_dir / "more6.tmp").exists(), 10, gw.diagnostics)
        time.sleep(11)  # past a poll of IN
        assert all((gw.in_dir / name).exists() for name in ("stuck.tmp", "noname.tmp", "pipe.tmp"))
    # Mail only to the addresses the headers named, one session each.
    assert sorted(rcpt for _, rcpt, _ in mx.mails) == ["<USER4@127.0.0.1>", "<USER6@127.0.0.1>", "<USER@127.0.0.1>"]
    assert mx.sessions == 3 and gw.alive
    # Reported once, with the name it should have had.
    assert syslog.events(435, timeout=2) == [
        f"Corvane SMTP Server, {gw.in_dir / 'noname.tmp'}, {gw.in_dir / 'noname.NoName.Err'}, "
        "no usable TO: line in the message header"]
