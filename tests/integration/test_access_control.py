"""Who may send a fax: ClientNetworks, the fax number lists, the hourly limits, a reload, and the inbound lines of
the mail log."""

import os
import re
import signal
import smtplib
import socket
import time

import pytest

from gateway_harness import LOOPBACK, needs_seam, wait_until, write_hive

OTHER = "127.0.0.2"  # a loopback client outside 127.0.0.1/32


def connect_from(port: int, source: str) -> socket.socket:
    return socket.create_connection((LOOPBACK, port), timeout=10, source_address=(source, 0))


def verdicts(port: int, source: str, numbers) -> tuple[int, list]:
    """A new client at `source`: the reply code to MAIL, then its text if refused or the RCPT reply codes."""
    with smtplib.SMTP(LOOPBACK, port, source_address=(source, 0), timeout=10) as client:
        client.helo("x")
        code, text = client.mail("a@example.com")
        return code, [text.decode()] if code != 250 else [client.rcpt(f"<{n}@fax.example.com>")[0] for n in numbers]


def test_client_networks_number_lists_and_the_mail_log(make_gateway, syslog):
    gw = make_gateway(values={"ClientNetworks": "127.0.0.1/32", "FaxNumberAllow": "0* 4* max.muster",
                              "FaxNumberDeny": "0900*,, 00* ,\t4711", "OverrideAddressCheck": "yes"},
                      env={"CVSMTPGW_DENIED_WAIT_MS": "700"})
    # A client outside the networks: 554 in place of the greeting, and the end after its next command.
    with connect_from(gw.port, OTHER) as s:
        assert s.recv(100) == b"554 Access denied\r\n"
        s.sendall(b"HELO x\r\n")
        assert s.recv(100) == b"503 Bad Sequence Of Commands.\r\n" and s.recv(100) == b""
    with connect_from(gw.port, OTHER) as s:  # silent: cut off after the wait (10 s, 0.7 s in the test build)
        assert s.recv(100) == b"554 Access denied\r\n"
        started = time.monotonic()
        assert s.recv(100) == b""
        if os.environ.get("CVSMTPGW_FAULT_SEAM") == "1":
            assert time.monotonic() - started < 5

    # Verdicts at RCPT: deny wins over allow, a non-empty allow list lets through only its matches, "-" is
    # dropped and a leading "+" kept; names are matched like numbers.
    verdicts = {"0301234@fax.example.com": 250, "030-12-34@fax.example.com": 250, "0900-555@fax.example.com": 550,
                "0049301234@fax.example.com": 550, "4711@fax.example.com": 550, "4712@fax.example.com": 250,
                "+49301234@fax.example.com": 550, "Max.Muster@example.com": 250, "other@example.com": 550}
    with gw.connect() as conn:
        assert conn.reply()[0] == 220
        assert conn.command("HELO client")[0] == 250 and conn.command("MAIL FROM:<a@example.com>")[0] == 250
        for rcpt, code in verdicts.items():
            assert conn.command(f"RCPT TO:<{rcpt}>") == (code, {250: f"250 OK  TO:<{rcpt}> \r\n",
                                                                550: "550 Fax number not permitted\r\n"}[code].encode())
        # To-header numbers (taken under OverrideAddressCheck) are checked when the submission is written.
        body = ("Subject: lists\r\nTo: 0301234@fax.example.com, 0900777@fax.example.com, 0309999@fax.example.com,"
                " 4711@fax.example.com\r\nCc: " + "1" * 200 + "@fax.example.com\r\n\r\nhello\r\n")
        assert conn.command("DATA")[0] == 354 and conn.command(body.encode() + b".")[0] == 250
        # 100 recipients, all denied: each refused, no mail, the session goes on.
        assert conn.command("MAIL FROM:<b@example.com>")[0] == 250
        assert all(conn.command(f"RCPT TO:<0900{n:04}@fax.example.com>")[0] == 550 for n in range(100))
        assert conn.command("DATA")[0] == 503 and conn.command("NOOP")[0] == 250
        assert conn.command("QUIT")[0] == 221
    envelope = gw.wait_for_files("ENV*.tmp")[0].read_text("latin-1")
    assert re.findall(r"^TO: .*<(.*)>", envelope, re.M) == ["0301234@fax.example.com", "0309999@fax.example.com"]

    lines = wait_until(lambda: (l if len(l := syslog.lines("in: ")) >= 4 else None), 10, lambda: str(syslog.received))
    denied = [l for l in lines if "nosubmission=554 Access denied" in l]
    assert len(denied) == 2 and all(l.startswith(f"in: client={OTHER} ") for l in denied)
    accepted = next(l for l in lines if "submission=ENV" in l)
    assert accepted.startswith("in: client=127.0.0.1 helo=client from=FROM:<a@example.com> rcpt=")
    assert "rcpt=TO:<0900-555@fax.example.com> refused (550 " in accepted and accepted.endswith(" submission=ENV0.tmp")
    refused = next(l for l in lines if "from=FROM:<b@example.com>" in l)
    more = re.search(r"\((\d+) more recipients\)", refused)  # a line stays within a syslog datagram
    assert refused.count("refused (550") + int(more.group(1) if more else 0) == 100 and " size=0 nosubmission=" in refused


def test_a_value_that_cannot_be_used_stops_the_start(make_gateway, syslog):
    gw, named = make_gateway(values={"ClientNetworks": "127.0.0.0/8, 300.1.1.1/8"}, start=False), '"300.1.1.1/8"'
    with pytest.raises(RuntimeError, match="exited with 5"):
        gw.start()
    assert named in gw.text("stderr.txt") and "cannot start" in gw.text("stderr.txt")
    assert any(named in e for e in syslog.events(430, timeout=1)) and syslog.events(427) == []


def test_rate_limits_and_their_reset(make_gateway):
    needs_seam()
    window = 2.0
    # No client networks and an empty allow list: every client and number is served, up to the limits.
    gw = make_gateway(values={"ClientMailLimit": 2, "FaxRecipientLimit": 3, "ClientNetworks": " ",
                              "FaxNumberAllow": ""},
                      env={"CVSMTPGW_RATE_WINDOW_MS": str(int(window * 1000))})

    mail = lambda rcpts, source=LOOPBACK: verdicts(gw.port, source, [f"030{n}" for n in range(rcpts)])

    started = time.monotonic()
    assert mail(2) == (250, [250, 250])
    assert mail(2) == (250, [250, 451])  # the third fax recipient of the hour is the last
    assert mail(1) == (451, ["Too many mails from your address, try again later"])
    assert mail(1, OTHER) == (250, [451])  # another client: its own mail count, the same fax count
    assert time.monotonic() - started < window, "the test ran longer than the window it tests"
    time.sleep(window + 0.2)
    assert mail(2) == (250, [250, 250])  # a new hour
    assert mail(2) == (250, [250, 451])


def test_reload_changes_new_sessions_only(make_gateway, syslog):
    gw = make_gateway(values={"ClientNetworks": "127.0.0.1/32"})
    time.sleep(1.5)  # the start's own hive changes are written: an edit now is not overwritten
    with gw.connect() as old:
        assert old.reply()[0] == 220
        assert old.command("HELO x")[0] == 250 and old.command("MAIL FROM:<a@example.com>")[0] == 250
        write_hive(gw.hive_path, {**gw.values, "ClientNetworks": f"{OTHER}/32", "FaxNumberDeny": "4711"})
        os.kill(gw.proc.pid, signal.SIGHUP)
        gw.wait_log("Settings- Reloaded: 1 client networks, 0 allowed and 1 denied")
        assert old.command("RCPT TO:<4711@fax.example.com>")[0] == 250  # the open session keeps its verdicts
        with connect_from(gw.port, LOOPBACK) as s:
            assert s.recv(100) == b"554 Access denied\r\n"
        assert verdicts(gw.port, OTHER, ["4711"]) == (250, [550])
        # A reload with a value that cannot be used keeps the settings in use.
        write_hive(gw.hive_path, {**gw.values, "ClientNetworks": "10.0.0.0/33"})
        os.kill(gw.proc.pid, signal.SIGHUP)
        assert any('"10.0.0.0/33"' in e for e in syslog.events(430, timeout=5))
        assert gw.alive and old.command("QUIT")[0] == 221
    with connect_from(gw.port, OTHER) as s:
        assert s.recv(100).startswith(b"220 ")
