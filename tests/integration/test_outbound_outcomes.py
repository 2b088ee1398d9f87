"""Outbound messages that cannot be delivered: each gets the error name that says why
and an event 435 on the syslog socket, after five attempts where a host was tried;
its attachment files stay beside it. A report that the settings switch off is dropped
without a connection. The receiver domain is 127.0.0.1 and the name server a dead
loopback address, so no test leaves the machine."""

import pytest

from gateway_harness import free_port, wait_until
from outbound_support import Listener, SyslogSocket, message_file

DEAD_NAME_SERVER = "127.0.2.53"  # nothing listens there: the receiver domain's own address is tried
GREET_AND_HANG_UP = lambda conn, _: conn.sendall(b"220 mx.test ESMTP\r\n")  # a dialogue that breaks off

CASES = {
    # name: (message file, TO address, subject, extra settings, a peer that breaks off, error name or None if dropped)
    "no TO line": ("noto.tmp", None, "Fax received from 4711", {}, False, "noto.NoName.Err"),
    "no host reachable": ("Unreach.tmp", "user@127.0.0.1", "Fax received from 4711", {}, False,
                          "UNREACH.ConnFailed.Err"),
    "dialogue breaks off": ("breaks.tmp", "user@127.0.0.1", "Fax received from 4711", {}, True,
                            "BREAKS.ConnTermin.Err"),
    "report switched off": ("report.tmp", "user@127.0.0.1", "Fax to 4711 sent OK",
                            {"AdvancedOptions": 1, "NotifyOnSuccess": 0}, True, None),
}


@pytest.mark.parametrize("case", list(CASES))
def test_outcome(case, make_gateway, tmp_path, monkeypatch):
    name, to, subject, settings, breaking, error_name = CASES[case]
    syslog = SyslogSocket(tmp_path / "syslog")
    monkeypatch.setenv("CVSMTPGW_SYSLOG_SOCKET", str(syslog.path))
    server = Listener(GREET_AND_HANG_UP) if breaking else None
    try:
        gw = make_gateway(values={"DNSName": DEAD_NAME_SERVER, "SmtpTxPort": server.port if server else free_port(),
                                  **settings}, start=False)
        (gw.in_dir / name).write_bytes(message_file(to, subject, ["A fax arrived."],
                                                    [("page1.tif", "F1.tif"), ("page2.tif", "F2.tif")]))
        for source in ("F1.tif", "F2.tif"):
            (gw.in_dir / source).write_bytes(b"II*\x00" + source.encode())
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
        # The fax images stay with the message, which is kept for a person to look at.
        assert {"F1.tif", "F2.tif"} <= set(in_dir()) and not (gw.in_dir / name).exists()
        assert syslog.events(435, timeout=5) == [f"Corvane SMTP Server, {gw.in_dir / name}, {gw.in_dir / error_name}"]
        assert server is None or server.connections == 5
    finally:
        if server:
            server.close()
        syslog.close()
