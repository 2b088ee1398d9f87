"""`gateway`, `make_gateway(values=, debug_logs=, binary=, start=)` (gateway_harness.gateway_fixture)."""

import pytest

from gateway_harness import Gateway, gateway_fixture


@pytest.fixture
def make_gateway(request):
    yield from gateway_fixture(request, Gateway)


@pytest.fixture
def gateway(make_gateway):
    return make_gateway()
