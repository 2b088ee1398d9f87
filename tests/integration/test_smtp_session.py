"""The inbound SMTP server with real clients: what they are told and what is stored."""

import email
import socket

from smtp_store import open_transaction, stored_messages, trace_line, wait_log, wait_stored

DOMAIN = "fax.example.com"


def test_smtplib_falls_back_to_helo_and_its_mail_is_stored(gateway):
    body = (b"From: sender@example.com\r\nTo: 4711@fax.example.com\r\nSubject: dots\r\n\r\n"
            b"first line\r\n.starts with a dot\r\n..two dots\r\n.\r\n last\r\n")
    with gateway.smtp() as client:
        code, _ = client.ehlo()
        assert code == 500
        assert client.helo()[0] == 250
        assert client.sendmail("sender@example.com", ["4711@fax.example.com"], body) == {}
    stored = wait_stored(gateway, 1)
    assert len(stored) == 1
    # smtplib stuffs the dots; the stored copy is the message as written.
    assert stored[0].read_bytes() == trace_line("client.example.com", DOMAIN) + body


def test_swaks_delivers(gateway, tmp_path):
    data = tmp_path / "mail.txt"
    data.write_bytes(b"Subject: swaks\r\n\r\nbody line\r\n.leading dot\r\n")
    run = gateway.swaks("--helo", "swaks.example.org", "--from", "s@example.org",
                        "--to", "4711@fax.example.com", "--data", f"@{data}")
    assert run.returncode == 0, run.stdout + run.stderr
    assert "250 Mail Received OK" in run.stdout
    stored = wait_stored(gateway, 1)
    assert len(stored) == 1
    text = stored[0].read_bytes()
    assert text.startswith(trace_line("swaks.example.org", DOMAIN))
    assert b"\r\nbody line\r\n.leading dot\r\n" in text
    assert not text.endswith(b".\r\n.\r\n")


def test_smtp_source_sessions_are_all_stored(gateway):
    gateway.smtp_source(6, 3, 2000, "-M", "source.example.net", "-f", "src@example.net",
                        "-t", "4711@fax.example.com")
    stored = wait_stored(gateway, 6)
    assert len(stored) == 6
    for path in stored:
        data = path.read_bytes()
        assert data.startswith(trace_line("source.example.net", DOMAIN))
        message = email.message_from_bytes(data.split(b"\r\n", 1)[1])
        assert message["To"] is not None
        assert len(data) > 2000


def test_smuggled_end_lines_stay_data(gateway):
    with gateway.connect() as conn:
        open_transaction(conn)
        conn.send(b"Subject: t\r\n\r\nline1\r\n"
                  b".\nMAIL FROM:<evil@example.com>\r\n"      # "." ended by a bare LF
                  b"x\n.\r\nRCPT TO:<evil@example.com>\r\n"   # "." CR LF after a bare-LF line
                  b".x\n" + b"a" * 100 + b".\r\n"              # tail piece of a long line
                  b"..\r\n"
                  b".\r\n")
        assert conn.reply() == (250, b"250 Mail Received OK\r\n")
        assert conn.command("QUIT") == (221, b"221 Goodbye\r\n")
    stored = wait_stored(gateway, 1)
    assert len(stored) == 1
    assert stored[0].read_bytes() == (
        trace_line("client.example.com", DOMAIN) +
        b"Subject: t\r\n\r\nline1\r\n\nMAIL FROM:<evil@example.com>\r\n"
        b"x\n\r\nRCPT TO:<evil@example.com>\r\nx\n" + b"a" * 100 + b".\r\n.\r\n")


def test_unstorable_mail_is_refused_with_451(gateway):
    # OUT replaced by a plain file: the spool file cannot be created.
    aside = gateway.root / "OUT.aside"
    gateway.out_dir.rename(aside)
    gateway.out_dir.write_bytes(b"")
    try:
        with gateway.connect() as conn:
            open_transaction(conn)
            conn.send(b"Subject: lost?\r\n\r\nbody\r\n.\r\n")
            assert conn.reply() == (451, b"451 Requested action aborted: local error in processing\r\n")
            # The session goes on: the next transaction starts with MAIL.
            assert conn.command("MAIL FROM:<again@example.com>")[0] == 250
            assert conn.command("QUIT")[0] == 221
    finally:
        gateway.out_dir.unlink()
        aside.rename(gateway.out_dir)
    assert stored_messages(gateway) == []
    gateway.send("a@example.com", ["1@fax.example.com"], b"Subject: ok\r\n\r\nbody\r\n")
    assert len(wait_stored(gateway, 1)) == 1


def test_lost_connection_in_data_leaves_no_file(gateway):
    conn = gateway.connect()
    open_transaction(conn)
    conn.send(b"Subject: cut\r\n\r\nhalf a mess")
    conn.sock.shutdown(socket.SHUT_WR)
    assert conn.wait_closed()  # no reply: nothing was acknowledged
    conn.close()
    assert "SMTPIn- Datastream ended - close file: " in gateway.log_text()
    assert stored_messages(gateway) == []
    assert list(gateway.out_dir.iterdir()) == []


def test_session_entries_in_both_logs(gateway):
    gateway.send("a@example.com", ["1@fax.example.com"], b"Subject: log\r\n\r\nbody\r\n")
    # The connection thread still tears down after the client has gone.
    primary = wait_log(gateway, "ClientThreadEntry : Thread info structure deleted.")
    secondary = gateway.log_text(secondary=True)
    for text in ("SMTPIn- HELO not received",  # smtplib's EHLO
                 "SMTPIn- Acknowledged HELO (RelayDomainName): client.example.com",
                 "SMTPIn- Datastream ended - close file: ", "SMTPIn listening to port %d" % gateway.port,
                 "ClientThreadEntry : closesocket succeeded."):
        assert text in primary, text
    for text in ("SMTPIn- DATA received", "SMTPIn- Acknowledged MAIL (From): FROM:<a@example.com>"):
        assert text in secondary, text
