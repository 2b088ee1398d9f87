"""Outbound load and faults: message files in IN whose receivers refuse connections,
answer slowly, never answer, hang up mid-dialogue, hang up once, or greylist (451 at
RCPT); each ends as delivered exactly once or under the error name that says why after
five attempts, while the inbound side keeps its speed. And the gateway killed with
SIGKILL at each step of a delivery, or at random moments while it delivers: after a
restart no message is lost, and the one mail that may go out twice is the one whose
receiver had taken it when the gateway died, before it read the receiver's 250.

Receivers and name server on loopback; the gateway in a mount namespace whose
/etc/hosts and /etc/resolv.conf name only the test's name server. Needs root. Replies
time out after 2 s (the test build's CVSMTPGW_REPLY_TIMEOUT_MS) instead of 35 s. 70
messages by default; CVSMTPGW_FULL_LOAD=1 sends 1,000."""

import os
import random
import time

import pytest

import dns_servers
from gateway_harness import wait_until
from load_support import in_own_process, measure_inbound
from outbound_load import OutboundLoad

FULL = os.environ.get("CVSMTPGW_FULL_LOAD") == "1"
MESSAGES, INBOUND_MAILS = (1000, 2000) if FULL else (70, 300)

pytestmark = [
    pytest.mark.skipif(dns_servers.cannot_serve() is not None,
                       reason=f"{dns_servers.cannot_serve()}: outbound load tests skipped"),
    pytest.mark.skipif(os.environ.get("CVSMTPGW_FAULT_SEAM") == "0",
                       reason="this build takes no reply time-out from its environment (CVSMTPGW_FAULT_INJECTION off)"),
]


def gateway_for(make_gateway, load: OutboundLoad, tmp_path):
    return make_gateway(values=load.settings(), binary=load.wrapper(tmp_path), debug_logs=False, start=False,
                        env=load.environment())


def inbound_rate(gw, count: int, seed: int) -> float:
    """Mails per second from the first connection to the last submission written,
    every mail checked; the clients run in a process of their own, away from the
    receiver's thread."""
    result = in_own_process(measure_inbound, gw.port, str(gw.out_dir), count, seed)
    assert result["problems"] == [] and result["accepted"] == count, result
    return result["rate"]


def test_every_fault_ends_in_its_outcome_while_inbound_keeps_its_speed(make_gateway, tmp_path):
    with OutboundLoad(MESSAGES) as load:
        gw = gateway_for(make_gateway, load, tmp_path)
        load.write(gw.in_dir)
        gw.start()
        busy = inbound_rate(gw, INBOUND_MAILS, seed=1)
        assert load.waiting(gw.in_dir) > 0, "the outbound side finished before the inbound measurement"
        load.wait_done(gw.in_dir, 3600 if FULL else 300)
        idle = inbound_rate(gw, INBOUND_MAILS, seed=2)
        summary = load.check(gw.in_dir)
    print(f"outbound {summary}; inbound {busy:.1f} mails/s while delivering, {idle:.1f} after")
    # The outbound thread waits for slow and silent servers; the inbound side must not wait with it.
    assert busy >= idle / 3, (busy, idle)


# (where the receiver holds the dialogue when the gateway is killed, deliveries after the restart)
KILL_POINTS = {
    "before the 354 to DATA": ("before-354", 1),
    # The receiver has the mail; the gateway died before it read the 250: it sends it again.
    "after the mail, before its 250": ("before-250", 2),
    "before the 221 to QUIT": ("before-221", 1),
}


@pytest.mark.parametrize("point", list(KILL_POINTS))
def test_killed_at_a_step_of_a_delivery(point, make_gateway, tmp_path):
    hold, deliveries = KILL_POINTS[point]
    with OutboundLoad(4, mix={"ok": 1}) as load:
        gw = gateway_for(make_gateway, load, tmp_path)
        target = 2
        load.receiver.hold(target, hold)
        load.write(gw.in_dir)
        gw.start()
        assert load.receiver.held.wait(60), "the delivery never reached the point"
        gw.kill()
        load.receiver.release()
        gw.start()
        load.wait_done(gw.in_dir, 60)
        counts = load.receiver.counts()
        assert counts == {i: deliveries if i == target else 1 for i in load.plan}
        # No message, no attachment file, no mail file of the delivery cut short left.
        wait_until(lambda: not os.listdir(gw.in_dir), 10, lambda: f"IN holds {sorted(os.listdir(gw.in_dir))}")


def test_killed_at_random_moments_while_delivering_loses_no_message(make_gateway, tmp_path):
    rng = random.Random(2024)
    with OutboundLoad(40, mix={"slow": 1}, slow_delay=0.03) as load:
        gw = gateway_for(make_gateway, load, tmp_path)
        load.write(gw.in_dir)
        gw.start()
        in_flight = []  # per kill: the message the receiver had taken last
        for _ in range(4):
            time.sleep(rng.uniform(0.5, 2.0))
            gw.kill()
            time.sleep(0.3)  # the receiver reads what the gateway sent before it died
            in_flight.append(load.receiver.commits[-1] if load.receiver.commits else None)
            gw.start()
        load.wait_done(gw.in_dir, 120)
        counts = load.receiver.counts()
        assert set(counts) == set(load.plan)  # none lost
        twice = [i for i, n in counts.items() if n > 1]
        assert all(counts[i] == 2 and i in in_flight for i in twice), (twice, in_flight)
        wait_until(lambda: not os.listdir(gw.in_dir), 10, lambda: f"IN holds {sorted(os.listdir(gw.in_dir))}")
