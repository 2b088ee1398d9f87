"""cvsmtpgw.exe as a service in wine's service manager: -i creates it (its registry key, since
`sc qc` prints nothing under wine) and registers the event source, it starts and serves mail,
refuses removal while it runs, stops cleanly, and -u removes it. Wine's event log keeps nothing:
events are checked in wine's trace of ReportEventW and in the copy the gateway writes to
$CVSMTPGW_EVENT_COPY. A service gets its environment from the service manager, so the variable
is set in the system environment (the registry) and wine restarted to read it."""

import socket
import time
import uuid

import pytest

from gateway_harness import GATEWAY_KEY, LOOPBACK, free_port, wait_until, write_hive, _listening
from wine_support import (EVENT_SOURCE_KEY, SERVICE_KEY, binary, keep_server, prefix, reg_delete, reg_import,
                          reg_query, run, windows_path, wine_env, wineserver)

NAME = "Corvane SMTP Server"
FAX = "4711@fax.example.com"
SYSTEM_ENVIRONMENT = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager\Environment"


def restart_wine() -> None:
    """Ends every wine process of the prefix; the next wine command starts afresh."""
    wineserver("-k")
    wineserver("-w")
    keep_server()


@pytest.fixture
def event_copy(tmp_path):
    """The copy of every event of every wine process, the service's too, in a file."""
    events = tmp_path / "events.log"
    run("reg", "add", SYSTEM_ENVIRONMENT, "/v", "CVSMTPGW_EVENT_COPY", "/t", "REG_SZ", "/d", windows_path(events), "/f")
    restart_wine()
    yield events
    run("reg", "delete", SYSTEM_ENVIRONMENT, "/v", "CVSMTPGW_EVENT_COPY", "/f", check=False)
    restart_wine()


def service_state() -> str:
    out = run("sc", "query", NAME, check=False).stdout
    return next((line.split()[-1] for line in out.splitlines() if "STATE" in line), "")


def test_install_start_stop_and_remove(tmp_path, event_copy):
    spool = prefix() / "drive_c" / f"cvgw-svc-{uuid.uuid4().hex[:8]}"
    for d in ("IN", "OUT"):
        (spool / d).mkdir(parents=True)
    port = free_port()
    hive = tmp_path / "settings.reg"
    # Named from drive C: (the prefix's drive_c): a path through the build directory may pass the 80 bytes
    # that ProgramPath may take.
    write_hive(hive, {"ProgramPath": f"C:\\{spool.name}\\", "DomainName": "fax.example.com", "SmtpRxPort": port,
                      "TmpIndex": 0, "OUTIndex": 0, "OUTIndexAtt": 0, "DNSName": LOOPBACK,
                      "logfile": f"C:\\{spool.name}\\debug.log"})
    reg_delete(GATEWAY_KEY)
    reg_import(hive)
    events = event_copy
    env = wine_env(WINEDEBUG="+eventlog")
    exe = str(binary())

    installed = run(exe, "-i", env=env, check=False)
    assert installed.returncode == 0
    assert "Finished: Service Successfully Installed" in installed.stderr
    assert "0x000001a4" in installed.stderr  # wine's trace of ReportEventW: event 420
    key = reg_query(SERVICE_KEY)
    assert key["ImagePath"][1] == f'"{windows_path(binary())}"'
    assert key["Start"] == ("REG_DWORD", "0x2") and key["Type"] == ("REG_DWORD", "0x10")
    assert key["ErrorControl"] == ("REG_DWORD", "0x1")
    source = reg_query(EVENT_SOURCE_KEY)
    assert source["EventMessageFile"] == ("REG_EXPAND_SZ", windows_path(binary()))
    assert source["TypesSupported"] == ("REG_DWORD", "0x7")
    assert events.read_text() == f"{NAME}: event 420 type 4: {NAME}\n"
    again = run(exe, "-i", env=env, check=False)
    assert "Error: Installation: Service Is already installed!! " in again.stderr

    try:
        assert service_state() == "STOPPED"
        run("sc", "start", NAME)
        wait_until(lambda: _listening(port), 60, lambda: f"service not listening; state {service_state()}")
        assert wait_until(lambda: service_state() == "RUNNING", 30)
        import smtplib
        with smtplib.SMTP(LOOPBACK, port, timeout=30) as client:
            assert client.sendmail("a@example.com", [FAX], b"Subject: via the service\r\n\r\nbody\r\n") == {}
        wait_until(lambda: list((spool / "OUT").glob("ENV*.tmp")), 30)

        refused = run(exe, "-u", env=env, check=False)
        assert "Error: Service is RUNNING.First STOP it to uninstall the SERVICE!!" in refused.stderr
        assert reg_query(SERVICE_KEY)

        # A client that stays silent after the greeting does not hold the stop up:
        # its session ends at once rather than after the 5 s given to mails under way.
        idle = socket.create_connection((LOOPBACK, port), timeout=30)
        assert idle.recv(100).startswith(b"220 ")
        started = time.monotonic()
        run("sc", "stop", NAME, check=False)
        wait_until(lambda: service_state() == "STOPPED", 60, lambda: f"service state {service_state()}")
        assert time.monotonic() - started < 4
        assert idle.recv(100) == b""
        idle.close()
        assert not _listening(port)
        log = (spool / "debug.log").read_bytes().decode("latin-1")
        assert "OnStopService: Will set the stop event and stop the service." in log
        assert "Smtpservice: Leaving the Service main." in log
        assert events.read_text().endswith(f"{NAME}: event 428 type 4: {NAME}\n")  # from the service
    finally:
        removed = run(exe, "-u", env=env, check=False)
    assert "Finished: Service Removed !!, Please Reboot To Finish" in removed.stderr
    assert "0x000001a5" in removed.stderr  # event 421
    wait_until(lambda: not reg_query(SERVICE_KEY), 30, lambda: "service key still there")
    assert events.read_text().endswith(f"{NAME}: event 421 type 4: {NAME}\n")
    gone = run(exe, "-u", env=env, check=False)
    assert "Error: Failed to Locate Installed Service" in gone.stderr
