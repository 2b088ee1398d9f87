#!/usr/bin/python3
"""Merges the corpus a long fuzz run grew into fuzz/corpus/<target>/.

Keeps, of the inputs grown (and of the ones merged there before), only those
that add coverage to the seeds, as libFuzzer's -merge=1 chooses them (the
smallest input for each feature), so that the short CI runs start where the
long runs got to. Inputs there with names of their own (written by hand) are
always kept; the merged ones are named by their SHA-1, as libFuzzer names
them.

Two limits: no input that repeats a stretch of a mail of ../shared/corpus/mime
is kept (the mails are used where they lie, never copied: a grown input is
often a mail with a few bytes changed), and the directory holds at most
--max-kb (the largest inputs go first). Run by scripts/fuzz.sh; prints one
"merge:" line, libFuzzer's output goes to --log.
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


def normalised(data):
    return data.replace(b"\r", b"")  # the session seeds carry the mails with CR LF


def telling(window):
    """Whether a stretch says which mail it came from: padding, rules and runs of one letter do not."""
    return len(set(window)) >= 8


def mail_windows():
    windows = set()
    for mail in sorted(MAIL_CORPUS.glob("*.eml")) if MAIL_CORPUS.is_dir() else []:
        data = normalised(mail.read_bytes())
        for i in range(0, len(data) - WINDOW + 1, STRIDE):
            if telling(data[i:i + WINDOW]):
                windows.add(hashlib.blake2b(data[i:i + WINDOW], digest_size=8).digest())
    return windows


def copies_a_mail(data, windows):
    data = normalised(data)
    return any(hashlib.blake2b(data[i:i + WINDOW], digest_size=8).digest() in windows
               for i in range(len(data) - WINDOW + 1))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--fuzzer", required=True, type=pathlib.Path)
    parser.add_argument("--target", required=True)
    parser.add_argument("--seeds", required=True, type=pathlib.Path)
    parser.add_argument("--grown", required=True, type=pathlib.Path)
    parser.add_argument("--max-len", required=True, type=int)
    parser.add_argument("--max-kb", required=True, type=int)
    parser.add_argument("--log", required=True, type=pathlib.Path)
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
