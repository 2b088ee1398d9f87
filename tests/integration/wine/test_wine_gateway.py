"""cvsmtpgw.exe under wine from end to end: its settings imported from a .reg file into wine's
registry, a mail sent from Linux with smtplib, the submission in a spool directory inside the
prefix (drive C:) and byte for byte what the Linux build writes for the same mail; an outbound
message from IN delivered to Postfix's smtp-sink; the console and command-prompt modes."""

import email
import email.policy
import os
import time
import uuid
from email.message import EmailMessage
from pathlib import Path

import pytest

from gateway_harness import Gateway, free_port, wait_until
from outbound_support import message_file
from test_outbound_delivery import Sink
from wine_support import binary, prefix, run

FAX = "4711@fax.example.com"
PDF = b"%PDF-1.4\n" + bytes(range(256)) * 40


def fax_mail() -> bytes:
    message = EmailMessage()
    message["From"] = "sender@example.com"
    message["To"] = FAX
    message["Subject"] = "wine test"
    # Lines of every kind the text mode meets: empty ones, a dot first, a CR inside.
    message.set_content("First line\n\n.a dot first\nlast line with a \r in it\n")
    message.add_attachment(PDF, maintype="application", subtype="pdf", filename="report.pdf")
    return message.as_bytes(policy=email.policy.SMTP)


def submission(gw) -> dict[str, bytes]:
    (envelope,) = gw.wait_for_files("ENV*.tmp", timeout=30)
    wait_until(lambda: not gw.files("*.zqx"), 30)
    return {p.name: p.read_bytes() for p in gw.out_dir.iterdir() if p.name.startswith(("ENV", "ATT"))}


def test_a_mail_becomes_a_submission_in_the_prefix_as_on_linux(make_gateway):
    name = f"cvgw-{uuid.uuid4().hex[:8]}"
    spool = prefix() / "drive_c" / name
    gw = make_gateway(program_dir=spool, values={"ProgramPath": f"C:\\{name}\\", "logfile": f"C:\\{name}\\debug.log",
                                                 "logfileb": f"C:\\{name}\\debug2.log"})
    assert gw.send("sender@example.com", [FAX], fax_mail()) == {}
    on_wine = submission(gw)
    assert sorted(on_wine) == ["ATT0.pdf", "ENV0.bdy", "ENV0.tmp"]
    envelope = on_wine["ENV0.tmp"]
    assert envelope.startswith(b"FROM: <sender@example.com>\r\n") and b'TO: "4711" <4711@fax.example.com>\r\n' in envelope
    assert b"SUBJECT: wine test\r\n" in envelope and b"<<report.pdf:ATT0.pdf>>\r\n" in envelope
    assert on_wine["ATT0.pdf"] == PDF
    assert b"First line\r\n\r\n.a dot first\r\n" in on_wine["ENV0.bdy"]
    assert "Domain Name: fax.example.com" in gw.text("debug.log")

    # The same mail through the Linux build: the same files, byte for byte.
    linux_binary = os.environ.get("CVSMTPGW_POSIX_BINARY", "")
    assert Path(linux_binary).is_file(), f"the Linux build's gateway is needed: CVSMTPGW_POSIX_BINARY={linux_binary!r}"
    linux = Gateway(binary=Path(linux_binary)).start()
    try:
        assert linux.send("sender@example.com", [FAX], fax_mail()) == {}
        assert submission(linux) == on_wine
    finally:
        linux.stop()
        if not linux.problems():
            import shutil
            shutil.rmtree(linux.root, ignore_errors=True)


def test_an_outbound_message_is_delivered_to_a_sink(make_gateway):
    if os.geteuid() != 0:
        pytest.skip("smtp-sink runs as nobody: needs root")
    port = free_port()
    sink = Sink("mx.test", "127.0.0.1", port)
    try:
        gw = make_gateway(values={"SmtpTxPort": port, "DNSName": "127.0.2.53", "MailFrom": "fax@fax.example.com",
                                  "SetMailFrom": 1})
        (gw.in_dir / "fax.pdf").write_bytes(PDF)
        gw.wait_log("SMTPOut- No messages to send.")  # IN looked at and found empty
        (gw.in_dir / "report.part").write_bytes(
            message_file("user@127.0.0.1", "Fax received from 4711", ["A fax came in.", "Two pages."],
                         [("fax.pdf", "fax.pdf")]))
        arrived = time.monotonic()
        os.replace(gw.in_dir / "report.part", gw.in_dir / "report.tmp")
        # Deleted once the mail is delivered; the outbound side watches IN (ReadDirectoryChangesW),
        # so that is well before its next 10-second poll.
        wait_until(lambda: not (gw.in_dir / "report.tmp").exists(), 60, lambda: f"not delivered:\n{gw.diagnostics()}")
        assert time.monotonic() - arrived < 5
        (mail,) = sink.mails()
        message = email.message_from_bytes(mail, policy=email.policy.default)
        assert message["X-Rcpt-Args"] == "<USER@127.0.0.1>" and message["X-Mail-Args"] == "<fax@fax.example.com>"
        assert message["SUBJECT"] == "Fax received from 4711" and not message.defects
        text, attachment = message.get_payload()
        assert text.get_payload().splitlines() == ["A fax came in.", "Two pages."]
        assert attachment.get_filename() == "fax.pdf" and attachment.get_payload(decode=True) == PDF
        assert not (gw.in_dir / "fax.pdf").exists()
    finally:
        sink.stop()


def test_console_and_command_prompt_modes(gateway, tmp_path):
    assert gateway.stop() == 1 and not gateway.stop_failed  # q
    assert gateway.text("stdout.txt") == "Press q to stop the gateway\r\n"  # the runtime's text mode
    # No switch from a command prompt: the two messages (MessageBoxA returns at once
    # without a desktop; the texts go to standard error too), exit status 1.
    result = run(str(binary()), cwd=tmp_path, check=False, timeout=60)
    assert result.returncode == 1
    assert result.stderr.splitlines()[-2:] == [
        "Startup Message: Command prompt:Service will about to start",
        "Error: The service process could not connect to the service controller."]
