"""Wine's error lines that name a Windows function a program imports: with
WINEDEBUG=err+all, wine reports "<thread>:err:<channel>:<function> <text>"
where it failed or lacks something. A line whose function is one the program
calls (its import table, A and W forms alike) means the program relied on
something that did not work under wine, and fails the test; wine's own
internals (a missing display, its services) do not, nor the texts of error
events, which wine's event log writes as error lines.

Usage: python3 scripts/wine_api_errors.py <program.exe> <stderr file>...
prints the offending lines and exits 1 when there are any. Standard library only."""

from __future__ import annotations

import functools
import re
import shutil
import subprocess
import sys
from pathlib import Path

ERR_LINE = re.compile(r"^[0-9a-f]+:err:[\w-]+:(\w+)\b.*$", re.M)
# Wine's event log keeps nothing: ReportEventW writes an error event's texts
# as error lines instead. Those are the events, not failures.
EVENT_TEXT = re.compile(r"^[0-9a-f]+:err:eventlog:ReportEventW L\".*\"$")
OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump") or "objdump"


def _base(name: str) -> str:
    """A function's name without its A or W ending (CreateFileA, CreateFileW -> CreateFile)."""
    return name[:-1] if len(name) > 1 and name[-1] in "AW" and name[-2].islower() else name


@functools.lru_cache(maxsize=None)
def imported_functions(program: str) -> frozenset[str]:
    dump = subprocess.run([OBJDUMP, "-p", program], capture_output=True, text=True, check=True).stdout
    table = dump.partition("The Import Tables")[2]
    names = re.findall(r"^\s+[0-9a-f]+\s+[0-9]+\s+(\w+)\s*$", table, re.M)
    if not names:
        raise RuntimeError(f"no imports found in {program}")
    return frozenset(_base(n) for n in names)


def api_errors(program: str | Path, text: str) -> list[str]:
    """The error lines of `text` that name a function `program` imports."""
    imported = imported_functions(str(program))
    return [m.group(0) for m in ERR_LINE.finditer(text)
            if _base(m.group(1)) in imported and not EVENT_TEXT.match(m.group(0))]


if __name__ == "__main__":
    found = [line for path in sys.argv[2:] for line in api_errors(sys.argv[1], Path(path).read_text("latin-1"))]
    for line in found:
        print(f"wine error in a function {Path(sys.argv[1]).name} relies on: {line}", file=sys.stderr)
    sys.exit(1 if found else 0)
