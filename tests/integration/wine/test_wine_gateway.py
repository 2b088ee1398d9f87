"""cvsmtpgw.exe under wine from end to end: a mail becomes, byte for byte, the submission the Linux build writes;
the console and command-prompt modes."""

import email.policy
import os
import shutil
from email.message import EmailMessage
from pathlib import Path

from gateway_harness import FAX, Gateway, wait_until
from wine_support import binary, own_lines, run


def fax_mail() -> bytes:
    message = EmailMessage()
    message["From"], message["To"], message["Subject"] = "sender@example.com", FAX, "wine test"
    # Lines of every kind the text mode meets: empty ones, a dot first, a CR inside.
    message.set_content("First line\n\n.a dot first\nlast line with a \r in it\n")
    message.add_attachment(b"%PDF-1.4\n" + bytes(range(256)) * 40, maintype="application", subtype="pdf",
                           filename="report.pdf")
    return message.as_bytes(policy=email.policy.SMTP)


def submission(gw) -> dict[str, bytes]:
    assert gw.send("sender@example.com", [FAX], fax_mail()) == {}
    gw.wait_for_files("ENV*.tmp", timeout=30)
    wait_until(lambda: not gw.files("*.zqx"), 30)
    return {p.name: p.read_bytes() for p in gw.out_dir.iterdir() if p.name.startswith(("ENV", "ATT"))}


def test_a_mail_becomes_the_submission_the_linux_build_writes(make_gateway):
    gw = make_gateway(start=False)
    # A mail log of long ago, which the first line of the day sweeps away, and a file of another kind.
    (gw.root / "MailLog").mkdir()
    for kept in ("20000101.log", "notes.txt"):
        (gw.root / "MailLog" / kept).write_text("x\r\n")
    on_wine = submission(gw.start())
    # The mail's line in the day's file below the program directory.
    day = wait_until(lambda: [p for p in (gw.root / "MailLog").glob("20*.log") if p.name != "20000101.log"] or None,
                     10, lambda: str(list((gw.root / "MailLog").iterdir())))
    lines = day[0].read_text("latin-1").splitlines()
    assert len(lines) == 1 and " in: client=127.0.0.1 " in lines[0] and "submission=ENV0.tmp" in lines[0], lines
    assert sorted(p.name for p in (gw.root / "MailLog").iterdir()) == sorted([day[0].name, "notes.txt"])

    linux_binary = os.environ.get("CVSMTPGW_POSIX_BINARY", "")
    assert Path(linux_binary).is_file(), f"the Linux build's gateway is needed: CVSMTPGW_POSIX_BINARY={linux_binary!r}"
    linux = Gateway(binary=Path(linux_binary)).start()
    try:
        assert submission(linux) == on_wine
    finally:
        linux.stop()
        if not linux.problems():
            shutil.rmtree(linux.root, ignore_errors=True)


def test_console_and_command_prompt_modes(make_gateway, tmp_path):
    gateway = make_gateway()
    assert gateway.stop() == 1 and not gateway.stop_failed  # q
    assert gateway.text("stdout.txt") == "Press q to stop the gateway\r\n"  # the runtime's text mode
    # No switch from a command prompt: the two messages (to standard error too, no desktop here), exit status 1.
    result = run(str(binary()), cwd=tmp_path, check=False, timeout=60)
    assert result.returncode == 1
    assert own_lines(result.stderr)[-2:] == [
        "Startup Message: Command prompt:Service will about to start",
        "Error: The service process could not connect to the service controller."]
