"""A gateway killed while it delivers: each message is delivered exactly once, but the one whose receiver had taken
it before the gateway read its 250. (A receiver that hangs up in the mail text: smtp_dialogue_test.)"""

import os

from fault_receiver import FaultReceiver
from gateway_harness import LOOPBACK, wait_until
from outbound_support import drop_message, message_file, outbound_gateway


def test_killed_at_each_step_of_a_delivery(make_gateway):
    # Killed while the receiver holds a message's dialogue at a point, then started again, once per point.
    in_dir = lambda: sorted(os.listdir(gw.in_dir))
    with FaultReceiver() as mx:
        for ident, point in ((1, "before-354"), (2, "before-250"), (3, "before-221")):
            mx.hold(ident, point)
        gw = outbound_gateway(make_gateway, mx.port, debug_logs=False)
        for n in range(5):
            (gw.in_dir / f"F{n}.tif").write_bytes(b"II*\x00" + b"%08d" % n * 2500)
            drop_message(gw.in_dir, f"o{n}.tmp", message_file(
                f"m{n}@{LOOPBACK}", f"Fax received from out-{n}",
                [f"A fax for message out-{n}.", ".a line that begins with a dot"], [("fax.tif", f"F{n}.tif")]))
        gw.start()
        for n in range(1, 4):
            wait_until(lambda: len(mx.held) == n, 60, lambda: f"held {mx.held}, IN {in_dir()}")
            gw.kill()
            mx.release(mx.held[-1])
            gw.start()
        # No message, attachment or mail file is left in IN.
        wait_until(lambda: not in_dir(), 60, lambda: f"IN holds {in_dir()}")
        assert mx.deliveries == {0: 1, 1: 1, 2: 2, 3: 1, 4: 1} and mx.errors == []
