"""Call costs of zelk.scribe's native functions next to builtin and Python functions, in one run.

abbreviate(text, limit) with a short text does almost nothing besides its two argument checks, so it
shows what a call through zelk's function type costs; operator.is_ is a builtin function of the same
arity that does as little. isinstance and len have opcodes of their own in the interpreter.
"""

import operator
import os
import timeit

from zelk.scribe import BrillPrint, abbreviate, iformat


def best(stmt, number, namespace):
    """Best per-call time in nanoseconds over several repeats."""
    return min(timeit.repeat(stmt, number=number, repeat=7, globals=namespace)) / number * 1e9


def python_abbreviate(text, limit=1024):
    return text


def main():
    ns = {"abbreviate": abbreviate, "iformat": iformat, "python_abbreviate": python_abbreviate, "text": "x",
          "is_": operator.is_}
    rows = [
        ("native  abbreviate(text, 1024)", "abbreviate(text, 1024)"),
        ("native  abbreviate(text)  [default]", "abbreviate(text)"),
        ("native  abbreviate(text, limit=1024)", "abbreviate(text, limit=1024)"),
        ("builtin operator.is_(text, 1024)", "is_(text, 1024)"),
        ("builtin isinstance(text, str)  [own opcode]", "isinstance(text, str)"),
        ("builtin len(text)", "len(text)"),
        ("python  python_abbreviate(text, 1024)", "python_abbreviate(text, 1024)"),
        ('native  iformat("m", (1, 2), {"x": 3})', 'iformat("m", (1, 2), {"x": 3})'),
    ]
    times = {label: best(stmt, 1_000_000 if "iformat" not in stmt else 200_000, ns) for label, stmt in rows}
    for label, ns_per_call in times.items():
        print(f"{label:42s} {ns_per_call:8.1f} ns/call")
    native = times["native  abbreviate(text, 1024)"]
    builtin = times["builtin operator.is_(text, 1024)"]
    print(f"function type / builtin call: {native / builtin:.2f}x (target: within 1.5x)")
    printer_lines()


class NullStream:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def printer_lines():
    """A printer's line into a stream that discards it: printed, and below ZELK_LOG_LEVEL (not printed)."""
    ns = {"printer": BrillPrint("T"), "null": NullStream()}
    for label, level in [("printed", None), ("below ZELK_LOG_LEVEL=error", "error")]:
        if level:
            os.environ["ZELK_LOG_LEVEL"] = level
        try:
            per_call = best('printer.info("m", file=null)', 50_000, ns)
        finally:
            os.environ.pop("ZELK_LOG_LEVEL", None)
        print(f"{'native  BrillPrint.info, ' + label:42s} {per_call:8.1f} ns/call")


if __name__ == "__main__":
    main()
