"""A throw-away Postfix (needs root) with its own configuration, queue and log, smtpd on one address:port; the
caller adds the main.cf lines that make it what it needs."""

from __future__ import annotations

import contextlib
import grp
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
from pathlib import Path

from gateway_harness import wait_until

POSTFIX_DAEMONS = "/usr/lib/postfix/sbin"

BASE_MAIN_CF = """\
compatibility_level = 3.6
queue_directory = {root}/queue
data_directory = {root}/data
daemon_directory = {daemons}
mail_owner = postfix
setgid_group = postdrop
maillog_file = {root}/maillog
maillog_file_prefixes = {root}
inet_protocols = ipv4
mydestination =
relay_domains =
fast_flush_domains =
local_recipient_maps =
alias_maps =
alias_database =
smtpd_peername_lookup = no
biff = no
"""

# chroot off (column 5 "n"): the private queue has no chroot jail.
MASTER_CF = """\
{listen} inet n - n - - smtpd
cleanup   unix  n  -  n  -  0  cleanup
qmgr      unix  n  -  n  300 1 qmgr
rewrite   unix  -  -  n  -  -  trivial-rewrite
bounce    unix  -  -  n  -  0  bounce
defer     unix  -  -  n  -  0  bounce
trace     unix  -  -  n  -  0  bounce
verify    unix  -  -  n  -  1  verify
flush     unix  n  -  n  1000? 0 flush
proxymap  unix  -  -  n  -  -  proxymap
error     unix  -  -  n  -  -  error
retry     unix  -  -  n  -  -  error
discard   unix  -  -  n  -  -  discard
virtual   unix  -  n  n  -  -  virtual
anvil     unix  -  -  n  -  1  anvil
scache    unix  -  -  n  -  1  scache
postlog   unix-dgram n - n - 1 postlogd
tlsmgr    unix  -  -  n  1000? 1 tlsmgr
smtp      unix  -  -  n  -  -  smtp
"""

# Queue subdirectories with Postfix's own modes (postfix-files); the group of the last two is postdrop.
QUEUE_DIRS = {**dict.fromkeys("active bounce corrupt defer deferred flush hold incoming private saved trace".split(),
                              0o700), "maildrop": 0o730, "public": 0o710}


def wait_accepting(address: str, port: int, timeout: float, alive=lambda: True) -> None:
    def greets() -> bool:
        if not alive():
            raise RuntimeError("server exited during start-up")
        with contextlib.suppress(OSError), socket.create_connection((address, port), timeout=1) as s:
            s.settimeout(5)
            return s.recv(64).startswith(b"220")
    wait_until(greets, timeout, lambda: f"{address}:{port} not accepting", 0.05)


class PrivatePostfix:
    """`main_cf` is added to BASE_MAIN_CF, formatted with root, daemons, uid and gid; `conf_files` are more files
    below the configuration directory."""

    def __init__(self, address: str, port: int, main_cf: str = "", prefix: str = "cvgw-postfix-",
                 conf_files: dict[str, str] | None = None):
        self.address, self.port, self.main_cf, self.prefix = address, port, main_cf, prefix
        self.conf_files = conf_files or {}
        self.root: Path | None = None
        self.master: subprocess.Popen | None = None

    def start(self) -> "PrivatePostfix":
        postfix = pwd.getpwnam("postfix")
        postdrop = grp.getgrnam("postdrop").gr_gid
        self.root = Path(tempfile.mkdtemp(prefix=self.prefix))
        os.chmod(self.root, 0o755)  # the daemons run as postfix and must traverse the path to the queue
        conf, queue = self.root / "conf", self.root / "queue"
        for d in (conf, queue, queue / "pid"):
            d.mkdir(mode=0o755)
        for d in ("data", "mail"):  # mail: where a virtual_mailbox_base may put maildirs, as user postfix
            (self.root / d).mkdir(mode=0o700)
            os.chown(self.root / d, postfix.pw_uid, postfix.pw_gid)
        for name, mode in QUEUE_DIRS.items():
            d = queue / name
            d.mkdir()
            os.chown(d, postfix.pw_uid, postdrop if mode in (0o730, 0o710) else postfix.pw_gid)
            os.chmod(d, mode)
        values = dict(root=self.root, daemons=POSTFIX_DAEMONS, uid=postfix.pw_uid, gid=postfix.pw_gid)
        (conf / "main.cf").write_text((BASE_MAIN_CF + self.main_cf).format(**values))
        (conf / "master.cf").write_text(MASTER_CF.format(listen=f"{self.address}:{self.port}"))
        for name, text in self.conf_files.items():
            (conf / name).parent.mkdir(mode=0o755, parents=True, exist_ok=True)
            (conf / name).write_text(text.format(**values))
        self.stderr = open(self.root / "master.stderr", "wb")
        # In the foreground, in a session of its own: stop() ends it with every daemon it spawned.
        self.master = subprocess.Popen([f"{POSTFIX_DAEMONS}/master", "-c", str(conf), "-d"],
                                       stdin=subprocess.DEVNULL, stdout=self.stderr, stderr=self.stderr,
                                       env=dict(os.environ, MAIL_CONFIG=str(conf)), start_new_session=True)
        try:
            wait_accepting(self.address, self.port, 30, lambda: self.master.poll() is None)
        except Exception as e:
            raise RuntimeError(f"private Postfix did not start ({e}); see {self.stop(keep=True)}") from e
        return self

    def log(self) -> str:
        path = self.root / "maillog" if self.root else None
        return path.read_text(errors="replace") if path and path.exists() else ""

    def stop(self, keep: bool = False) -> Path | None:  # the directory is removed unless `keep`
        if self.master:
            pgid = self.master.pid  # session leader: its pid is the group id
            if self.master.poll() is None:
                self.master.send_signal(signal.SIGTERM)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    self.master.wait(10)
            with contextlib.suppress(ProcessLookupError):
                os.killpg(pgid, signal.SIGKILL)  # daemons master left behind
            if self.master.poll() is None:
                self.master.wait(10)
            self.master = None
            self.stderr.close()
        root, self.root = self.root, None
        if root and not keep:
            shutil.rmtree(root, ignore_errors=True)
        return root

    __enter__ = lambda self: self.start()
    def __exit__(self, *exc) -> None:  # never swallows the exception
        self.stop()
