"""The inbound SMTP server against hostile and careless clients: junk, cut
connections, bursts and the connection limit (test_hostile_peers.py has the
time-outs and time limits)."""

import contextlib
import random
import select
import socket
import time

import pytest

from gateway_harness import wait_until

GREETING = b"220 fax.example.com Service Ready\r\n"
UNKNOWN = (500, b"500 Syntax Error, Command Unknown.\r\n")


def served_normally(gw):  # a fresh client's mail becomes a submission ENV<n>.tmp
    before = len(gw.files("ENV*.tmp"))
    gw.send("ok@example.com", ["1@fax.example.com"], b"Subject: still fine\r\n\r\nbody\r\n")
    assert len(gw.wait_for_files("ENV*.tmp", count=before + 1)) == before + 1


def test_long_lines_nul_bytes_and_binary_junk(gateway):
    junk = random.Random(4711).randbytes(256 * 1024)
    for start in (0, 100):
        with gateway.connect() as conn:
            conn.reply()
            with contextlib.suppress(OSError):  # the session may end early (an empty line) and close
                conn.sock.sendall(junk[start:])
    assert gateway.alive and not gateway.files("[0-9]*")  # nothing stored
    with gateway.connect() as conn:  # a 10,000-byte line is refused whole: its tail is no command
        assert conn.reply() == (220, GREETING)
        conn.sock.sendall(b"x" * 10000 + b"QUIT\r\nNOOP\r\n")
        assert conn.reply() == (500, b"500 Line too long.\r\n")
        assert conn.reply() == (250, b"250 Requested mail action ok, completed\r\n")
        assert conn.command("QUIT") == (221, b"221 Goodbye\r\n") and conn.wait_closed()
    with gateway.connect() as conn:  # a NUL ends the text of a line
        assert conn.reply()[0] == 220 and conn.command(b"\0\0\0\0") == UNKNOWN
        assert conn.command(b"HELO a\0b") == (250, b"250 fax.example.com a\r\n")
        for command, code in ((b"MAIL FROM:<x@example.com>", 250), (b"RCPT TO:<1@fax.example.com>", 250),
                              (b"DATA", 354), (b"Subject: nul\r\n\r\na\0b\r\n.", 250), (b"QUIT", 221)):
            assert conn.command(command)[0] == code
    assert gateway.wait_stored(1)[0].read_bytes().endswith(b"\r\na\0b\r\n")
    served_normally(gateway)


@pytest.mark.parametrize("commands,data", [(0, b""), (4, b""), (4, b"Subject: x\r\n\r\nhalf"),
                                           (4, b"Subject: x\r\n\r\n" + b"line\r\n" * 2000)],
                         ids=["greeting", "DATA", "half a line", "whole lines"])
def test_client_vanishing(gateway, commands, data):
    conn = gateway.connect()
    conn.reply()
    for command in [b"HELO c", b"MAIL FROM:<a@example.com>", b"RCPT TO:<1@fax.example.com>", b"DATA"][:commands]:
        assert conn.command(command)[0] in (250, 354)
    conn.sock.sendall(data)
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn.sock.close()  # a reset, not a polite close
    gateway.wait_log("SMTPIn- Message processing complete: ")
    assert list(gateway.out_dir.iterdir()) == []  # the partial mail is removed
    served_normally(gateway)


def test_two_hundred_connections_at_once(make_gateway):
    gw = make_gateway(debug_logs=False)
    served_normally(gw)
    time.sleep(0.5)
    fds, threads = gw.counts()
    socks = [socket.socket() for _ in range(200)]
    for s in socks:
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", gw.port))
    first, deadline = {}, time.monotonic() + 30  # per socket: the greeting or b"" for a close
    while len(first) < 200 and time.monotonic() < deadline:
        for s in select.select([s for s in socks if s not in first], [], [], 0.5)[0]:
            try:
                first[s] = s.recv(4096)
            except ConnectionResetError:
                first[s] = b""
    for s in socks:
        s.close()
    assert len(first) == 200 and set(first.values()) <= {GREETING, b""}, set(first.values())
    assert 1 <= list(first.values()).count(GREETING) <= 20
    # Threads and descriptors go back to what they were.
    settled = lambda: all(now <= then for now, then in zip(gw.counts(), (fds, threads)))
    wait_until(settled, 15, lambda: f"(fds, threads) {gw.counts()} above {(fds, threads)}")
    served_normally(gw)


def test_twenty_held_then_the_next_is_closed_silently(make_gateway):
    gw = make_gateway(debug_logs=False)
    held = [gw.connect() for _ in range(20)]
    try:
        assert [conn.reply() for conn in held] == [(220, GREETING)] * 20
        with gw.connect() as extra:
            assert extra.wait_closed(), "the 21st connection was served"
        leaving = held.pop()
        assert leaving.command("QUIT")[0] == 221 and leaving.wait_closed()
        leaving.sock.close()
        with gw.connect() as conn:
            assert conn.reply() == (220, GREETING) and conn.command("QUIT")[0] == 221
    finally:
        for conn in held:
            conn.sock.close()
