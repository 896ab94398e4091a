"""IDs per second from one SFID and one TSID generator, single-threaded, against the design's limits."""

import time

from zelk.minter import SFID, TSID, strfid

DURATION = 1.0


def rate(getid, *args):
    """IDs per second drawn from `getid` over about DURATION seconds, by the wall clock and by this
    thread's CPU time (the second is steadier on a busy machine, where the process waits its turn)."""
    n = 0
    start, cpu_start = time.perf_counter(), time.thread_time()
    deadline = start + DURATION
    while True:
        for _ in range(100):
            getid(*args)
        n += 100
        now = time.perf_counter()
        if now >= deadline:
            return n / (now - start), n / (time.thread_time() - cpu_start)


def report(label, rates, limit):
    wall, cpu = rates
    print(
        f"{label:<26} {wall:>10,.0f} IDs/s (ratio {wall / limit:.3f})   "
        f"per CPU second {cpu:>10,.0f} (ratio {cpu / limit:.3f})   limit {limit:,}/s"
    )


def main():
    report("SFID.getid()", rate(SFID(1, 2).getid), 2_000)  # two IDs per millisecond
    report("SFID.getid(readable=True)", rate(SFID(1, 2).getid, True), 2_000)
    report("TSID.getid()", rate(TSID(0).getid), 1_000_000)  # one ID per microsecond
    packed = SFID(1, 2).getid()
    n, start = 0, time.perf_counter()
    while time.perf_counter() - start < DURATION:
        for _ in range(1000):
            strfid(packed)
        n += 1000
    print(f"{'strfid':<26} {n / (time.perf_counter() - start):>10,.0f} calls/s")


if __name__ == "__main__":
    main()
