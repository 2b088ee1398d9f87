"""A regedit export (UTF-16LE) configures the Linux build, which writes it back as regedit would. (The settings
each backend reads from its registry: settings_test and registry_test, which run under wine too.)"""

import os
import subprocess
from pathlib import Path

from wine_support import reg_replace, run, windows_path
from gateway_harness import GATEWAY_KEY


def linux_helper(hive: Path, *args: str) -> str:
    helper = Path(os.environ.get("CVSMTPGW_POSIX_BUILD", "")) / "tests" / "test_helper"
    assert helper.is_file(), f"the Linux build's test_helper is needed: {helper}"
    return subprocess.run([str(helper), *args], env=dict(os.environ, CVSMTPGW_HIVE=str(hive)), cwd=hive.parent,
                          capture_output=True, text=True, check=True, timeout=60).stdout


def utf16_hex(text: str) -> str:
    """The .reg hex data of a string value as regedit writes it: UTF-16LE with its terminator."""
    return ",".join(f"{b:02x}" for b in (text + "\0").encode("utf-16-le"))


def test_a_regedit_export_is_written_back_on_linux_as_regedit_writes_it(tmp_path):
    source = tmp_path / "source.reg"
    source.write_bytes(b"\xff\xfe" + "\r\n".join([
        "Windows Registry Editor Version 5.00", "",
        f"[{GATEWAY_KEY}]",
        '"DomainName"="f\u00e4x.example.com"',
        '"FileNameUse"=dword:00000000',
        '"MailFrom"="Fax \u20ac \\"desk\\" <fax@example.com>"',
        '"Names"=hex(7):' + utf16_hex("a\0\u00e9\0"),
        f'"ProgramPath"=hex(2):{utf16_hex("spool/")}',
        '"TmpIndex"=dword:00000005',
        '"Z value with a long name, so that its data wraps early"=hex:' + ",".join(["5a"] * 60),
        "", ""]).encode("utf-16-le"))
    reg_replace(GATEWAY_KEY, source)
    export = tmp_path / "export.reg"
    run("regedit", "/e", windows_path(export), GATEWAY_KEY)
    hive = tmp_path / "hive.reg"
    hive.write_bytes(export.read_bytes())

    # The texts, the expandable one too, read as UTF-8; a counter drawn and written back.
    settings = dict(line.split("=", 1) for line in linux_helper(hive, "settings").splitlines())
    assert (settings["DomainName"], settings["MailFrom"], settings["ProgramPath"]) == \
        ("f\u00e4x.example.com", 'Fax \u20ac "desk" <fax@example.com>', "spool/")
    assert linux_helper(hive, "tmp-names", "1").split() == ["5"]

    # Still regedit's file, byte for byte, but for the counter; and regedit exports what it imports
    # from it as the very same bytes.
    counter = lambda n: f'"TmpIndex"=dword:0000000{n}'.encode("utf-16-le")
    assert export.read_bytes().count(counter(5)) == 1
    assert hive.read_bytes() == export.read_bytes().replace(counter(5), counter(6))
    reg_replace(GATEWAY_KEY, hive)
    again = tmp_path / "again.reg"
    run("regedit", "/e", windows_path(again), GATEWAY_KEY)
    assert again.read_bytes() == hive.read_bytes()
