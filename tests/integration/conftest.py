"""`make_gateway(values=, debug_logs=, binary=, env=, start=)`, and `syslog`: the events and mail log it sends."""

import pytest

from gateway_harness import Gateway, gateway_fixture
from outbound_support import SyslogSocket


@pytest.fixture
def make_gateway(request):
    yield from gateway_fixture(request, Gateway)


@pytest.fixture
def syslog(tmp_path, monkeypatch):
    """The gateway's events and mail-log lines, on a socket of the test's own."""
    sock = SyslogSocket(tmp_path / "syslog")
    monkeypatch.setenv("CVSMTPGW_SYSLOG_SOCKET", str(sock.path))
    yield sock
    sock.close()
