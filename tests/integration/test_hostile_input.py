"""Clients that vanish, trickle or hold every connection: the gateway serves again afterwards with the threads and
descriptors it had and never acknowledges what it did not store. (Binary junk: smtp_session_fuzz.)"""

import socket
import threading
import time

from gateway_harness import needs_seam, wait_until

GREETING = b"220 fax.example.com Service Ready\r\n"
FAREWELL = b"421 fax.example.com Session time limit reached, closing transmission channel\r\n"
RECEIVED = (250, b"250 Mail Received OK\r\n")
LIMIT_S = 3  # the time limit of a mail, shortened for the tests (normally ten minutes)


def baseline_of(gw):
    gw.serves()
    time.sleep(0.5)
    return gw.counts()


def served_again(gw, baseline):
    gw.serves()
    gw.settles(baseline)


def test_vanishing_clients_and_every_slot_held(make_gateway):
    gateway = make_gateway()
    for n, (in_data, data) in enumerate([(False, b""), (True, b"Subject: x\r\n\r\nhalf")], start=1):
        conn = gateway.connect()
        conn.open_data() if in_data else conn.reply()
        conn.sock.sendall(data)
        conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        conn.sock.close()  # a reset, not a polite close
        wait_until(lambda: gateway.text("debug.log").count("SMTPIn- Message processing complete: ") == n)
        assert list(gateway.out_dir.iterdir()) == [], data  # the partial mail is removed
    baseline = baseline_of(gateway)
    held = [gateway.connect() for _ in range(20)]  # twenty clients hold every slot
    try:
        assert [conn.reply() for conn in held] == [(220, GREETING)] * 20
        with gateway.connect() as extra:  # refused without a byte while they hold
            assert extra.wait_closed(), "the 21st connection was served"
        # One that leaves frees its slot for the next.
        assert held[0].command("QUIT")[0] == 221 and held[0].wait_closed()
        with gateway.connect() as conn:
            assert conn.reply() == (220, GREETING)
    finally:
        [conn.sock.close() for conn in held]
    served_again(gateway, baseline)


def test_slow_clients_are_ended_at_the_time_limit_and_free_their_slots(make_gateway):
    needs_seam()
    gw = make_gateway(env={"CVSMTPGW_MAIL_TIME_LIMIT_MS": str(LIMIT_S * 1000)})
    baseline = baseline_of(gw)
    stored_before = len(gw.files("[0-9]*.debug"))

    def trickle(conn, data: bytes):
        for b in data:
            try:
                conn.sock.sendall(bytes([b]))
            except OSError:
                return
            time.sleep(0.4)

    results = {}

    def client(kind):
        with gw.connect(timeout=30) as conn:
            start = time.monotonic()
            if kind == "silent":
                assert conn.reply() == (220, GREETING)
            elif kind == "data byte by byte":
                threading.Thread(target=trickle, args=(conn.open_data(), b"Subject: slow\r\n\r\n" + b"x" * 100),
                                 daemon=True).start()
            else:  # a large mail at 40 KB/s: longer than the limit, yet accepted
                conn.open_data()
                for _ in range(24):
                    conn.sock.sendall(b"y" * 8190 + b"\r\n")
                    time.sleep(0.2)
                results[kind] = conn.command(b".")
                return
            got, end = conn.until_closed()
            results[kind] = (got, end - start)

    kinds = ["silent", "data byte by byte", "steady large mail"]
    threads = [threading.Thread(target=client, args=(k,)) for k in kinds]
    [t.start() for t in threads]
    [t.join(60) for t in threads]
    assert results.pop("steady large mail") == RECEIVED
    for kind, (got, took) in results.items():
        assert got == FAREWELL and LIMIT_S - 0.5 < took < LIMIT_S + 5, (kind, got, took)
    # Only the steady mail was stored; the trickled data was dropped.
    stored = gw.wait_for_files("[0-9]*.debug", stored_before + 1)  # handed-off mails, kept with the debug log on
    assert len(stored) == stored_before + 1 and stored[-1].stat().st_size > 24 * 8192
    served_again(gw, baseline)
