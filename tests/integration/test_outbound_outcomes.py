"""Outbound messages that cannot be delivered: each gets the error name that says why
and one event 435 on the syslog socket (old name, new name, why): at once when the
receiver refuses the mail (5xx) or it names nobody, after five attempts spread over the
schedule (on the test build's time scale) when no host answers or the dialogue breaks
off; its attachment files stay beside it. A report that the settings switch off is
dropped without a connection. The receiver domain is the address literal 127.0.0.1, so
no name server is asked and no test leaves the machine."""

import time

import pytest

from gateway_harness import free_port, needs_seam, wait_until
from outbound_support import OUTBOUND_TIME_SCALE, Listener, SyslogSocket, message_file


def greet_and_hang_up(conn, _):  # a dialogue that breaks off
    conn.sendall(b"220 mx.test ESMTP\r\n")


def refuse_recipient(conn, _):  # a receiver that does not know the recipient
    lines = conn.makefile("rb")
    conn.sendall(b"220 mx.test ESMTP\r\n")
    for line in lines:
        verb = line[:4].upper()
        conn.sendall({b"RCPT": b"550 5.1.1 <USER@127.0.0.1>: Recipient address rejected\r\n",
                      b"QUIT": b"221 2.0.0 Bye\r\n"}.get(verb, b"250 2.0.0 Ok\r\n"))
        if verb == b"QUIT":
            return


CASES = {
    # name: (message file, TO address, subject, extra settings, peer, error name or None if dropped, attempts, why)
    "no TO line": ("noto.tmp", None, "Fax received from 4711", {}, None, "noto.NoName.Err", 0,
                   "no usable TO: line in the message header"),
    "no host reachable": ("Unreach.tmp", "user@127.0.0.1", "Fax received from 4711", {}, None,
                          "UNREACH.ConnFailed.Err", 5, "no connection to 127.0.0.1"),
    "dialogue breaks off": ("breaks.tmp", "user@127.0.0.1", "Fax received from 4711", {}, greet_and_hang_up,
                            "BREAKS.ConnTermin.Err", 5, "no reply to EHLO (connection closed or timed out)"),
    "550 at RCPT": ("refused.tmp", "user@127.0.0.1", "Fax received from 4711", {}, refuse_recipient,
                    "refused.Refused.Err", 1,
                    "reply to RCPT: 550 5.1.1 <USER@127.0.0.1>: Recipient address rejected"),
    "report switched off": ("report.tmp", "user@127.0.0.1", "Fax to 4711 sent OK",
                            {"AdvancedOptions": 1, "NotifyOnSuccess": 0}, greet_and_hang_up, None, 0, None),
}


@pytest.mark.parametrize("case", list(CASES))
def test_outcome(case, make_gateway, tmp_path, monkeypatch):
    needs_seam()  # the schedule's hour on the test build's time scale
    name, to, subject, settings, peer, error_name, attempts, why = CASES[case]
    syslog = SyslogSocket(tmp_path / "syslog")
    monkeypatch.setenv("CVSMTPGW_SYSLOG_SOCKET", str(syslog.path))
    server = Listener(peer) if peer else None
    try:
        gw = make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": server.port if server else free_port(),
                                  **settings}, env=OUTBOUND_TIME_SCALE, start=False)
        (gw.in_dir / name).write_bytes(message_file(to, subject, ["A fax arrived."],
                                                    [("page1.tif", "F1.tif"), ("page2.tif", "F2.tif")]))
        for source in ("F1.tif", "F2.tif"):
            (gw.in_dir / source).write_bytes(b"II*\x00" + source.encode())
        began = time.monotonic()
        gw.start()
        in_dir = lambda: sorted(p.name for p in gw.in_dir.iterdir())

        if error_name is None:
            wait_until(lambda: not (gw.in_dir / name).exists(), 30, lambda: f"{name} still in IN\n{gw.diagnostics()}")
            gw.wait_log("SMTPOut- encoding not done.")
            # The attachment files go right after the message file.
            wait_until(lambda: not {"F1.tif", "F2.tif"} & set(in_dir()), 10, lambda: f"attachments left in IN: {in_dir()}")
            assert server.connections == 0 and syslog.events(435, timeout=0.5) == []
            return
        wait_until(lambda: (gw.in_dir / error_name).exists(), 30, lambda: f"no {error_name} in {in_dir()}\n{gw.diagnostics()}")
        took = time.monotonic() - began
        # The fax images stay with the message, which is kept for a person to look at.
        assert {"F1.tif", "F2.tif"} <= set(in_dir()) and not (gw.in_dir / name).exists()
        assert syslog.events(435, timeout=5) == [f"Corvane SMTP Server, {gw.in_dir / name}, {gw.in_dir / error_name}, {why}"]
        assert server is None or server.connections == attempts
        # Five attempts take the schedule's 81 minutes (8.1 s here); a refusal or no name, none of it.
        assert (took > 7.5) if attempts == 5 else (took < 4), took
        assert gw.text("debug.log").count("SMTPOut- New message thread started") == max(attempts, 1)
    finally:
        if server:
            server.close()
        syslog.close()
