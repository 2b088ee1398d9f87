"""Outbound deliveries against a receiver that misbehaves or a gateway killed while it
delivers: each message is delivered exactly once, and the one mail that may go out
twice is the one whose receiver had taken it when the gateway died, before it read the
receiver's 250. The receiver domain is the address literal 127.0.0.1, so nothing leaves
the machine and no root is needed (bench/load_bench.py runs the large mixed outbound
load). Retries run on the test build's time scale."""

import os

import pytest

from fault_receiver import FaultReceiver
from gateway_harness import LOOPBACK, needs_seam, wait_until
from outbound_support import OUTBOUND_TIME_SCALE, message_file

DEAD_NAME_SERVER = "127.0.2.53"  # nothing listens there; the address literal needs no name server


def start_with_messages(make_gateway, mx: FaultReceiver, count: int):
    needs_seam()
    gw = make_gateway(values={"DNSName": DEAD_NAME_SERVER, "SmtpTxPort": mx.port}, debug_logs=False,
                      env=OUTBOUND_TIME_SCALE, start=False)
    for n in range(count):
        (gw.in_dir / f"F{n}.tif").write_bytes(b"II*\x00" + b"%08d" % n * 2500)
        data = message_file(f"m{n}@{LOOPBACK}", f"Fax received from out-{n}",
                            [f"A fax for message out-{n}.", ".a line that begins with a dot"], [("fax.tif", f"F{n}.tif")])
        (gw.in_dir / f"o{n}.part").write_bytes(data)
        os.replace(gw.in_dir / f"o{n}.part", gw.in_dir / f"o{n}.tmp")  # as the fax server does
    gw.start()
    return gw


def all_gone(gw, timeout: float) -> None:  # no message, attachment or mail file left in IN
    wait_until(lambda: not os.listdir(gw.in_dir), timeout, lambda: f"IN holds {sorted(os.listdir(gw.in_dir))}")


def test_hang_up_in_the_mail_text_delivers_once_on_the_next_attempt(make_gateway):
    with FaultReceiver("flaky") as mx:
        gw = start_with_messages(make_gateway, mx, 2)
        all_gone(gw, 60)
        assert mx.counts() == {0: 1, 1: 1} and mx.attempts == 4 and mx.errors == []


# (where the receiver holds the dialogue when the gateway is killed, deliveries after the restart)
KILL_POINTS = {
    "before the 354 to DATA": ("before-354", 1),
    # The receiver has the mail; the gateway died before it read the 250: it sends it again.
    "after the mail, before its 250": ("before-250", 2),
    "before the 221 to QUIT": ("before-221", 1),
}


@pytest.mark.parametrize("point", list(KILL_POINTS))
def test_killed_at_a_step_of_a_delivery(point, make_gateway):
    hold, deliveries = KILL_POINTS[point]
    with FaultReceiver() as mx:
        target = 2
        mx.hold(target, hold)
        gw = start_with_messages(make_gateway, mx, 4)
        assert mx.held.wait(60), "the delivery never reached the point"
        gw.kill()
        mx.release()
        gw.start()
        all_gone(gw, 60)
        assert mx.counts() == {i: deliveries if i == target else 1 for i in range(4)}
