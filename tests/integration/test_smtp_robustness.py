"""The inbound SMTP server against hostile and careless clients: junk and cut connections
(test_hostile_input.py has the connection limit, time-outs and time limits;
test_inbound_load.py crowds of clients)."""

import contextlib
import random
import socket

import pytest


GREETING = b"220 fax.example.com Service Ready\r\n"
UNKNOWN = (500, b"500 Syntax Error, Command Unknown.\r\n")


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
    gateway.serves()


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
    gateway.serves()
