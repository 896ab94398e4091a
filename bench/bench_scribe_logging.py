"""Throughput of zelk.scribe's logging set-up against plain logging (a StreamHandler and a FileHandler)."""

import logging
import os
import tempfile
import threading
import time

from zelk import scribe

PATTERN = "[%(asctime)s][%(name)s][%(levelname)s] %(message)s"
RECORDS = 20_000


def per_second(fn, n):
    start = time.perf_counter()
    fn(n)
    return n / (time.perf_counter() - start)


def threaded(log, threads):
    def run(n):
        barrier = threading.Barrier(threads)

        def work():
            barrier.wait()
            for i in range(n // threads):
                log.info("record %d of %s", i, "bench")

        ts = [threading.Thread(target=work) for _ in range(threads)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    return run


def plain_logger(name, logdir, devnull):
    log = logging.getLogger(name)
    console = logging.StreamHandler(devnull)
    console.setFormatter(logging.Formatter(PATTERN))
    log.addHandler(console)
    fh = logging.FileHandler(os.path.join(logdir, name + ".log"), encoding="utf-8")
    fh.setFormatter(logging.Formatter(PATTERN))
    log.addHandler(fh)
    log.setLevel(logging.INFO)
    log.propagate = False
    return log


def main():
    devnull = open(os.devnull, "w")
    with tempfile.TemporaryDirectory() as logdir:
        zlog = scribe.ilog("BenchZelk", logdir=logdir)
        zlog.propagate = False
        zlog.handlers[0].setStream(devnull)
        plain = plain_logger("BenchPlain", logdir, devnull)
        print(f"records through console + file handlers ({RECORDS} each):")
        for threads in (1, 8):
            z = per_second(threaded(zlog, threads), RECORDS)
            p = per_second(threaded(plain, threads), RECORDS)
            print(f"  {threads} thread(s): ilog {z:10,.0f}/s   plain logging {p:10,.0f}/s   ratio {z / p:.2f}")

        brill = scribe.BrillLogger("child")  # LOGGER now names BenchZelk
        b = per_second(lambda n: [brill.info("record %d", i) for i in range(n)], RECORDS)
        d = per_second(lambda n: [brill.log.info("record %d", i) for i in range(n)], RECORDS)
        print(f"BrillLogger.info {b:10,.0f}/s   its logger's info {d:10,.0f}/s   ratio {b / d:.2f}")

        record = logging.LogRecord("b", logging.WARNING, __file__, 1, "message %d", (1,), None)
        colored, standard = scribe.ColoredFormatter(PATTERN), logging.Formatter(PATTERN)

        def fmt(f):
            def run(n):
                for _ in range(n):
                    record.levelname = "WARNING"
                    f.format(record)

            return run

        c = per_second(fmt(colored), 100_000)
        s = per_second(fmt(standard), 100_000)
        print(f"ColoredFormatter.format {c:10,.0f}/s   logging.Formatter.format {s:10,.0f}/s   ratio {c / s:.2f}")
        for h in zlog.handlers + plain.handlers:
            h.close()


if __name__ == "__main__":
    main()
