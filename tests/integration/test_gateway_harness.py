"""The harness itself: hive text the gateway and `reg import` both read, and a
gateway process that it starts, talks to and stops."""

import pytest

from gateway_harness import (REG_BINARY, REG_EXPAND_SZ, REG_MULTI_SZ, RegValue, format_hive,
                             parse_hive)

HIVE_LINES = [
    # (value, the line regedit would export for it)
    ("/var/spool/cvsmtpgw/", '"V"="/var/spool/cvsmtpgw/"'),
    ('C:\\Fax\\"q"\\', r'"V"="C:\\Fax\\\"q\"\\"'),
    ("", '"V"=""'),
    (20000, '"V"=dword:00004e20'),
    (0xFFFFFFFF, '"V"=dword:ffffffff'),
    (b"\x00\x7f\xff", '"V"=hex:00,7f,ff'),
    (RegValue(REG_EXPAND_SZ, b"%TMP%\0"), '"V"=hex(2):25,54,4d,50,25,00'),
]


@pytest.mark.parametrize("value,line", HIVE_LINES)
def test_hive_value_is_written_as_regedit_does_and_read_back(value, line):
    text = format_hive({"V": value})
    assert text.startswith("Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server]\r\n")
    assert line + "\r\n" in text
    (values,) = parse_hive(text).values()
    assert values == {"V": value}


def test_hive_reader_takes_a_regedit_export():
    text = ("\ufeffWindows Registry Editor Version 5.00\r\n\r\n"
            "; exported\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
            '"DomainName"="other"\r\n\r\n'
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server]\r\n"
            '"Path=\\"x\\""="a=b"\r\n'
            '"Multi"=hex(7):61,00,\\\r\n'
            "  62,00,00\r\n"
            '"TmpIndex"=hex(4):07,01,00,00\r\n'
            '@="default"\r\n')
    keys = parse_hive(text)
    assert keys["HKEY_LOCAL_MACHINE\\SOFTWARE\\Other"] == {"DomainName": "other"}
    assert keys["HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarrock\\Corvane SMTP Server"] == {
        'Path="x"': "a=b",
        "Multi": RegValue(REG_MULTI_SZ, b"a\0b\0\0"),
        "TmpIndex": 0x107,
        "": "default",
    }


@pytest.mark.parametrize("bad", ["REGEDIT4\r\n", "Windows Registry Editor Version 5.00\r\n\"A\"=\"b\"\r\n"])
def test_hive_reader_refuses_what_it_cannot_place(bad):
    with pytest.raises(ValueError):
        parse_hive(bad)


def test_gateway_reads_the_hive_the_harness_writes(make_gateway):
    # A backslash and a quote in DomainName must reach the greeting unescaped.
    gw = make_gateway(values={"DomainName": 'fax\\"gw'})
    with gw.connect() as c:
        assert c.reply() == (220, b'220 fax\\"gw Service Ready\r\n')
        assert c.command("HELO client")[0] == 250
        assert c.command("QUIT") == (221, b"221 Goodbye\r\n")
    assert gw.log_path.exists(), "logfile value not taken: no debug log"
    assert gw.stop() is not None and not gw.alive and not gw.stop_failed


def test_smtplib_falls_back_to_helo_and_the_mail_is_stored(gateway):
    refused = gateway.send("me@example.com", ["4711@fax.example.com"],
                           b"Subject: harness\r\n\r\nharness body\r\n")
    assert refused == {}
    # The received mail is OUT/0.zqx, renamed to a debug copy 0-<time>.debug
    # after the hand-off while the debug log is on; the QUIT reply comes after.
    (spooled,) = gateway.files("0*")
    stored = spooled.read_bytes()
    assert stored.startswith(b"Received: from client.example.com by fax.example.com ; \r\n")
    assert b"harness body\r\n" in stored
