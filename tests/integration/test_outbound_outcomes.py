"""Outbound messages that cannot be delivered: each gets the error name that says why
and an event 435 on the syslog socket, after five attempts where a host was tried;
its attachment files stay beside it. A report that the settings switch off is dropped
without a connection. The receiver domain is 127.0.0.1 and the name server a dead
loopback address, so no test leaves the machine."""

import contextlib
import socket
import threading

import pytest

from gateway_harness import LOOPBACK, free_port, wait_until
from outbound_support import SyslogSocket, message_file

DEAD_NAME_SERVER = "127.0.2.53"  # nothing listens there: the receiver domain's own address is tried


class BreakingServer:
    """Greets each client on 127.0.0.1 and hangs up: a dialogue that breaks off."""

    def __init__(self):
        self.listener = socket.create_server((LOOPBACK, 0))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            with conn, contextlib.suppress(OSError):
                self.connections += 1
                conn.sendall(b"220 mx.test ESMTP\r\n")

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.listener.close()


CASES = {
    # name: (message file, TO address, subject, extra settings, peer, error name or None if dropped)
    "no TO line": ("noto.tmp", None, "Fax received from 4711", {}, None, "noto.NoName.Err"),
    "no host reachable": ("Unreach.tmp", "user@127.0.0.1", "Fax received from 4711", {}, None,
                          "UNREACH.ConnFailed.Err"),
    "dialogue breaks off": ("breaks.tmp", "user@127.0.0.1", "Fax received from 4711", {}, "breaking",
                            "BREAKS.ConnTermin.Err"),
    "report switched off": ("report.tmp", "user@127.0.0.1", "Fax to 4711 sent OK",
                            {"AdvancedOptions": 1, "NotifyOnSuccess": 0}, "breaking", None),
}


@pytest.mark.parametrize("case", list(CASES))
def test_outcome(case, make_gateway, tmp_path, monkeypatch):
    name, to, subject, settings, peer, error_name = CASES[case]
    syslog = SyslogSocket(tmp_path / "syslog")
    monkeypatch.setenv("CVSMTPGW_SYSLOG_SOCKET", str(syslog.path))
    server = BreakingServer() if peer == "breaking" else None
    try:
        port = server.port if server else free_port()
        gw = make_gateway(values={"DNSName": DEAD_NAME_SERVER, "SmtpTxPort": port, **settings}, start=False)
        (gw.in_dir / name).write_bytes(message_file(to, subject, ["A fax arrived."],
                                                    [("page1.tif", "F1.tif"), ("page2.tif", "F2.tif")]))
        for source in ("F1.tif", "F2.tif"):
            (gw.in_dir / source).write_bytes(b"II*\x00" + source.encode())
        gw.start()

        if error_name is None:
            wait_until(lambda: not (gw.in_dir / name).exists(), 30, lambda: f"{name} still in IN\n{gw.diagnostics()}")
            gw.wait_log("SMTPOut- encoding not done.")
            # The attachment files go right after the message file.
            wait_until(lambda: not (gw.in_dir / "F1.tif").exists() and not (gw.in_dir / "F2.tif").exists(), 10,
                       lambda: f"attachments left in IN: {sorted(p.name for p in gw.in_dir.iterdir())}")
            assert server.connections == 0
            assert syslog.events(435, timeout=0.5) == []
            return

        wait_until(lambda: (gw.in_dir / error_name).exists(), 30,
                   lambda: f"no {error_name} in {sorted(p.name for p in gw.in_dir.iterdir())}\n{gw.diagnostics()}")
        assert not (gw.in_dir / name).exists()
        # The fax images stay with the message, which is kept for a person to look at.
        assert (gw.in_dir / "F1.tif").exists() and (gw.in_dir / "F2.tif").exists()
        assert syslog.events(435, timeout=5) == [f"Corvane SMTP Server, {gw.in_dir / name}, {gw.in_dir / error_name}"]
        if server:
            assert server.connections == 5
    finally:
        if server:
            server.close()
        syslog.close()
