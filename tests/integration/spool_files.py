"""Spool files as the gateway writes them (OUT/<n>.zqx: the mail, its SMTP transaction's record and the footer),
for tests and benches that leave work for a start to find."""

import struct

_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ 0x82F63B78 if _c & 1 else _c >> 1
    _TABLE.append(_c)


def crc32c(data: bytes, crc: int = 0) -> int:
    crc ^= 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ _TABLE[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF


def spool_file(mail: bytes, recipients: list[str], acknowledged_ns: int) -> bytes:
    """The bytes of an acknowledged spool file holding `mail` (trace line included)."""
    record = struct.pack("<qI", acknowledged_ns, len(recipients))
    for r in recipients:
        record += struct.pack("<H", len(r)) + r.encode("latin-1")
    footer = b"CVGWSPL1" + struct.pack("<QII", len(mail), len(record), crc32c(mail))
    return mail + record + footer + struct.pack("<I", crc32c(record + footer)) + b"END\n"


def leave_acknowledged(out_dir, number: int, mail: bytes, recipients: list[str], acknowledged_ns: int) -> None:
    """An acknowledged mail whose hand-off had not begun, as a crash leaves it."""
    (out_dir / f"~{number}~ENV").write_bytes(b"")
    (out_dir / f"{number}.zqx").write_bytes(spool_file(mail, recipients, acknowledged_ns))
