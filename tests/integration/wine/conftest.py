"""WineGateways from `make_gateway`, so that POSIX tests run here unchanged; wine's service manager kept up."""

import pytest

from wine_support import WineGateway, keep_server, prefix
from gateway_harness import gateway_fixture  # noqa: E402 - on the path that wine_support gives


@pytest.fixture(autouse=True)
def wine_server():
    prefix()
    keep_server()


@pytest.fixture
def make_gateway(request):
    yield from gateway_fixture(request, WineGateway)
