"""The inbound SMTP server with real clients: what they are told and what is stored."""

import email

from smtp_store import trace_line, wait_log, wait_stored

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
