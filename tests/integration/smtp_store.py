"""What the inbound SMTP server left in OUT: the stored messages.

A received message is stored as OUT/<n>.zqx; once the submission hand-off has
run, a gateway with its debug log on keeps it as OUT/<n>-<seconds>.debug
instead. Either way the bytes are the trace line and the data as received,
dot-unstuffed. Both names are found here, in order of n.
"""

from __future__ import annotations

import re
import time
from pathlib import Path

TRACE = "Received: from {helo} by {domain} ; \r\n"


def stored_messages(gw) -> list[Path]:
    found = [p for p in gw.out_dir.iterdir() if p.is_file() and re.fullmatch(r"\d+(\.zqx|-\d+\.debug)", p.name)]
    return sorted(found, key=lambda p: int(re.match(r"\d+", p.name).group()))


def wait_stored(gw, count: int, timeout: float = 10.0) -> list[Path]:
    """The stored messages once `count` of them have been handed off (the
    hand-off runs after the 250 and renames <n>.zqx), or whatever is there
    after `timeout`."""
    deadline = time.monotonic() + timeout
    while True:
        found = stored_messages(gw)
        settled = not any(p.suffix == ".zqx" for p in found)
        if (len(found) >= count and settled) or time.monotonic() > deadline:
            return found
        time.sleep(0.02)


def trace_line(helo: str, domain: str) -> bytes:
    return TRACE.format(helo=helo, domain=domain).encode("latin-1")


def wait_log(gw, text: str, timeout: float = 10.0, secondary: bool = False) -> str:
    """The log text once it holds `text` (or after `timeout`)."""
    deadline = time.monotonic() + timeout
    while True:
        log = gw.log_text(secondary)
        if text in log or time.monotonic() > deadline:
            return log
        time.sleep(0.02)
