"""Fixtures of the Windows integration tests: `make_gateway` and `gateway` give WineGateways
(cvsmtpgw.exe under wine) with the same contract as the POSIX ones, so the POSIX tests of
crash recovery, the clean stop and a full disk run here unchanged; `wine_server` keeps
wine's service manager up for a test."""

import os
import shutil

import pytest

from wine_support import WineGateway, keep_server, prefix


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    setattr(item, f"report_{report.when}", report)


@pytest.fixture(autouse=True)
def wine_server():
    prefix()
    keep_server()


@pytest.fixture
def make_gateway(request):
    made: list[WineGateway] = []

    def factory(values=None, debug_logs=True, binary=None, start=True, program_dir=None) -> WineGateway:
        made.append(WineGateway(values=values, debug_logs=debug_logs, binary_path=binary, program_dir=program_dir))
        return made[-1].start() if start else made[-1]

    yield factory
    for gw in made:
        gw.stop(timeout=30)
    problems = [p for gw in made for p in gw.problems()]
    failed = getattr(request.node, "report_call", None) is not None and request.node.report_call.failed
    keep = os.environ.get("CVSMTPGW_KEEP") == "1" or problems or failed
    for gw in made:
        print(f"kept gateway directory {gw.root}") if keep else shutil.rmtree(gw.root, ignore_errors=True)
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def gateway(make_gateway):
    return make_gateway()
