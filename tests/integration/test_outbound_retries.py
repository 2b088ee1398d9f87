"""Outbound delivery over time: a message that is done with is never sent again, even while its file stays. The
receiver domain is the address literal 127.0.0.1: no name server, no root. (A 4xx then a 250: smtp_dialogue_test;
messages that wait beside others, each with its own count of attempts: test_outbound_outcomes.py.)"""

import time

import pytest

from gateway_harness import needs_seam, wait_until
from outbound_support import ScriptedReceiver, drop_message, message_file

SCALE = {"CVSMTPGW_RETRY_MINUTE_MS": "200"}  # the test build's time scale: a minute of the schedule lasts 200 ms


@pytest.fixture
def outbound(make_gateway):
    """A gateway that delivers to `receiver`, on the test build's time scale."""
    needs_seam()
    return lambda receiver, env=None: make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": receiver.port},
                                                   env={**SCALE, **(env or {})}, start=False)


def fax(n: int, to: str = "user{n}@127.0.0.1") -> bytes:
    return message_file(to.format(n=n), f"Fax received from {n}", [f"A fax, number {n}."])


def test_delivered_message_that_cannot_be_deleted_is_not_sent_again(outbound, syslog):
    # The file stays (a scanner holds it, IN is sticky): every attempt to delete it fails.
    faults = "delete:1000:EACCES:*/IN/stuck.tmp;rename:1000:EACCES:*/IN/noname.NoName.Err"
    with ScriptedReceiver() as mx:
        gw = outbound(mx, env={"CVSMTPGW_FAULTS": faults})
        drop_message(gw.in_dir, "stuck.tmp", fax(4))
        # And one that names nobody, whose error name cannot be given.
        drop_message(gw.in_dir, "noname.tmp", message_file(None, "Fax received from 5", ["x"]))
        gw.start()
        gw.wait_log("SMTPOut- Error: the message is done with but cannot be deleted; it is not sent again: stuck.tmp")
        gw.wait_log("SMTPOut- The message is left as it is and not sent again: noname.tmp")
        # More arrivals make the gateway look at IN again and again, and the poll comes by.
        for n in range(6, 9):
            drop_message(gw.in_dir, f"more{n}.tmp", fax(n))
            wait_until(lambda: not (gw.in_dir / f"more{n}.tmp").exists(), 10, gw.diagnostics)
        time.sleep(11)  # past a poll of IN
        assert (gw.in_dir / "stuck.tmp").exists() and (gw.in_dir / "noname.tmp").exists()
    assert mx.recipients() == ["<USER4@127.0.0.1>", "<USER6@127.0.0.1>", "<USER7@127.0.0.1>", "<USER8@127.0.0.1>"]
    log = gw.text("debug.log")
    assert log.count("filename to check for: IN/stuck.tmp") == log.count("filename to check for: IN/noname.tmp") == 1
    # Reported once, with the name it should have had.
    assert syslog.events(435, timeout=2) == [
        f"Corvane SMTP Server, {gw.in_dir / 'noname.tmp'}, {gw.in_dir / 'noname.NoName.Err'}, "
        "no usable TO: line in the message header"]
