"""The POSIX tests of crash recovery, the stop under load, recovery at start and a full disk, against cvsmtpgw.exe."""

import pytest

from test_crash_recovery import (  # noqa: F401
    test_killed_at_random_moments_loses_nothing_acknowledged,
    test_stop_under_load_leaves_every_acknowledged_mail_safe,
)
from test_full_disk import small_spool, test_full_disk_refuses_new_mail_and_hands_off_what_waited_once_space_returns  # noqa: F401
from test_spool_recovery import test_start_hands_off_what_was_left_and_keeps_aside_what_it_cannot_read  # noqa: F401
from wine_support import WineGateway


@pytest.fixture(autouse=True)
def exit_status_through_cmd(monkeypatch):  # these tests check the exit status of stops under load
    monkeypatch.setattr(WineGateway, "through_cmd", True)
