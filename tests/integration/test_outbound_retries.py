"""Outbound delivery over time, with receivers that make the gateway wait: each message is
delivered exactly once, its attempts are its own (spread over the schedule, on the test build's
time scale), and a message that waits never holds up another. The receiver domain is the
address literal 127.0.0.1: no name server, no root."""

import re
import time

import pytest

from gateway_harness import needs_seam, wait_until
from outbound_support import ScriptedReceiver, drop_message, message_file

# The test build's time scale: a minute of the retry schedule lasts MINUTE_MS.
MINUTE_MS = 200
SCALE = {"CVSMTPGW_RETRY_MINUTE_MS": str(MINUTE_MS)}


@pytest.fixture
def outbound(make_gateway):
    """A gateway that delivers to `receiver`, on the test build's time scale."""
    needs_seam()
    return lambda receiver, env=None: make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": receiver.port},
                                                   env={**SCALE, **(env or {})}, start=False)


def fax(n: int, to: str = "user{n}@127.0.0.1") -> bytes:
    return message_file(to.format(n=n), f"Fax received from {n}", [f"A fax, number {n}."])


def test_greylisting_receiver_gets_the_mail_on_a_later_attempt(outbound, syslog):
    # The receiver wants the same mail again no sooner than 60 s (a scaled minute) after it first saw it.
    first: dict[str, float] = {}

    def greylist(rcpt: str):
        seen = first.setdefault(rcpt, time.monotonic())
        return "451 4.7.1 Greylisted, try again later" if time.monotonic() - seen < MINUTE_MS / 1000 else None

    with ScriptedReceiver(rcpt_reply=greylist) as mx:
        gw = outbound(mx)
        drop_message(gw.in_dir, "grey.tmp", fax(1))
        gw.start()
        wait_until(lambda: mx.mails, 30, gw.diagnostics)
        wait_until(lambda: not (gw.in_dir / "grey.tmp").exists(), 10, gw.diagnostics)
        time.sleep(4 * MINUTE_MS / 1000)  # long enough for any stray attempt
    assert mx.recipients() == ["<USER1@127.0.0.1>"]
    replies = [reply[:3] for _, _, reply in mx.rcpts]
    # Not within seconds: the second attempt came a minute later, the third five after that.
    assert replies[0] == "451" and replies[-1] == "250" and 2 <= len(replies) <= 3, mx.rcpts
    assert mx.rcpts[-1][1] - mx.rcpts[0][1] >= MINUTE_MS / 1000
    assert "SMTPOut- Attempt 1 of 5 failed" in gw.text("debug.log")
    assert not list(gw.in_dir.glob("*.Err"))
    # One mail-log line per attempt: deferred with the greylisting reply, then delivered with the reply to the dot.
    lines = syslog.lines("out: ")
    head = re.escape("out: message=grey.tmp to=user1@127.0.0.1 exchanger=127.0.0.1 tls=none reply=")
    assert re.fullmatch(head + r"reply to RCPT: 451 4\.7\.1 Greylisted, try again later status=deferred", lines[0], re.I)
    assert re.fullmatch(head + r"250 .* status=delivered", lines[-1], re.I) and len(lines) == len(replies), lines


def test_a_new_message_goes_out_at_once_while_another_waits(outbound):
    # The receiver defers one recipient for ever and takes the others at once.
    with ScriptedReceiver(rcpt_reply=lambda rcpt: "451 4.3.0 Try later" if "STUCK" in rcpt else None) as mx:
        gw = outbound(mx)
        drop_message(gw.in_dir, "a-stuck.tmp", fax(0, "stuck@127.0.0.1"))
        gw.start()
        # While the stuck message waits 15 minutes (3 s here) for its fourth attempt.
        gw.wait_log("SMTPOut- Attempt 3 of 5 failed")
        arrived = time.monotonic()
        drop_message(gw.in_dir, "new1.tmp", fax(1))
        wait_until(lambda: mx.mails, 10, gw.diagnostics, interval=0.005)
        assert time.monotonic() - arrived < 1.0  # IN is watched, not only looked at every 10 seconds
        # The waiting message keeps its own count and gets its name after its fifth attempt.
        wait_until(lambda: (gw.in_dir / "A-STUCK.ConnTermin.Err").exists(), 60, gw.diagnostics)
    assert mx.recipients() == ["<USER1@127.0.0.1>"]
    assert [rcpt for rcpt, _, _ in mx.rcpts].count("<STUCK@127.0.0.1>") == 5
    assert sorted(p.name for p in gw.in_dir.iterdir() if not p.name.endswith(".debug")) == ["A-STUCK.ConnTermin.Err"]


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
