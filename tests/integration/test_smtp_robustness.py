"""The inbound SMTP server against hostile and careless clients: junk, cut
connections, bursts, the connection limit and the receive time-out."""

import random
import select
import socket
import time

import pytest

from smtp_store import stored_messages, wait_log, wait_stored

GREETING = b"220 fax.example.com Service Ready\r\n"


def settle(measure, limit, timeout=15.0):
    """Polls `measure` until it is at most `limit`; returns the last value."""
    deadline = time.monotonic() + timeout
    value = measure()
    while value > limit and time.monotonic() < deadline:
        time.sleep(0.1)
        value = measure()
    return value


def served_normally(gw):
    """A fresh client gets the greeting and can send a mail that is handed on
    (a submission ENV<n>.tmp appears; without the debug log the stored copy is
    deleted after the hand-off)."""
    before = len(gw.files("ENV*.tmp"))
    gw.send("ok@example.com", ["1@fax.example.com"], b"Subject: still fine\r\n\r\nbody\r\n")
    assert len(gw.wait_for_files("ENV*.tmp", count=before + 1)) == before + 1


def test_long_command_line_is_taken_in_pieces(gateway):
    with gateway.connect() as conn:
        assert conn.reply() == (220, GREETING)
        conn.send(b"x" * 10000 + b"QUIT\r\n")
        for _ in range(100):
            assert conn.reply() == (500, b"500 Syntax Error, Command Unknown.\r\n")
        assert conn.reply() == (221, b"221 Goodbye\r\n")
        assert conn.wait_closed()
    served_normally(gateway)


def test_nul_bytes_end_the_text_of_a_line(gateway):
    with gateway.connect() as conn:
        assert conn.reply()[0] == 220
        assert conn.command(b"\0\0\0\0") == (500, b"500 Syntax Error, Command Unknown.\r\n")
        assert conn.command(b"HELO a\0b") == (250, b"250 fax.example.com a\r\n")
        assert conn.command(b"MAIL FROM:<x@example.com>")[0] == 250
        assert conn.command(b"RCPT TO:<1@fax.example.com>")[0] == 250
        assert conn.command(b"DATA")[0] == 354
        conn.send(b"Subject: nul\r\n\r\na\0b\r\n.\r\n")
        assert conn.reply()[0] == 250
        assert conn.command(b"QUIT")[0] == 221
    stored = wait_stored(gateway, 1)
    assert stored[0].read_bytes().endswith(b"\r\na\0b\r\n")


def test_binary_junk_does_not_hurt(gateway):
    junk = random.Random(4711).randbytes(256 * 1024)
    for chunk_start in (0, 100):
        with gateway.connect() as conn:
            conn.reply()
            try:
                conn.send(junk[chunk_start:])
            except OSError:
                pass  # the session may end early (an empty line) and close
    assert gateway.alive
    assert stored_messages(gateway) == []
    served_normally(gateway)


STEPS = ["greeting", "HELO", "MAIL", "RCPT", "DATA", "half a line", "whole lines"]


@pytest.mark.parametrize("last_step", STEPS)
def test_client_vanishing_in_each_state(gateway, last_step):
    conn = gateway.connect()
    conn.reply()
    commands = [b"HELO c", b"MAIL FROM:<a@example.com>", b"RCPT TO:<1@fax.example.com>", b"DATA"]
    for command in commands[:min(STEPS.index(last_step), len(commands))]:
        assert conn.command(command)[0] in (250, 354)
    if last_step == "half a line":
        conn.send(b"Subject: x\r\n\r\nhalf")
    elif last_step == "whole lines":
        conn.send(b"Subject: x\r\n\r\n" + b"line\r\n" * 2000)
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.close()  # a reset, not a polite close
    assert "SMTPIn- Message processing complete: " in wait_log(gateway, "SMTPIn- Message processing complete: ")
    assert stored_messages(gateway) == []
    assert list(gateway.out_dir.iterdir()) == []
    served_normally(gateway)


def _connect_many(port, count, timeout):
    """Starts `count` non-blocking connects at once; returns the connected sockets."""
    socks = []
    for _ in range(count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        socks.append(s)
    pending = set(socks)
    deadline = time.monotonic() + timeout
    while pending and time.monotonic() < deadline:
        _, writable, _ = select.select([], list(pending), [], 0.5)
        pending -= set(writable)
    assert not pending, f"{len(pending)} connects did not complete"
    return socks


def _first_bytes(socks, timeout):
    """For each socket what arrived first: the greeting, b"" for a close, None if nothing."""
    result = {s: None for s in socks}
    pending = set(socks)
    deadline = time.monotonic() + timeout
    while pending and time.monotonic() < deadline:
        readable, _, _ = select.select(list(pending), [], [], 0.5)
        for s in readable:
            try:
                result[s] = s.recv(4096)
            except ConnectionResetError:
                result[s] = b""
            pending.discard(s)
    return result


def test_two_hundred_connections_at_once(make_gateway):
    gw = make_gateway(debug_logs=False)
    served_normally(gw)
    time.sleep(0.5)
    fds, threads = gw.fd_count(), gw.thread_count()

    socks = _connect_many(gw.port, 200, timeout=30)
    first = _first_bytes(socks, timeout=30)
    greeted = [s for s, data in first.items() if data == GREETING]
    closed = [s for s, data in first.items() if data == b""]
    assert len(greeted) + len(closed) == 200, {repr(d) for d in first.values()}
    assert 1 <= len(greeted) <= 20
    for s in socks:
        s.close()

    assert settle(gw.thread_count, threads) <= threads
    assert settle(gw.fd_count, fds) <= fds
    assert gw.alive
    served_normally(gw)


def test_twenty_held_then_the_next_is_closed_silently(make_gateway):
    gw = make_gateway(debug_logs=False)
    held = []
    try:
        for _ in range(20):
            conn = gw.connect()
            assert conn.reply() == (220, GREETING)
            held.append(conn)
        extra = gw.connect()
        assert extra.wait_closed(), "the 21st connection was served"
        extra.close()

        leaving = held.pop()
        assert leaving.command("QUIT")[0] == 221
        assert leaving.wait_closed()
        leaving.close()
        with gw.connect() as conn:
            assert conn.reply() == (220, GREETING)
            assert conn.command("QUIT")[0] == 221
    finally:
        for conn in held:
            conn.close()


def test_silent_client_is_dropped_after_thirty_seconds(make_gateway):
    gw = make_gateway(debug_logs=False)
    with gw.connect(timeout=45) as conn:
        assert conn.reply() == (220, GREETING)
        start = time.monotonic()
        assert conn.sock.recv(1) == b""  # closed without a reply
        waited = time.monotonic() - start
    assert 29 <= waited < 40
