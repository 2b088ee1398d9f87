"""Inbound load: 50 clients at once, more than the 20 the gateway serves, send mails of
mixed sizes (a few near 2 MB) with attachments, several per session now and then, while
a stand-in fax server takes the submissions. Every mail answered 250 is handed over
exactly once and byte for byte (envelope, body, attachments), every refused connection
is closed before a byte, and afterwards threads, descriptors and sockets are back where
they were and resident memory has not grown with the number of mails.

1,500 mails by default; CVSMTPGW_FULL_LOAD=1 sends 10,000 (minutes, not for the suite)."""

import asyncio
import os

from load_support import FaxServer, MailSet, RssSampler, process_counts, send_all, wait_settled, wait_taken

FULL = os.environ.get("CVSMTPGW_FULL_LOAD") == "1"
MAILS, CHECKPOINT, LARGE_SHARE = (10000, 2000, 0.03) if FULL else (1500, 300, 0.006)
CLIENTS = 50
GREETING = b"220 fax.example.com Service Ready\r\n"


def test_fifty_clients_every_acknowledged_mail_handed_over_whole(make_gateway):
    gw = make_gateway(debug_logs=False, start=False)
    # A sanitizer build keeps freed memory in quarantine; a small one lets memory show what the gateway holds.
    gw.env["ASAN_OPTIONS"] = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "quarantine_size_mb=1"]))
    gw.start()
    mails = MailSet(MAILS + 1, large_share=LARGE_SHARE)
    fax = FaxServer(gw.out_dir, mails)
    try:
        # One mail first: the hand-off threads start with it, and stay.
        warm = asyncio.run(send_all(gw.port, mails, [MAILS], clients=1))
        wait_taken(fax, gw.out_dir, 1, 30)
        baseline = process_counts(gw.proc.pid)
        sampler = RssSampler(gw.proc.pid)
        accepted, refused, errors = set(warm.accepted), 0, []
        for phase, idents in (("checkpoint", range(CHECKPOINT)), ("end", range(CHECKPOINT, MAILS))):
            result = asyncio.run(send_all(gw.port, mails, idents, clients=CLIENTS, seed=len(accepted),
                                          greeting=GREETING))
            accepted |= result.accepted
            refused += result.refused
            errors += result.errors + [f"mail {i}: {r!r}" for i, r in result.failed.items()]
            assert result.refused_with_bytes == [], "refused connections got bytes"
            wait_taken(fax, gw.out_dir, len(accepted), 600 if FULL else 180)
            assert wait_settled(gw.proc.pid, baseline) == baseline, f"(fds, sockets, threads) at the {phase}"
            sampler.mark(phase)
        sampler.stop()
    finally:
        fax.stop()
    print(f"{len(accepted)} mails, {refused} connections refused; resident KiB {sampler.marks}, peak {sampler.peak}")
    assert errors == []
    assert len(accepted) == MAILS + 1 and refused > 0  # more clients than the gateway serves
    assert fax.check(accepted) == MAILS + 1
    # Memory: what it holds after CHECKPOINT mails, give or take a quarter (allocator
    # caches, the stacks of connection threads), after MAILS.
    grown = sampler.marks["end"] - sampler.marks["checkpoint"]
    assert grown <= sampler.marks["checkpoint"] // 4 + 2048, (sampler.marks, sampler.peak)
