"""cvsmtpgw.exe as an administrator meets it: -i and -u without a desktop, a refused registry write, a
ProgramPath that cannot hold the spool, and scanners that open the spool's files without sharing deletion.
(Settings under WOW6432Node: the registry backend's unit tests.)"""

import email
import email.policy
import os
import subprocess
import time
import uuid

import pytest

from gateway_harness import FAX, GATEWAY_KEY, free_port, wait_until, write_hive
from outbound_support import ScriptedReceiver, message_file
from wine_support import (EVENT_SOURCE_KEY, SERVICE_KEY, WINE, binary, own_lines, prefix,
                          reg_delete, reg_import, reg_query, run, windows_path, wine_env)

NAME = "Corvane SMTP Server"
PDF = b"%PDF-1.4\n" + bytes(range(256)) * 40


def without_desktop(events, *args: str, **env: str) -> subprocess.CompletedProcess:
    """cvsmtpgw.exe with `args` in a window station nobody sees; a message box there would wait for ever."""
    return run(str(binary("test_helper.exe")), "no-desktop", str(binary()), *args, check=False, timeout=60,
               env=wine_env(CVSMTPGW_EVENT_COPY=windows_path(events), **env))


def test_install_and_remove_without_a_desktop(tmp_path):
    events = tmp_path / "events.log"
    port = free_port()
    write_hive(tmp_path / "settings.reg", {"ProgramPath": "C:\\spool\\", "SmtpRxPort": port})
    reg_delete(GATEWAY_KEY)
    reg_import(tmp_path / "settings.reg")
    seen = lambda: events.read_text().splitlines() if events.exists() else []
    try:
        installed = without_desktop(events, "-i")
        assert (installed.returncode, own_lines(installed.stderr)) == (0, ["Finished: Service Successfully Installed"])
        assert installed.stdout.replace("\r\n", "\n") == (
            "To let mail in through the firewall, run as an administrator:\n"
            f'  netsh advfirewall firewall add rule name="{NAME}" dir=in action=allow protocol=TCP '
            f'localport={port} program="{windows_path(binary())}" enable=yes\n')
        assert seen() == [f"{NAME}: event 420 type 4: {NAME}",
                          f"{NAME}: event 426 type 4: {NAME}, Finished, Service Successfully Installed"]
        config = dict(line.split("=", 1) for line in run(str(binary("test_helper.exe")), "service-config", NAME)
                      .stdout.splitlines())
        assert config["description"].startswith("Receives mail for the fax server")
        assert config["preshutdown"] == "30000"
        # Wine takes the recovery actions without keeping them; the switches its service manager does not
        # know are in the service's key, where Windows keeps them too.
        key = reg_query(SERVICE_KEY)
        assert key["DelayedAutostart"] == key["FailureActionsOnNonCrashFailures"] == ("REG_DWORD", "0x1")
        again = without_desktop(events, "-i")
        assert (again.returncode, own_lines(again.stderr)) == (1, ["Error: Installation: Service Is already installed!! "])
        assert seen()[-1] == f"{NAME}: event 426 type 1: {NAME}, Error, Installation: Service Is already installed!! "
    finally:
        removed = without_desktop(events, "-u")
        wait_until(lambda: not reg_query(SERVICE_KEY), 30, lambda: "service key still there")
    assert (removed.returncode, own_lines(removed.stderr)) == (0, ["Finished: Service Removed !!, Please Reboot To Finish"])
    assert seen()[-2:] == [f"{NAME}: event 421 type 4: {NAME}",
                           f"{NAME}: event 426 type 4: {NAME}, Finished, Service Removed !!, Please Reboot To Finish"]
    gone = without_desktop(events, "-u")
    assert (gone.returncode, own_lines(gone.stderr)) == (1, ["Error: Failed to Locate Installed Service"])


def test_a_refused_event_source_registration_fails_the_installation(tmp_path):
    # The registry refuses the event source's values (here the test build's fault seam does): the
    # installation says so and fails, where it once reported success with the write only held.
    events = tmp_path / "events.log"
    refused = "write:1000::HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\*"
    reg_delete(EVENT_SOURCE_KEY)
    try:
        result = without_desktop(events, "-i", CVSMTPGW_FAULTS=refused)
        lines = own_lines(result.stderr)
        assert (result.returncode, lines[0]) == (1, "Error: Unable to Install Event Log for the Service")
        assert lines[1].startswith("cvsmtpgw: HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\")
        assert "EventMessageFile" not in reg_query(EVENT_SOURCE_KEY)
    finally:
        assert without_desktop(events, "-u").returncode == 0
        wait_until(lambda: not reg_query(SERVICE_KEY), 30, lambda: "service key still there")


CJK = "\u65e5\u672c"  # in no Western code page


@pytest.mark.parametrize("case, value, problem", [
    ("no final backslash", "C:\\{spool}", "it does not end with \\, and the spool's names are made by appending to it"),
    ("relative", "{spool}\\", "it is not an absolute path (a drive letter and \\, or \\\\server\\share\\)"),
    ("outside the code page", "C:\\{spool}" + CJK + "\\",
     "it holds characters that the system's ANSI code page cannot show, so the gateway would use another "
     "path; choose a directory whose name has none"),
    ("no hard links", "C:\\{spool}\\",
     "a file cannot get a second name (a hard link, which every hand-off needs) in C:\\{spool}\\OUT: "
     "A device attached to the system is not functioning. (31); its file system is NTFS"),
])
def test_a_program_path_that_cannot_hold_the_spool_stops_the_start(tmp_path, case, value, problem):
    spool = f"cvgw-{uuid.uuid4().hex[:8]}"
    for d in ("IN", "OUT"):
        (prefix() / "drive_c" / spool / d).mkdir(parents=True)
    value, problem = value.format(spool=spool), problem.format(spool=spool)
    reg = "\r\n".join(["Windows Registry Editor Version 5.00", "", f"[{GATEWAY_KEY}]",
                       '"ProgramPath"="' + value.replace("\\", "\\\\") + '"', f'"SmtpRxPort"=dword:{free_port():08x}',
                       "", ""])
    (tmp_path / "settings.reg").write_bytes(b"\xff\xfe" + reg.encode("utf-16-le"))  # as regedit writes it
    reg_delete(GATEWAY_KEY)
    reg_import(tmp_path / "settings.reg")
    events = tmp_path / "events.log"
    # A volume without hard links (FAT, exFAT) is played by the fault seam failing the probe's link.
    faults = "rename:1000::*.cvsmtpgw-start-check-link" if case == "no hard links" else ""
    result = run(str(binary()), "-m", check=False, timeout=60,
                 env=wine_env(CVSMTPGW_EVENT_COPY=windows_path(events), CVSMTPGW_FAULTS=faults))
    shown = value if case != "outside the code page" else "C:\\" + spool + "??\\"  # as the ANSI calls read it
    assert result.returncode == 2
    assert own_lines(result.stderr) == [f'cvsmtpgw: cannot start: ProgramPath "{shown}" cannot be used: {problem}']
    assert events.read_text() == f"{NAME}: event 425 type 1: {NAME}, {shown}, {problem}\n"
    assert sorted(os.listdir(prefix() / "drive_c" / spool / "OUT")) == []  # nothing written, the probe gone


def scanner(directory, milliseconds: int, *patterns: str) -> subprocess.Popen:
    """test_helper scan: opens the files again and again without sharing deletion, as a scanner does."""
    out = open(directory.parent / f"scan-{uuid.uuid4().hex[:6]}.txt", "w+b")
    proc = subprocess.Popen([WINE, str(binary("test_helper.exe")), "scan", str(milliseconds), windows_path(directory),
                             *patterns], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL, env=wine_env())
    proc.output = out
    return proc


def scanned(proc: subprocess.Popen) -> dict[str, int]:
    proc.wait(60)
    proc.output.seek(0)
    text = proc.output.read().decode("latin-1")
    return {k: int(v) for k, v in (f.split("=") for f in text.split())}


def test_mails_received_under_a_scanner_are_handed_off_once(make_gateway):
    # The spool files, Msgcnt.imp and the attachment lists are opened again and again by a program
    # that does not share deletion. Every mail still becomes one job, and no work file is left.
    gw = make_gateway()
    scan = scanner(gw.out_dir, 2500, "*.zqx", "Msgcnt.imp", "~ATTC*.imp")
    count = 8
    for i in range(count):
        mail = f"From: a@example.com\r\nTo: {FAX}\r\nSubject: scanned {i}\r\n\r\nbody {i}\r\n"
        assert gw.send("a@example.com", [FAX], mail.encode()) == {}
    gw.wait_for_files("ENV*.tmp", count, timeout=30)
    wait_until(lambda: not gw.files("*.zqx") and not gw.files("Msgcnt.imp") and not gw.files("~ATTC*"), 30,
               lambda: f"work files left: {os.listdir(gw.out_dir)}")
    seen = scanned(scan)
    assert seen["opened"] + seen["refused"] > 0, seen  # the scanner met the files
    subjects = sorted(p.read_bytes().split(b"SUBJECT: ")[1].split(b"\r\n")[0] for p in gw.files("ENV*.tmp"))
    assert subjects == sorted(f"scanned {i}".encode() for i in range(count))
    # Nothing failed on the way, not even for a moment (a rename or deletion by name would have).
    assert "SMTPIn- Error" not in gw.text("debug.log") + gw.text("debug2.log"), gw.diagnostics()


def test_an_outbound_message_read_by_a_scanner_is_delivered_once(make_gateway, tmp_path):
    sink = ScriptedReceiver()
    try:
        gw = make_gateway(start=False, values={"SmtpTxPort": sink.port, "DNSName": "127.0.2.53",
                                               "MailFrom": "fax@fax.example.com", "SetMailFrom": 1})
        report = gw.in_dir / "report.tmp"
        (gw.in_dir / "fax.pdf").write_bytes(PDF)
        report.write_bytes(message_file("user@127.0.0.1", "Scanned", ["A fax came in.", "Two pages."],
                                        [("fax.pdf", "fax.pdf")]))
        # A scanner holds the message when the gateway first looks: the gateway waits for it.
        with open(tmp_path / "holder.txt", "w+b") as out:
            holder = subprocess.Popen([WINE, str(binary("test_helper.exe")), "open-no-delete", windows_path(report)],
                                      stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL, env=wine_env())
            wait_until(lambda: (tmp_path / "holder.txt").read_bytes().startswith(b"opened"), 30)
            gw.start()
            gw.wait_log("SMTPOut- Message in use, looked at again later: report.tmp")
            # Then it lets go, and scanners go on opening it while the gateway delivers: the message
            # is deleted through the handle that read it, which none of them can stop or undo.
            scan = scanner(gw.in_dir, 2500, "*.tmp")
            time.sleep(1)
            holder.stdin.close()
            holder.wait(30)
        wait_until(lambda: not report.exists(), 60, lambda: f"not delivered:\n{gw.diagnostics()}")
        seen = scanned(scan)
        left = [n for n in os.listdir(gw.in_dir) if n.startswith(("report", "REPORT"))]
        assert len(sink.mails) == 1 and not left, (seen, os.listdir(gw.in_dir))
        sender, rcpt, mail = sink.mails[0]
        assert rcpt == "<USER@127.0.0.1>" and sender == "<fax@fax.example.com>"
        # Read and written through the Windows runtime: the text keeps its lines, the attachment its bytes.
        message = email.message_from_bytes(mail, policy=email.policy.default)
        text, attachment = message.get_payload()
        assert text.get_payload().splitlines() == ["A fax came in.", "Two pages."]
        assert attachment.get_filename() == "fax.pdf" and attachment.get_payload(decode=True) == PDF
        assert not (gw.in_dir / "fax.pdf").exists()
        assert seen["opened"] > 0, seen  # it had the message before the gateway took it again
        assert "cannot be deleted" not in gw.text("debug.log")
    finally:
        sink.close()
