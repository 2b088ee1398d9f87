"""Inbound load: 50 clients at once, more than the 20 the gateway serves, send mails of
mixed sizes (a few near 2 MB) with attachments, several per session now and then, while
a stand-in fax server takes the submissions. Every mail answered 250 is handed over
exactly once and byte for byte (envelope, body, attachments), every refused connection
is closed before a byte, and afterwards threads, descriptors and sockets are back where
they were and resident memory has not grown with the number of mails.

1,500 mails by default; CVSMTPGW_FULL_LOAD=1 sends 10,000 (minutes, not for the suite)."""

import os

from load_support import MailSet, run_phases

FULL = os.environ.get("CVSMTPGW_FULL_LOAD") == "1"
MAILS, CHECKPOINT, LARGE_SHARE = (10000, 2000, 0.03) if FULL else (1500, 300, 0.006)
GREETING = b"220 fax.example.com Service Ready\r\n"


def test_fifty_clients_every_acknowledged_mail_handed_over_whole(make_gateway):
    # A sanitizer build keeps freed memory in quarantine; a small one lets memory show what the gateway holds.
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=1"]))
    gw = make_gateway(debug_logs=False, env={"ASAN_OPTIONS": asan})
    phases = (("checkpoint", range(CHECKPOINT)), ("end", range(CHECKPOINT, MAILS)))
    fax, accepted, baseline, sampler, figures = run_phases(gw, MailSet(MAILS + 1, large_share=LARGE_SHARE), phases,
                                                           greeting=GREETING, timeout=600 if FULL else 180)
    results = [f["result"] for f in figures.values()]
    print(f"{len(accepted)} mails, {sum(r.refused for r in results)} connections refused; "
          f"resident KiB {sampler.marks}, peak {sampler.peak}")
    assert [f["counts"] for f in figures.values()] == [baseline] * 2  # (fds, sockets, threads) after each phase
    assert [e for r in results for e in r.errors + [f"mail {i}: {m!r}" for i, m in r.failed.items()]] == []
    assert [b for r in results for b in r.refused_with_bytes] == [], "refused connections got bytes"
    assert len(accepted) == MAILS + 1 and sum(r.refused for r in results) > 0  # more clients than it serves
    assert fax.check(accepted) == MAILS + 1
    # Memory: what it holds after CHECKPOINT mails, give or take a quarter (allocator
    # caches, the stacks of connection threads), after MAILS.
    grown = sampler.marks["end"] - sampler.marks["checkpoint"]
    assert grown <= sampler.marks["checkpoint"] // 4 + 2048, (sampler.marks, sampler.peak)
