"""cvsmtpgw.exe in wine's service manager: -i, start, serve, removal refused while running, stop, -u; the states
QueryServiceStatusEx shows while the port is taken. Events are read from wine's trace of ReportEventW and the
copy at $CVSMTPGW_EVENT_COPY, set (with the shorter wait for a taken port) in the system environment, wine
restarted once for this module to read it."""

import re
import socket
import subprocess
import time
import uuid
from pathlib import Path

import pytest

from gateway_harness import GATEWAY_KEY, LOOPBACK, free_port, wait_until, write_hive, _listening
from wine_support import (EVENT_SOURCE_KEY, SERVICE_KEY, WINE, binary, keep_server, prefix, reg_delete, reg_import,
                          reg_query, run, windows_path, wine_env, wineserver)

NAME = "Corvane SMTP Server"
FAX = "4711@fax.example.com"
SYSTEM_ENVIRONMENT = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager\Environment"
BIND_RETRY_MS = 8000  # the service's wait for a taken port, instead of 30 s
STOPPED, START_PENDING, STOP_PENDING, RUNNING = 1, 2, 3, 4
ACCEPTED = 0x10D  # stop, shutdown, parameter change, pre-shutdown


def restart_wine() -> None:
    """Ends every wine process of the prefix; the next wine command starts afresh."""
    wineserver("-k")
    wineserver("-w")
    keep_server()


class EventCopy:
    """The copy of every event of every wine process, the service's too."""

    def __init__(self, path: Path):
        self.path, self.seen = path, 0

    def text(self) -> str:
        return self.path.read_text() if self.path.exists() else ""

    def new(self) -> str:  # what came since the last call
        text = self.text()
        fresh, self.seen = text[self.seen:], len(text)
        return fresh


@pytest.fixture(scope="module")
def machine(tmp_path_factory):
    """The system environment of the services, wine restarted."""
    root = tmp_path_factory.mktemp("machine")
    events = root / "events.log"
    for name, value in (("CVSMTPGW_EVENT_COPY", windows_path(events)), ("CVSMTPGW_BIND_RETRY_MS", str(BIND_RETRY_MS))):
        run("reg", "add", SYSTEM_ENVIRONMENT, "/v", name, "/t", "REG_SZ", "/d", value, "/f")
    restart_wine()
    yield EventCopy(events)
    for name in ("CVSMTPGW_EVENT_COPY", "CVSMTPGW_BIND_RETRY_MS"):
        run("reg", "delete", SYSTEM_ENVIRONMENT, "/v", name, "/f", check=False)
    restart_wine()


def service_state() -> str:
    out = run("sc", "query", NAME, check=False).stdout
    return next((line.split()[-1] for line in out.splitlines() if "STATE" in line), "")


def remove_service() -> None:
    """-u, and the wait until the service manager has let the service go (a service marked for deletion
    is still there for a moment, and an installation then finds it installed)."""
    run(str(binary()), "-u", check=False)
    wait_until(lambda: not reg_query(SERVICE_KEY), 30, lambda: "service key still there")


def service_settings(tmp_path: Path, port: int) -> Path:
    """The gateway's settings for a spool below drive C:, in the registry: its spool."""
    spool = prefix() / "drive_c" / f"cvgw-svc-{uuid.uuid4().hex[:8]}"
    for d in ("IN", "OUT"):
        (spool / d).mkdir(parents=True)
    hive = tmp_path / "settings.reg"
    # Named from drive C: (the prefix's drive_c): a path through the build directory may pass the 80 bytes
    # that ProgramPath may take.
    write_hive(hive, {"ProgramPath": f"C:\\{spool.name}\\", "DomainName": "fax.example.com", "SmtpRxPort": port,
                      "ClientNetworks": "127.0.0.0/8",
                      "TmpIndex": 0, "OUTIndex": 0, "OUTIndexAtt": 0, "DNSName": LOOPBACK,
                      "logfile": f"C:\\{spool.name}\\debug.log"})
    reg_delete(GATEWAY_KEY)
    reg_import(hive)
    return spool


def installed_service(tmp_path: Path, port: int) -> Path:
    """The settings, and the service installed: its spool."""
    spool = service_settings(tmp_path, port)
    run(str(binary()), "-i")
    return spool


class Watch:
    """test_helper service-watch in the background: the service's states as QueryServiceStatusEx shows them."""

    def __init__(self, tmp_path: Path, port: int, milliseconds: int = 40000):
        self.out = tmp_path / f"watch-{uuid.uuid4().hex[:6]}.txt"
        with open(self.out, "wb") as out:
            self.proc = subprocess.Popen([WINE, str(binary("test_helper.exe")), "service-watch", NAME, str(port),
                                          str(milliseconds)], stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.DEVNULL, env=wine_env())
        wait_until(lambda: self.states(), 30, lambda: "the watch shows nothing")  # it sees the stopped service

    def lines(self) -> list[str]:
        return self.out.read_text("latin-1").splitlines() if self.out.exists() else []

    def states(self) -> list[dict]:
        rows = []
        for line in self.lines():
            if line.startswith("t="):
                rows.append({k: int(v, 0) for k, v in (f.split("=") for f in line.split())})
            elif rows:
                rows[-1]["port"] = line.strip()
        return rows

    def wait(self, state: int, timeout: float = 30) -> dict:
        return wait_until(lambda: next((r for r in self.states()[1:] if r["state"] == state), None), timeout,
                          lambda: f"state {state} not seen: {self.lines()}")

    def end(self) -> list[dict]:
        self.proc.wait(60)
        return self.states()


def held_port() -> tuple[socket.socket, int]:
    """A port that another program listens on, as another mail server would."""
    taken = socket.socket()
    taken.bind((LOOPBACK, 0))
    taken.listen()
    return taken, taken.getsockname()[1]


def test_install_start_stop_and_remove(tmp_path, machine):
    port = free_port()
    spool = service_settings(tmp_path, port)
    events = machine
    events.new()
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
    assert events.new() == f"{NAME}: event 420 type 4: {NAME}\n"

    try:
        assert service_state() == "STOPPED"
        run("sc", "start", NAME)
        wait_until(lambda: _listening(port), 60, lambda: f"service not listening; state {service_state()}")
        assert wait_until(lambda: service_state() == "RUNNING", 30)
        import smtplib
        with smtplib.SMTP(LOOPBACK, port, timeout=30) as client:
            assert client.sendmail("a@example.com", [FAX], b"Subject: via the service\r\n\r\nbody\r\n") == {}
        wait_until(lambda: list((spool / "OUT").glob("ENV*.tmp")), 30)

        # A changed ClientNetworks takes effect at the service's paramchange control: this client
        # is outside it now, and a session already open keeps its verdict.
        kept = socket.create_connection((LOOPBACK, port), timeout=30)
        assert kept.recv(100).startswith(b"220 ")
        run("reg", "add", GATEWAY_KEY, "/v", "ClientNetworks", "/t", "REG_SZ", "/d", "127.0.0.2/32", "/f")
        run(str(binary("test_helper.exe")), "service-paramchange", NAME)

        def greeting() -> bytes:
            with socket.create_connection((LOOPBACK, port), timeout=30) as probe:
                return probe.recv(100)
        wait_until(lambda: greeting().startswith(b"554 Access denied"), 30, lambda: f"greeting {greeting()!r}")
        kept.sendall(b"HELO client.example\r\n")
        assert kept.recv(100).startswith(b"250 ")
        kept.close()
        run("reg", "add", GATEWAY_KEY, "/v", "ClientNetworks", "/t", "REG_SZ", "/d", "127.0.0.0/8", "/f")
        run(str(binary("test_helper.exe")), "service-paramchange", NAME)
        wait_until(lambda: greeting().startswith(b"220 "), 30, lambda: f"greeting {greeting()!r}")

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
        assert events.new().endswith(f"{NAME}: event 428 type 4: {NAME}\n")  # from the service
    finally:
        removed = run(exe, "-u", env=env, check=False)
    assert "Finished: Service Removed !!, Please Reboot To Finish" in removed.stderr
    assert "0x000001a5" in removed.stderr  # event 421
    wait_until(lambda: not reg_query(SERVICE_KEY), 30, lambda: "service key still there")
    assert events.new().endswith(f"{NAME}: event 421 type 4: {NAME}\n")


def test_starts_while_another_program_holds_the_port(tmp_path, machine):
    taken, port = held_port()
    events = machine
    spool = installed_service(tmp_path, port)
    try:
        # A stop while the service still waits for its port: it stops at once, without an error.
        watch = Watch(tmp_path, port)
        run("sc", "start", NAME)
        # Taken from the service's second report on: a stop sent before it is refused and sent again.
        wait_until(lambda: run("sc", "stop", NAME, check=False).returncode == 0, 10, lambda: service_state())
        states = watch.end()
        assert RUNNING not in [r["state"] for r in states]
        # (Well within the port's retries: wine on a loaded machine takes seconds to pass a stop on.)
        assert states[-1]["t"] - states[1]["t"] < BIND_RETRY_MS - 2000 and (states[-1]["exit"], states[-1]["specific"]) == (0, 0)
        events.new()

        # A port that stays taken: the event says which and why, and the service stops with its own
        # exit code, so that its recovery actions start it again.
        watch = Watch(tmp_path, port)
        run("sc", "start", NAME)
        states = watch.end()
        assert RUNNING not in [r["state"] for r in states]
        assert (states[-1]["exit"], states[-1]["specific"]) == (1066, 3)
        assert states[-1]["t"] - states[1]["t"] >= BIND_RETRY_MS - 500
        event = re.search(rf"{NAME}: event 424 type 1: {NAME}, {port}, (.*) \(10048\)\n", events.new())
        assert event, events.text()

        # The port is another program's for a while (a mail server being stopped): the service goes on
        # starting, with rising check points, and runs only once it has taken the port.
        tried = lambda: (spool / "debug.log").read_text("latin-1").count("SMTPIn- Port %d could not be opened" % port)
        before = tried()
        watch = Watch(tmp_path, port)
        run("sc", "start", NAME)
        time.sleep(2.5)
        taken.close()
        running = watch.wait(RUNNING)
        assert running["port"] == "port answered" and running["controls"] == ACCEPTED
        assert tried() > before
        paused = run("sc", "pause", NAME, check=False)
        assert paused.returncode != 0 and service_state() == "RUNNING"
        run("sc", "stop", NAME)
        states = watch.end()
    finally:
        taken.close()
        remove_service()
    # (The service manager's own start-pending state, before the service reports, has check point 0.)
    starting = [r for r in states if r["state"] == START_PENDING and r["checkpoint"] > 0]
    # The first report (check point 1, gone again at once, so a poll may miss it) takes no control;
    # from the second (check point 3) on a stop is taken, and the check points rise while the port is tried.
    assert all(r["controls"] == (0 if r["checkpoint"] == 1 else ACCEPTED) for r in starting), states
    assert len([r for r in starting if r["checkpoint"] >= 3]) >= 3, states
    points = [r["checkpoint"] for r in starting]
    assert points == sorted(points) and len(set(points)) == len(points)
    order = [r["state"] for r in states if r["state"] != START_PENDING or r["checkpoint"] > 0]
    assert order[-1] == STOPPED and order.index(RUNNING) > order.index(START_PENDING)
    # No pause state, no second running report between the pause and the stop (whose pending state
    # may be too short for a poll to see).
    after = order[order.index(RUNNING) + 1:]
    assert set(after[:-1]) <= {STOP_PENDING} and after[-1] == STOPPED, states
    assert (states[-1]["exit"], states[-1]["specific"]) == (0, 0)
