#!/usr/bin/python3
"""Merges the corpus a long fuzz run grew into fuzz/corpus/<target>/ (run by scripts/fuzz.sh).

Keeps what libFuzzer's -merge=1 finds adds coverage to the seeds, named by SHA-1; inputs with names of
their own (written by hand) always stay. Left out: inputs that repeat a stretch of a mail of
../shared/corpus/mime (those mails are never copied), and the largest ones past --max-kb. Prints one
"merge:" line; libFuzzer's output goes to --log.
"""
import argparse
import hashlib
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
MAIL_CORPUS = HERE.parent.parent / "shared" / "corpus" / "mime"
MERGED_NAME = re.compile(r"^[0-9a-f]{40}$")
# A shared stretch of WINDOW + STRIDE - 1 bytes (line ends aside) is always
# found: every STRIDE-th window of the mails is indexed, every window of an input looked up.
WINDOW = 64
STRIDE = 16


def files(directory):
    return sorted(p for p in directory.iterdir() if p.is_file()) if directory.is_dir() else []


def digest(window):
    return hashlib.blake2b(window, digest_size=8).digest()


def mail_windows():
    windows = set()
    for mail in sorted(MAIL_CORPUS.glob("*.eml")) if MAIL_CORPUS.is_dir() else []:
        data = mail.read_bytes().replace(b"\r", b"")  # the session seeds carry the mails with CR LF
        # Padding, rules and runs of one letter do not say which mail they came from.
        windows.update(digest(data[i:i + WINDOW]) for i in range(0, len(data) - WINDOW + 1, STRIDE)
                       if len(set(data[i:i + WINDOW])) >= 8)
    return windows


def copies_a_mail(data, windows):
    data = data.replace(b"\r", b"")
    return any(digest(data[i:i + WINDOW]) in windows for i in range(len(data) - WINDOW + 1))


def main():
    parser = argparse.ArgumentParser()
    for name, kind in (("fuzzer", pathlib.Path), ("target", str), ("seeds", pathlib.Path), ("grown", pathlib.Path),
                       ("max-len", int), ("max-kb", int), ("log", pathlib.Path)):
        parser.add_argument("--" + name, required=True, type=kind)
    args = parser.parse_args()
    committed = HERE / "corpus" / args.target
    by_hand = [p for p in files(committed) if not MERGED_NAME.match(p.name)]
    merged_before = [p for p in files(committed) if MERGED_NAME.match(p.name)]

    with tempfile.TemporaryDirectory(prefix="merge-", dir=os.environ.get("TMPDIR")) as tmp:
        out, before = pathlib.Path(tmp, "out"), pathlib.Path(tmp, "before")
        out.mkdir()
        before.mkdir()
        # The first directory of a merge is kept whole: what it covers is the baseline.
        for p in files(args.seeds) + by_hand:
            shutil.copyfile(p, out / p.name)
        baseline = {p.name for p in files(out)}
        for p in merged_before:
            shutil.copyfile(p, before / p.name)
        command = [str(args.fuzzer), "-merge=1", f"-max_len={args.max_len}", "-timeout=10",
                   "-rss_limit_mb=2048", "-close_fd_mask=3", str(out), str(before), str(args.grown)]
        with open(args.log, "ab") as log:
            rc = subprocess.run(command, stdout=log, stderr=subprocess.STDOUT, check=False).returncode
        if rc != 0:
            print(f"merge: {args.target}: libFuzzer's merge failed (exit {rc}), fuzz/corpus/ left as it was; "
                  f"log: {args.log}")
            return 1
        added = sorted((p for p in files(out) if p.name not in baseline), key=lambda p: (p.stat().st_size, p.name))
        windows = mail_windows()
        kept, copies, over = [], 0, 0
        room = args.max_kb * 1024 - sum(p.stat().st_size for p in by_hand)
        for p in added:
            data = p.read_bytes()
            if copies_a_mail(data, windows):
                copies += 1
            elif len(data) > room:
                over += 1
            else:
                kept.append((hashlib.sha1(data).hexdigest(), data))
                room -= len(data)
        for p in merged_before:
            p.unlink()
        committed.mkdir(parents=True, exist_ok=True)
        for name, data in kept:
            (committed / name).write_bytes(data)
    size = sum(len(d) for _, d in kept) + sum(p.stat().st_size for p in by_hand)
    print(f"merge: {args.target}: fuzz/corpus/{args.target}/ holds {len(kept)} merged inputs and "
          f"{len(by_hand)} written by hand, {size // 1024} KB ({len(added)} add coverage to the seeds; "
          f"left out: {copies} that repeat a mail of the corpus, {over} over the {args.max_kb} KB cap)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
