"""The inbound SMTP server with real clients: what they are told and what is stored."""

import email
import subprocess

from gateway_harness import run_smtp_source


def trace_line(helo):  # put before each stored mail
    return f"Received: from {helo} by fax.example.com ; \r\n".encode()


def test_smtplib_falls_back_to_helo_and_stores(gateway):
    body = (b"From: sender@example.com\r\nTo: 4711@fax.example.com\r\nSubject: dots\r\n\r\n"
            b"first line\r\n.starts with a dot\r\n..two dots\r\n.\r\n last\r\n")
    with gateway.smtp() as client:
        assert client.ehlo()[0] == 500
        assert client.helo()[0] == 250
        assert client.sendmail("sender@example.com", ["4711@fax.example.com"], body) == {}
    # smtplib stuffs the dots; the stored copy is the message as written.
    assert [p.read_bytes() for p in gateway.wait_stored(1)] == [trace_line("client.example.com") + body]
    # The connection thread still tears down after the client has gone.
    gateway.wait_log("ClientThreadEntry : Thread info structure deleted.")


def test_swaks_delivers(gateway, tmp_path):
    (tmp_path / "mail.txt").write_bytes(b"Subject: swaks\r\n\r\nbody line\r\n.leading dot\r\n")
    run = subprocess.run(["/usr/bin/swaks", "--server", f"127.0.0.1:{gateway.port}", "--timeout", "29",
                          "--helo", "swaks.example.org", "--from", "s@example.org", "--to", "4711@fax.example.com",
                          "--data", f"@{tmp_path / 'mail.txt'}"], stdin=subprocess.DEVNULL,
                         capture_output=True, text=True, timeout=30)
    assert run.returncode == 0 and "250 Mail Received OK" in run.stdout, run.stdout + run.stderr
    (stored,) = gateway.wait_stored(1)
    text = stored.read_bytes()
    assert text.startswith(trace_line("swaks.example.org"))
    assert text.rstrip(b"\r\n").endswith(b"\r\nbody line\r\n.leading dot")  # swaks adds a line end


def test_smtp_source_sessions_are_all_stored(gateway):
    run_smtp_source(gateway.port, 6, 3, 2000, "-M", "source.example.net", "-f", "src@example.net",
                    "-t", "4711@fax.example.com")
    stored = gateway.wait_stored(6)
    assert len(stored) == 6
    for path in stored:
        data = path.read_bytes()
        assert data.startswith(trace_line("source.example.net")) and len(data) > 2000
        assert email.message_from_bytes(data.split(b"\r\n", 1)[1])["To"] is not None
