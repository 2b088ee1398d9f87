"""The inbound SMTP server against hostile and careless clients: junk, cut
connections, bursts, the connection limit and the receive time-out."""

import random
import select
import socket
import time

import pytest

from gateway_harness import wait_until

GREETING = b"220 fax.example.com Service Ready\r\n"
UNKNOWN = (500, b"500 Syntax Error, Command Unknown.\r\n")


def served_normally(gw):
    """A fresh client is greeted and its mail becomes a submission ENV<n>.tmp."""
    before = len(gw.files("ENV*.tmp"))
    gw.send("ok@example.com", ["1@fax.example.com"], b"Subject: still fine\r\n\r\nbody\r\n")
    assert len(gw.wait_for_files("ENV*.tmp", count=before + 1)) == before + 1


def test_long_lines_nul_bytes_and_binary_junk(gateway):
    junk = random.Random(4711).randbytes(256 * 1024)
    for start in (0, 100):
        with gateway.connect() as conn:
            conn.reply()
            try:
                conn.sock.sendall(junk[start:])
            except OSError:
                pass  # the session may end early (an empty line) and close
    assert gateway.alive and not gateway.files("[0-9]*")  # nothing stored
    with gateway.connect() as conn:  # a 10,000-byte line is taken in pieces
        assert conn.reply() == (220, GREETING)
        conn.sock.sendall(b"x" * 10000 + b"QUIT\r\n")
        for _ in range(100):
            assert conn.reply() == UNKNOWN
        assert conn.reply() == (221, b"221 Goodbye\r\n")
        assert conn.wait_closed()
    with gateway.connect() as conn:  # a NUL ends the text of a line
        assert conn.reply()[0] == 220
        assert conn.command(b"\0\0\0\0") == UNKNOWN
        assert conn.command(b"HELO a\0b") == (250, b"250 fax.example.com a\r\n")
        for command, code in ((b"MAIL FROM:<x@example.com>", 250), (b"RCPT TO:<1@fax.example.com>", 250),
                              (b"DATA", 354), (b"Subject: nul\r\n\r\na\0b\r\n.", 250), (b"QUIT", 221)):
            assert conn.command(command)[0] == code
    assert gateway.wait_stored(1)[0].read_bytes().endswith(b"\r\na\0b\r\n")
    served_normally(gateway)


STEPS = ["greeting", "HELO", "MAIL", "RCPT", "DATA", "half a line", "whole lines"]


@pytest.mark.parametrize("last_step", STEPS)
def test_client_vanishing_in_each_state(gateway, last_step):
    conn = gateway.connect()
    conn.reply()
    commands = [b"HELO c", b"MAIL FROM:<a@example.com>", b"RCPT TO:<1@fax.example.com>", b"DATA"]
    for command in commands[:STEPS.index(last_step)]:
        assert conn.command(command)[0] in (250, 354)
    conn.sock.sendall({"half a line": b"Subject: x\r\n\r\nhalf",
               "whole lines": b"Subject: x\r\n\r\n" + b"line\r\n" * 2000}.get(last_step, b""))
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.sock.close()  # a reset, not a polite close
    gateway.wait_log("SMTPIn- Message processing complete: ")
    assert list(gateway.out_dir.iterdir()) == []  # the partial mail is removed
    served_normally(gateway)


def _first_bytes(port, count, timeout=30):
    """Opens `count` non-blocking connections at once; for each, what arrived
    first: the greeting, b"" for a close, None for nothing."""
    socks = [socket.socket() for _ in range(count)]
    for s in socks:
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
    result, pending = {}, set(socks)
    deadline = time.monotonic() + timeout
    while pending and time.monotonic() < deadline:
        readable, _, _ = select.select(list(pending), [], [], 0.5)
        for s in readable:
            try:
                result[s] = s.recv(4096)
            except ConnectionResetError:
                result[s] = b""
            pending.discard(s)
    for s in socks:
        s.close()
    return list(result.values())


def test_two_hundred_connections_at_once(make_gateway):
    gw = make_gateway(debug_logs=False)
    served_normally(gw)
    time.sleep(0.5)
    fds, threads = gw.counts()
    first = _first_bytes(gw.port, 200)
    assert len(first) == 200 and set(first) <= {GREETING, b""}, set(first)
    assert 1 <= first.count(GREETING) <= 20
    # Threads and descriptors go back to what they were.
    settled = lambda: all(now <= then for now, then in zip(gw.counts(), (fds, threads)))
    wait_until(settled, 15, lambda: f"(fds, threads) {gw.counts()} above {(fds, threads)}")
    assert gw.alive
    served_normally(gw)


def test_twenty_held_then_the_next_is_closed_silently(make_gateway):
    gw = make_gateway(debug_logs=False)
    held = [gw.connect() for _ in range(20)]
    try:
        for conn in held:
            assert conn.reply() == (220, GREETING)
        with gw.connect() as extra:
            assert extra.wait_closed(), "the 21st connection was served"
        leaving = held.pop()
        assert leaving.command("QUIT")[0] == 221 and leaving.wait_closed()
        leaving.sock.close()
        with gw.connect() as conn:
            assert conn.reply() == (220, GREETING)
            assert conn.command("QUIT")[0] == 221
    finally:
        for conn in held:
            conn.sock.close()


def test_silent_client_is_dropped_after_thirty_seconds(make_gateway):
    gw = make_gateway(debug_logs=False)
    with gw.connect(timeout=45) as conn:
        assert conn.reply() == (220, GREETING)
        start = time.monotonic()
        assert conn.sock.recv(1) == b""  # closed without a reply
        assert 29 <= time.monotonic() - start < 40
