"""The gateway under a service manager: this test is the manager. It reads the sd_notify reports in order, sends
SIGHUP and SIGTERM, and checks the events and the exit status, also of a start whose port stays taken."""

import contextlib
import os
import re
import signal
import socket
import subprocess
import time

import pytest

from gateway_harness import Gateway, _listening, gateway_fixture

START_1 = b"STATUS=Starting (check point 1)\nEXTEND_TIMEOUT_USEC=8000000"
START_3 = b"STATUS=Starting (check point 3)\nEXTEND_TIMEOUT_USEC=10000000"
RUNNING = b"READY=1\nSTATUS=Running"
STOPPING = b"STOPPING=1\nSTATUS=Stopping (check point 1)\nEXTEND_TIMEOUT_USEC=15000000"
STOPPED = b"STATUS=Stopped"
# Further check points of a long start or stop: how many depends on the machine.
FURTHER = re.compile(rb"STATUS=Starting \(check point ([4-9]|\d\d)"
                     rb"|STOPPING=1\nSTATUS=Stopping \(check point ([2-9]|\d\d)")
squeezed = lambda reports: [r for r in reports if not FURTHER.match(r)]


class ServiceGateway(Gateway):
    """A gateway with its own hive and spool, started as systemd starts a Type=notify service."""

    def __init__(self, syslog, values=None):
        super().__init__(values=values)
        self.syslog = syslog  # the conftest's, named in the environment
        self.notify_path, self.notify = self.root / "notify", socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(str(self.notify_path))

    def start_service(self, env=None):
        self.write_settings()
        base = {k: v for k, v in self.environment().items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
        base.update({"NOTIFY_SOCKET": str(self.notify_path), **(env or {})})
        with open(self.root / "stdout.txt", "ab") as out, open(self.root / "stderr.txt", "ab") as err:
            self.proc = subprocess.Popen([str(self.binary)], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         cwd=self.root, env=base, start_new_session=True)
        return self

    def report(self, timeout=10.0) -> bytes:
        self.notify.settimeout(timeout)
        try:
            return self.notify.recv(4096)
        except socket.timeout:
            raise AssertionError(f"no report within {timeout} s\n{self.diagnostics()}") from None

    def reports_until(self, last: bytes, timeout=10.0) -> list[bytes]:  # up to and with `last`
        got = [self.report(timeout)]
        while got[-1] != last:
            got.append(self.report(timeout))
        return got

    def reports_until_exit(self, timeout=20.0) -> list[bytes]:  # the remaining reports, once it has ended
        self.proc.wait(timeout)
        self.notify.settimeout(0.2)
        got = []
        with contextlib.suppress(socket.timeout):
            while True:
                got.append(self.notify.recv(4096))
        return got

    def stop(self, timeout=None):  # no console to type q into: killed if still running
        self.kill()
        self.notify.close()


@pytest.fixture
def service(request, syslog):
    yield from gateway_fixture(request, lambda **kw: ServiceGateway(syslog, **kw), start=False)


def test_states_and_controls_in_order_and_a_stop_finishes_every_hand_off(service):
    gw = service(values={"logfile": ""}).start_service()
    assert squeezed(gw.reports_until(RUNNING)) == [START_1, START_3, RUNNING]
    assert _listening(gw.port)  # running only once the port takes mail
    os.kill(gw.proc.pid, signal.SIGHUP)  # not a stop: answered with a running report
    assert gw.report() == RUNNING
    # A stop right after the last 250: every acknowledged mail still becomes a submission.
    count = 20
    with gw.smtp() as client:
        for i in range(count):
            client.sendmail("a@example.com", [f"{4700 + i}@fax.example.com"],
                            b"Subject: s\r\n\r\n" + b"line of the body\r\n" * 2000)
        # The session passes a mail to the hand-off queue just after its 250; a stop within that moment
        # leaves the hand-off to the session, which the clean stop does not wait for.
        time.sleep(0.02)
        os.kill(gw.proc.pid, signal.SIGTERM)
    assert squeezed(gw.reports_until_exit()) == [STOPPING, STOPPED]
    assert gw.proc.returncode == 0, gw.diagnostics()
    assert len(gw.files("ENV*.tmp")) == count, sorted(os.listdir(gw.out_dir))
    assert gw.files("*.zqx") == []
    assert [t for t in gw.syslog.texts() if t.startswith("event ")] == ["event 428: Corvane SMTP Server"]


def test_a_start_that_cannot_take_mail_stops_with_its_own_exit_code(service):
    # Never a running service that takes no mail: Restart=on-failure acts on the start's own exit status.
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    port = taken.getsockname()[1]
    gw = service(values={"SmtpRxPort": port})
    with taken:
        gw.start_service({"CVSMTPGW_BIND_RETRY_MS": "1500"})
        got = squeezed(gw.reports_until_exit())
    assert got == [START_1, START_3, STOPPING, b"STATUS=Stopped with the service's own exit code 3"]
    assert gw.proc.returncode == 3
    assert [t for t in gw.syslog.texts() if t.startswith("event ")] == [
        f"event 424: Corvane SMTP Server, {port}, Only one usage of each socket address "
        "(protocol/network address/port) is normally permitted. (10048)"]
