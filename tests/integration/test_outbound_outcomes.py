"""Outbound messages that cannot be delivered get the error name that says why and one event 435: at once for a 5xx
or no recipient, after five attempts over the (scaled) schedule otherwise; attachment files stay beside them."""

import time

from gateway_harness import wait_until
from outbound_support import Listener, ScriptedReceiver, message_file, outbound_gateway


def greet_and_hang_up(conn, _):  # a dialogue that breaks off
    conn.sendall(b"220 mx.test ESMTP\r\n")


# message file: (TO address, error name, attempts, why), in the order they are done with
OUTCOMES = {
    "noto.tmp": (None, "noto.NoName.Err", 0, "no usable TO: line in the message header"),
    "refused.tmp": ("user@127.0.0.3", "refused.Refused.Err", 1,
                    "reply to RCPT: 550 5.1.1 <USER@127.0.0.3>: Recipient address rejected"),
    "Unreach.tmp": ("user@127.0.0.4", "UNREACH.ConnFailed.Err", 5, "no connection to 127.0.0.4"),
    "breaks.tmp": ("user@127.0.0.2", "BREAKS.ConnTermin.Err", 5, "no reply to EHLO (connection closed or timed out)"),
}


def test_outcomes(make_gateway, syslog):
    # A receiver that does not know the recipient; nothing listens on 127.0.0.4.
    with Listener(greet_and_hang_up, "127.0.0.2") as hang_up, ScriptedReceiver(
            "127.0.0.3", hang_up.port, rcpt_reply=lambda r: f"550 5.1.1 {r}: Recipient address rejected") as refuse:
        gw = outbound_gateway(make_gateway, hang_up.port)
        for name, (to, *_) in OUTCOMES.items():
            stem = name.split(".")[0]
            (gw.in_dir / name).write_bytes(message_file(to, "Fax received from 4711", ["A fax arrived."],
                                                        [("page1.tif", f"{stem}1.tif"), ("page2.tif", f"{stem}2.tif")]))
            for n in (1, 2):
                (gw.in_dir / f"{stem}{n}.tif").write_bytes(b"II*\x00" + name.encode())
        began = time.monotonic()
        gw.start()
        in_dir = lambda: sorted(p.name for p in gw.in_dir.iterdir())

        for name, (_, error_name, attempts, _) in OUTCOMES.items():
            wait_until(lambda: (gw.in_dir / error_name).exists(), 30,
                       lambda: f"no {error_name} in {in_dir()}\n{gw.diagnostics()}")
            took = time.monotonic() - began
            # Five attempts take the schedule's 81 minutes (8.1 s here); a refusal or no name, none of it.
            assert (took > 7.5) if attempts == 5 else (took < 4), (name, took)
            # The fax images stay with the message, which is kept for a person to look at.
            stem = name.split(".")[0]
            assert {f"{stem}1.tif", f"{stem}2.tif"} <= set(in_dir()) and not (gw.in_dir / name).exists()
        assert (hang_up.connections, refuse.sessions) == (5, 1)
        assert gw.text("debug.log").count("SMTPOut- New message thread started") == 1 + 1 + 5 + 5
        # The last event may come just after its file got its name.
        events = wait_until(lambda: (e if len(e := syslog.events(435)) >= len(OUTCOMES) else None), 5,
                            lambda: str(syslog.received))
        assert sorted(events) == sorted(
            f"Corvane SMTP Server, {gw.in_dir / name}, {gw.in_dir / error_name}, {why}"
            for name, (_, error_name, _, why) in OUTCOMES.items())
