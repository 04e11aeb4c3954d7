"""Memory of a browser and its engine helpers, read from /proc: the processes of the
browser's session, their PSS and the PSS they would have if nothing else on the
machine shared their pages.

PSS divides each shared page among every process that maps it, machine-wide: another Qt
WebEngine program running beside ours (a test, a second browser) lowers our figure. The
"alone" figure divides pages only among our own processes, which is what PSS reads on a
machine where the browser runs alone. It needs the page frame numbers of /proc/PID/pagemap,
which only root may read; without them it is None.
"""

import os
import struct

PAGE = os.sysconf("SC_PAGE_SIZE")


def session_pids(sid):
    """Every process of the session the browser leads: it and the engine's helpers."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            pids.append(int(entry))
    return sorted(pids)


def rollup(pid):
    """Fields of /proc/PID/smaps_rollup in KiB (Rss, Pss, Private_Dirty, ...)."""
    out = {}
    try:
        with open("/proc/%d/smaps_rollup" % pid) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 3 and parts[2] == "kB":
                    out[parts[0].rstrip(":")] = int(parts[1])
    except OSError:
        pass
    return out


def pss_kib(pid):
    return rollup(pid).get("Pss", 0)


def _resident_frames(pid):
    """Page frame numbers of the resident pages of a process, or None when unreadable."""
    frames = []
    try:
        ranges = []
        with open("/proc/%d/smaps" % pid) as f:
            start = end = None
            for line in f:
                head = line.split(None, 1)[0]
                if "-" in head and not head.endswith(":"):
                    lo, hi = head.split("-")
                    start, end = int(lo, 16), int(hi, 16)
                elif head == "Rss:" and int(line.split()[1]) > 0:
                    ranges.append((start, end))
        with open("/proc/%d/pagemap" % pid, "rb") as f:
            for start, end in ranges:
                f.seek(start // PAGE * 8)
                data = f.read((end - start) // PAGE * 8)
                for (entry,) in struct.iter_unpack("<Q", data):
                    if entry >> 63:
                        frames.append(entry & ((1 << 55) - 1))
    except OSError:
        return None
    if frames and not any(frames):
        return None  # frame numbers hidden: not root
    return frames


def pss_alone_kib(pids):
    """{pid: PSS in KiB counting only sharing among `pids`}, or None without pagemap access."""
    per_pid = {}
    counts = {}
    for pid in pids:
        frames = _resident_frames(pid)
        if frames is None:
            return None
        per_pid[pid] = frames
        for pfn in frames:
            counts[pfn] = counts.get(pfn, 0) + 1
    kib = PAGE // 1024
    return {pid: sum(kib / counts[pfn] for pfn in frames) for pid, frames in per_pid.items()}
