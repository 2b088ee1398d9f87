"""One .reg file configures both platforms: regedit's own export (UTF-16LE) is imported into
wine's registry with `wine reg import` and used as the Linux build's hive file, and the settings
object of each build reads the same settings from it."""

import os
import subprocess
from pathlib import Path

from wine_support import binary, reg_delete, reg_import, run
from gateway_harness import GATEWAY_KEY

REG = "\r\n".join([
    "Windows Registry Editor Version 5.00", "",
    f"[{GATEWAY_KEY}]",
    '"ProgramPath"="spool\\\\"',
    '"DomainName"="fax.example.com"',
    '"MailFrom"="Fax Server <fax@example.com>"',
    '"SmtpRxPort"=dword:000009c5',
    '"SmtpTxPort"=dword:0000024b',
    '"MaxOut"=dword:00000003',
    '"AdvancedOptions"=dword:00000001',
    '"NotifyOnFailure"=dword:00000000',
    '"SubjectLine"=dword:00000002',
    '"OverrideAddressCheck"="Yes"',
    '"MaxMessageSize"=dword:00100000',
    '"Unused"=hex:01,02,03',
    "", ""])


def test_one_reg_file_gives_the_same_settings_on_both_platforms(tmp_path):
    reg = tmp_path / "settings.reg"
    reg.write_bytes(b"\xff\xfe" + REG.encode("utf-16-le"))  # as regedit exports it

    reg_delete(GATEWAY_KEY)
    reg_import(reg)
    on_wine = run(str(binary("test_helper.exe")), "settings", cwd=tmp_path).stdout.replace("\r\n", "\n")

    helper = Path(os.environ.get("CVSMTPGW_POSIX_BUILD", "")) / "tests" / "test_helper"
    assert helper.is_file(), f"the Linux build's test_helper is needed: {helper}"
    hive = tmp_path / "hive.reg"
    hive.write_bytes(reg.read_bytes())
    on_linux = subprocess.run([str(helper), "settings"], env=dict(os.environ, CVSMTPGW_HIVE=str(hive)),
                              capture_output=True, text=True, check=True, timeout=60).stdout

    assert on_wine == on_linux
    settings = dict(line.split("=", 1) for line in on_wine.splitlines())
    assert settings == {
        "ProgramPath": "spool\\", "DomainName": "fax.example.com", "MailFrom": "Fax Server <fax@example.com>",
        "MaxIn": "3", "MaxOut": "3", "NumUsers": "0", "AdvancedOptions": "1", "NotifyOnFailure": "0",
        "NotifyOnSuccess": "0", "SubjectLine": "2", "IncludeTIFF": "2", "MaxMessageSize": "1048576",
        "OverrideAddressCheck": "1", "SmtpRxPort": "2501", "SmtpTxPort": "587"}
