"""Shared pieces of the stress scenarios: results, feature probes, the framed
byte streams and their checker."""
import os
import random
import re
import threading
import time

import marovenda
from marovenda import aio


class Skip(Exception):
    """A scenario that needs a piece this build does not have yet."""


class Result:
    """What one scenario did, printed as its summary line."""

    def __init__(self, did):
        self.did = did
        self.ops = 0
        self.faults = 0
        self.bytes_checked = 0
        self.lost = 0  # bytes lost that the design does not allow: must stay 0
        self.allowed = {}  # reason -> bytes lost the way the design allows
        self.errors = []
        self.notes = []
        self._lock = threading.Lock()

    def add(self, ops=0, faults=0, checked=0):
        with self._lock:
            self.ops += ops
            self.faults += faults
            self.bytes_checked += checked

    def allow(self, reason, n):
        with self._lock:
            self.allowed[reason] = self.allowed.get(reason, 0) + n

    def error(self, text):
        with self._lock:
            if len(self.errors) < 20:
                self.errors.append(text)

    def to_dict(self):
        return {
            "did": self.did, "ops": self.ops, "faults": self.faults, "bytes_checked": self.bytes_checked,
            "lost": self.lost, "allowed": self.allowed, "errors": self.errors, "notes": self.notes,
        }


def rng(seed=None):
    seed = int(os.environ.get("STRESS_SEED", seed if seed is not None else time.time_ns() % 10**6))
    return random.Random(seed)


def round_trip(s):
    """Whether a port still carries bytes, once the cancel permits that a
    storm of cancel_read()/cancel_write() may have stored are used up."""
    # Only a call that has to wait uses a permit: the read finds nothing
    # buffered, and the write is more than the loopback holds.
    s.timeout, s.write_timeout = 0.05, 0.05
    s.reset_input_buffer()
    s.read(1)  # uses a stored cancel-read permit, or times out
    try:
        s.write(bytes(8192))  # uses a stored cancel-write permit, or times out
    except marovenda.SerialTimeoutException:
        pass
    s.reset_input_buffer()
    s.timeout = 1
    n = s.write(b"still works")
    got = s.read(11)
    if n == 11 and got == b"still works":
        return True
    print(f"round trip: wrote {n}, read {got!r}, settings {s.get_settings()}", flush=True)
    return False


def open_pty_pair():
    """A pty as (master fd, Serial on the slave), or Skip with the reason."""
    master, slave = os.openpty()
    name = os.ttyname(slave)
    try:
        s = marovenda.Serial(name, timeout=1)
    except marovenda.SerialException as e:
        os.close(master)
        os.close(slave)
        raise Skip(f"pty ports do not open yet ({e})")
    os.close(slave)  # the port holds its own descriptor
    return master, s


def pty_probe():
    master, s = open_pty_pair()
    s.close()
    os.close(master)


def transport_probe():
    if not hasattr(aio, "create_serial_connection"):
        raise Skip("marovenda.aio has no create_serial_connection yet")


# --- framed streams ---
#
# A record is "<", a writer letter, a 7-digit sequence number, filler letters
# and ">". '<' and '>' occur nowhere else, so a stream splits into records at
# '<', and a cut record (a partial write, a lost read) shows as a short token.

def record(w, seq, fixed=None):
    n = fixed if fixed is not None else (seq * 7 + w * 3) % 23
    fill = bytes(97 + (seq + i) % 26 for i in range(n))
    return b"<%c%07d%s>" % (65 + w, seq, fill)


TOKEN = re.compile(rb"<[^<]*")


class Writer:
    """What one writer sent, record by record, as the calls reported it."""

    FULL, CUT, UNSENT, TIMEOUT = "full", "cut", "unsent", "timeout"

    def __init__(self, w):
        self.w = w
        self.seq = 0
        self.records = []  # [record bytes, status, bytes known sent, timeout block id]
        self.blocks = 0

    def block(self, count, fixed=None):
        recs = [record(self.w, self.seq + i, fixed) for i in range(count)]
        self.seq += count
        return recs

    def log(self, recs, outcome, n=None):
        """outcome: 'ok' with count n, or 'timeout' (count unknown)."""
        self.blocks += 1
        if outcome == "timeout":
            for r in recs:
                self.records.append([r, self.TIMEOUT, None, self.blocks])
            return
        for r in recs:
            k = max(0, min(len(r), n))
            n -= k
            status = self.FULL if k == len(r) else self.CUT if k else self.UNSENT
            self.records.append([r, status, k, None])

    def sent_known(self):
        return sum(r[2] for r in self.records if r[2] is not None)


def check_stream(segments, writers, result, breaks_allowed=False):
    """Checks what a single reader received against what the writers sent.

    segments: the bytes received, split where a read was cancelled and its
    data lost (one segment when nothing was cancelled). Every byte must arrive
    once and in order per writer; the only gaps allowed are the unknown tail of
    a write that raised "Write timeout" and, at a segment boundary, the data of
    a cancelled read. Each loss is counted in result.
    """
    by_letter = {65 + w.w: w for w in writers}
    pos = {w.w: 0 for w in writers}
    seen = {w.w: 0 for w in writers}  # bytes received per writer
    seg_of_last = {w.w: 0 for w in writers}
    closed_blocks = set()  # (writer, block) of timed-out writes known to be cut
    received = 0
    unattributed = 0
    count = 0  # tokens so far
    last_token = {w.w: -1 for w in writers}
    lone = []  # positions of lone '<' tokens not yet given to a writer

    def take_lone(w):
        for j, at in enumerate(lone):
            if at > last_token[w]:
                del lone[j]
                return True
        return False

    def skip_absent(wr):
        """Moves past records that may be missing before the next token."""
        i = pos[wr.w]
        while i < len(wr.records):
            status, blk = wr.records[i][1], wr.records[i][3]
            if not (status == Writer.UNSENT or (status == Writer.TIMEOUT and (wr.w, blk) in closed_blocks)):
                break
            i += 1
        pos[wr.w] = i

    for si, seg in enumerate(segments):
        received += len(seg)
        first = seg.find(b"<")
        head = seg if first < 0 else seg[:first]
        if head:
            if si == 0 or not breaks_allowed:
                result.error(f"segment {si} starts inside a record: {head[:40]!r}")
                result.lost += len(head)
            else:
                unattributed += len(head)  # the tail of a record whose head a cancelled read took
        if first < 0:
            continue
        tokens = TOKEN.findall(seg, first)
        for ti, tok in enumerate(tokens):
            at_end = ti == len(tokens) - 1 and si < len(segments) - 1 and breaks_allowed
            wr = by_letter.get(tok[1]) if len(tok) > 1 else None
            if wr is None:
                if len(tok) > 1:
                    result.error(f"token of no writer: {tok[:40]!r}")
                    result.lost += len(tok)
                    continue
                # A lone '<': the first byte of a write cut right after it.
                # Which writer's is known only when that writer's next token
                # comes, so it waits until then.
                if at_end:
                    unattributed += 1
                else:
                    lone.append(count)
                count += 1
                continue
            w = wr.w
            while True:
                skip_absent(wr)
                i = pos[w]
                if i >= len(wr.records):
                    result.error(f"writer {w}: received more than was sent: {tok[:40]!r}")
                    result.lost += len(tok)
                    break
                rec, status, k, blk = wr.records[i]
                if rec.startswith(tok):
                    complete = len(tok) == len(rec)
                    if status == Writer.FULL and not complete and not at_end:
                        result.error(f"writer {w}: record cut short: {tok!r}, sent {rec!r}")
                        result.lost += len(rec) - len(tok)
                    elif status == Writer.CUT and len(tok) != k and not at_end:
                        result.error(f"writer {w}: cut record has {len(tok)} bytes, the write reported {k}")
                    elif status == Writer.TIMEOUT and not complete:
                        closed_blocks.add((w, blk))
                    seen[w] += len(tok)
                    wr.records[i].append(len(tok))  # bytes of it received
                    pos[w] = i + 1
                    seg_of_last[w] = si
                    last_token[w] = count
                    break
                # The token is not the next record: a gap. Allowed for a write
                # cut after its first byte (a lone '<' since), a timed-out
                # block, or across a cancelled read.
                if status == Writer.CUT and k == 1 and take_lone(w):
                    seen[w] += 1
                    wr.records[i].append(1)
                    pos[w] = i + 1
                    continue
                if status == Writer.TIMEOUT:
                    closed_blocks.add((w, blk))
                    pos[w] = i + 1
                    continue
                if breaks_allowed and seg_of_last[w] < si:
                    wr.records[i].append(0)
                    pos[w] = i + 1
                    continue
                result.error(f"writer {w}: expected {rec[:12]!r}... ({status}), got {tok[:40]!r}")
                result.lost += len(tok)
                break
            count += 1

    for wr in writers:  # a cut after one byte that no later token of its writer followed
        skip_absent(wr)
        i = pos[wr.w]
        if i < len(wr.records) and wr.records[i][1] == Writer.CUT and wr.records[i][2] == 1 and take_lone(wr.w):
            seen[wr.w] += 1
            wr.records[i].append(1)

    # Whatever was sent and never seen.
    timeout_lost = 0
    for wr in writers:
        for i, r in enumerate(wr.records):
            rec, status, k, blk = r[:4]
            got = r[4] if len(r) > 4 else 0
            if status == Writer.TIMEOUT:
                timeout_lost += len(rec) - got
            elif status in (Writer.FULL, Writer.CUT):
                missing = k - got
                if missing > 0 and not breaks_allowed:
                    result.error(f"writer {wr.w}: record {rec[:9]!r} lost {missing} bytes")
                    result.lost += missing
    # What lone '<' remain can only be the first byte of a timed-out write's
    # unsent record, one at most per timed-out block.
    cut_blocks = len(closed_blocks) + sum(
        1 for wr in writers for r in wr.records[pos[wr.w]:pos[wr.w] + 1] if r[1] == Writer.TIMEOUT)
    if len(lone) > cut_blocks:
        result.error(f"{len(lone)} lone '<' bytes that no cut write explains")
        result.lost += len(lone)
    else:
        timeout_lost -= len(lone)
    if timeout_lost:
        result.allow("unsent tail of a timed-out write", timeout_lost)
    if breaks_allowed:
        sent = sum(w.sent_known() for w in writers)
        in_records = sum(seen.values())
        gone = sent - in_records - unattributed
        if gone < 0:
            result.error(f"received {-gone} bytes more than were sent")
            result.lost += -gone
        elif gone:
            cancelled = len(segments) - 1
            if not cancelled:
                result.error(f"{gone} bytes lost without a cancelled read")
                result.lost += gone
            else:
                result.allow(f"data of {cancelled} cancelled reads", gone)
    result.add(checked=received)
    return received
