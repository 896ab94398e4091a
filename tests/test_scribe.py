"""Console printing, call formatting and the printer of zelk.scribe."""

import functools
import inspect
import io
import logging
import pathlib
import pickle
import re

import pytest

from conftest import leaks, run_in_threads
import zelk
from zelk import scribe
from zelk.scribe import BrillPrint, abbreviate, iformat, iprint

ESC = "\x1b"
TS = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"


def line(sink):
    return sink.getvalue()


# ---- iprint: the printed line ------------------------------------------------------------------


def test_default_line_is_bold_red_critical(sink):
    returned = iprint("started", "ZELK", file=sink)
    assert returned == "started"
    assert re.fullmatch(rf"{ESC}\[1;31m\[{TS}\]\[ZELK\]\[CRITICAL\U0001F480\] started{ESC}\[0m\n", line(sink))


@pytest.mark.parametrize(
    "keywords, opening",
    [
        ({}, "1;31"),
        ({"background": "cyan"}, "1;31;46"),
        ({"mode": "underline", "foreground": "green", "background": "black"}, "4;32;40"),
        ({"mode": "default", "foreground": "blue"}, "0;34"),
    ],
)
def test_opening_sequence(sink, keywords, opening):
    iprint("x", file=sink, **keywords)
    assert line(sink).startswith(f"{ESC}[{opening}m[")


@pytest.mark.parametrize(
    "foreground, label",
    [("black", "INFO"), ("green", "DEBUG"), ("blue", "RISK"), ("white", "INFO\U0001F50A"),
     ("yellow", "WARNING\U0001F631"), ("purple", "ERROR\U0001F92C"), ("cyan", "DEBUG\U0001F438")],
)
def test_colour_chooses_label(sink, foreground, label):
    iprint("m", "T", foreground=foreground, file=sink)
    assert f"][T][{label}] m{ESC}[0m" in line(sink)


def test_timestamp_keyword_changes_only_the_returned_text(sink):
    returned = iprint("hello", timestamp=True, file=sink, end="")
    assert re.fullmatch(rf"\[{TS}\] hello", returned)
    assert re.fullmatch(rf"{ESC}\[1;31m\[{TS}\]\[\]\[CRITICAL\U0001F480\] hello{ESC}\[0m", line(sink))


def test_non_text_objects_are_formatted(sink):
    assert iprint(3.5, file=sink) == "3.5"
    assert iprint(KeyboardInterrupt("stop"), file=sink) == "stop"


@pytest.mark.parametrize(
    "keywords, error",
    [
        ({"foreground": "pink"}, KeyError),
        ({"mode": "loud"}, KeyError),
        ({"background": "pink"}, KeyError),
        ({"exclude": [1]}, TypeError),
        ({"exclude": ["("]}, re.error),
        ({"nonsense": 1}, TypeError),
    ],
)
def test_failures_print_nothing(sink, keywords, error):
    with pytest.raises(error):
        iprint("x", file=sink, **keywords)
    assert line(sink) == ""


# ---- iprint: exception reports -----------------------------------------------------------------


def fail(message="bad value"):
    raise ValueError(message)


def report(exclude=("zelk",), **keywords):
    sink = io.StringIO()
    try:
        fail()
    except ValueError as e:
        returned = iprint(e, exclude=list(exclude), file=sink, **keywords)
    return returned, sink.getvalue()


def test_exception_report_marks_each_line():
    returned, printed = report(exclude=["nothing-matches-this"])
    assert returned.startswith("bad value!\r\n\U0001F47D  Traceback (most recent call last):\n")
    frames = [p for p in returned.split("\U0001F4CC")[1:]]
    assert len(frames) == 2  # report() and fail()
    assert frames[1].startswith('  File "') and "in fail\n    \u2693  raise ValueError(message)" in frames[1]
    assert returned.endswith("\U0001F41B  ValueError: bad value\n")
    assert printed.startswith(f"{ESC}[1;31m[") and printed.endswith(f"{returned}{ESC}[0m\n")


def test_exclude_patterns_drop_frames():
    returned, _ = report(exclude=["in fail"])
    assert "in report" in returned and "in fail" not in returned


def test_empty_exclude_leaves_the_first_line_only():
    returned, _ = report(exclude=[])
    assert returned == "bad value!\r\n"


def test_chained_exceptions_are_all_shown():
    sink = io.StringIO()
    try:
        try:
            fail("inner")
        except ValueError:
            raise RuntimeError("outer")
    except RuntimeError as e:
        returned = iprint(e, exclude=["nothing-matches-this"], file=sink)
    assert "\U0001F41B  ValueError: inner\n" in returned
    assert "\r\n\U0001F4A5\U0001F4A5During handling of the above exception" in returned
    assert returned.endswith("\U0001F41B  RuntimeError: outer\n")


def test_exception_outside_an_except_block():
    returned = iprint(ValueError("lonely"), file=io.StringIO())
    assert returned.startswith("lonely!\r\n")


def report_from(path, exclude):
    """The report of a ValueError("zelk broke") raised in a function compiled as the file `path`."""
    namespace = {}
    exec(compile("def broke():\n    raise ValueError('zelk broke')\n", str(path), "exec"), namespace)
    try:
        namespace["broke"]()
    except ValueError as e:
        return iprint(e, exclude=exclude, file=io.StringIO())


@pytest.mark.parametrize(
    "folders, exclude, frame_kept, line_kept",
    [
        (lambda tmp: zelk.__path__, ["zelk"], False, True),  # the package's own files, wherever installed
        (lambda tmp: [tmp / "zelk"], ["zelk"], True, True),  # a user's folder of the same name
        (lambda tmp: [tmp / "zelk" / "zelk"], ["zelk", "vantor", "melix"], True, True),
        (lambda tmp: [tmp / "zelk"], ["zel[k]"], False, False),  # any other entry is searched everywhere
    ],
)
def test_the_entry_naming_the_package_hides_its_own_frames_only(tmp_path, folders, exclude, frame_kept, line_kept):
    for folder in folders(tmp_path):
        path = pathlib.Path(folder) / "mine.py"
        returned = report_from(path, exclude)
        assert (f'File "{path}", line 2, in broke' in returned, "ValueError: zelk broke" in returned) == (frame_kept, line_kept)
        assert "in report_from" in returned or not line_kept  # the calling frame, in this file


# ---- abbreviate and iformat --------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, limit, expected",
    [
        ("x" * 3072, 1024, "x" * 3072),
        ("ab" * 4, 2, "ab......ab"),
        ("abcdef", 2, "abcdef"),
        ("abcdefg", 2, "ab......fg"),
        ("abc", 0, "......abc"),
        ("", 0, ""),
        ("abc", 2**100, "abc"),
        ("abc", -(2**100), "......"),
    ],
)
def test_abbreviate(text, limit, expected):
    assert abbreviate(text, limit) == expected


def test_abbreviate_default_limit():
    long = "a" * 1024 + "b" * 2000 + "c" * 1024
    assert abbreviate(long) == "a" * 1024 + "......" + "c" * 1024


@pytest.mark.parametrize(
    "args, kwds, expected",
    [
        ((1, 2), {"x": 3}, "@add(1, 2, x=3) \U0001F513 "),
        ((), {}, "@add() \U0001F513 "),
        (["text", None], {"k": "v"}, "@add(text, None, k=v) \U0001F513 "),
        (iter([1.5]), {}, "@add(1.5) \U0001F513 "),
        (("é", "\u20ac"), {"ß": "\U0001F600"}, "@add(é, \u20ac, ß=\U0001F600) \U0001F513 "),
    ],
)
def test_iformat(args, kwds, expected):
    assert iformat("add", args, kwds) == expected


def test_iformat_abbreviates_long_values():
    assert iformat("f", ("y" * 4000,), {}) == "@f(" + "y" * 1024 + "......" + "y" * 1024 + ") \U0001F513 "


def test_iformat_looks_abbreviate_up_at_each_call(monkeypatch):
    monkeypatch.setattr(scribe, "abbreviate", lambda text: text.upper())
    assert iformat("f", ("a",), {"k": "b"}) == "@f(A, k=B) \U0001F513 "


# ---- signatures, checks and the function type --------------------------------------------------


def test_iprint_signature_and_doc():
    assert str(inspect.signature(iprint)) == (
        "(obj: 'Exception | str', title: 'str' = '', mode: 'str' = 'bold', foreground: 'str' = 'red', "
        "background: 'str' = '', exclude: 'list[str]' = ['zelk'], **kwds) -> 'str'"
    )
    assert iprint.__doc__.startswith("#Print info with format: \\033[mode;foreground;backgroundm text \\033[0m\n")
    assert "mode    effect      foreground  background  color   level" in iprint.__doc__
    assert "excluded (list[str], optional): traceback for exception that\n            will not be printed" in iprint.__doc__


def test_defaults_are_made_once():
    assert iprint.__defaults__[-1] is inspect.signature(iprint).parameters["exclude"].default
    assert BrillPrint().exclude is BrillPrint().exclude == ["zelk"]
    assert abbreviate.__annotations__ == {"text": "str", "limit": "int", "return": "str"}
    assert iformat.__annotations__ == {"method": "str", "args": "tuple | list", "kwds": "dict", "return": "str"}


@pytest.mark.parametrize(
    "call, name, expected, got",
    [
        (lambda: iprint("x", title=None), "title", "str", "NoneType"),
        (lambda: iprint("x", exclude=("zelk",)), "exclude", "list", "tuple"),
        (lambda: abbreviate(b"x"), "text", "str", "bytes"),
        (lambda: abbreviate("x", True), "limit", "int", "bool"),
        (lambda: iformat("m", (), []), "kwds", "dict", "list"),
        (lambda: BrillPrint(title=type("S", (str,), {})("sub")), "title", "str", "S"),
    ],
)
def test_type_checks(call, name, expected, got):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


def _abbreviate(text, limit=1024): ...


def _iformat(method, args, kwds): ...


@pytest.mark.parametrize(
    "native, python, args, kwargs",
    [
        (abbreviate, _abbreviate, (), {}),
        (abbreviate, _abbreviate, ("a", 1, 2), {}),
        (abbreviate, _abbreviate, ("a",), {"text": "b"}),
        (abbreviate, _abbreviate, ("a",), {"size": 1}),
        (iformat, _iformat, (), {}),
        (iformat, _iformat, ("m",), {}),
        (iformat, _iformat, (1, 2, 3, 4), {"x": 1}),
    ],
)
def test_wrong_arguments_give_the_interpreters_texts(native, python, args, kwargs):
    python.__qualname__ = native.__qualname__
    with pytest.raises(TypeError) as expected:
        python(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        native(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_functools_wraps_reads_and_writes_native_functions():
    @functools.wraps(iformat)
    def wrapper(*args, **kwargs):
        return iformat(*args, **kwargs)

    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == ("iformat", "iformat", "zelk.scribe")
    assert wrapper.__annotations__ == iformat.__annotations__
    assert str(inspect.signature(wrapper)) == "(method: 'str', args: 'tuple | list', kwds: 'dict') -> 'str'"



def test_functools_wraps_applied_to_a_native_function():
    native = BrillPrint.critical
    saved = {k: getattr(native, k) for k in ("__name__", "__qualname__", "__doc__", "__module__")}

    def original(a, b=2):
        "original doc"

    try:
        wrapped = functools.wraps(original)(native)
        assert wrapped is native
        assert (native.__name__, native.__doc__, native.__wrapped__) == ("original", "original doc", original)
        assert native.__qualname__.endswith("original")
        assert str(inspect.signature(native)) == "(a, b=2)"  # follows __wrapped__ as for Python functions
    finally:
        for k, v in saved.items():
            setattr(native, k, v)
        del native.__wrapped__
        native.__annotations__ = {}
    assert str(inspect.signature(native)) == "(self, message, **kwds)"


def test_functions_behave_like_python_functions():
    assert repr(iformat).startswith("<function iformat at 0x")
    assert pickle.loads(pickle.dumps(iformat)) is iformat
    iformat.custom = 1
    assert iformat.__dict__["custom"] == 1
    del iformat.custom
    printer = BrillPrint("T")
    assert printer.info.__self__ is printer and printer.info.__func__ is BrillPrint.info
    assert str(inspect.signature(printer.info)) == "(message, **kwds)"
    assert str(inspect.signature(BrillPrint)) == (
        "(title: 'str' = 'ZELK', exclude: 'list[str]' = ['zelk'], timestamp: 'bool' = False) -> 'None'"
    )
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'message'"):
        printer.info()


# ---- BrillPrint --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, code, label",
    [
        ("debug", 36, "DEBUG\U0001F438"),
        ("info", 37, "INFO\U0001F50A"),
        ("warning", 33, "WARNING\U0001F631"),
        ("error", 35, "ERROR\U0001F92C"),
        ("critical", 31, "CRITICAL\U0001F480"),
    ],
)
def test_levels(sink, method, code, label):
    printer = BrillPrint("ZELK.PROTO")
    assert getattr(printer, method)("message", file=sink) == "message"
    assert re.fullmatch(rf"{ESC}\[1;{code}m\[{TS}\]\[ZELK\.PROTO\]\[{label}\] message{ESC}\[0m\n", line(sink))


def test_printer_class_shape():
    assert BrillPrint.__module__ == "zelk.scribe" and BrillPrint.__bases__ == (object,)
    assert [k for k in vars(BrillPrint) if not k.startswith("__") or k == "__init__"] == [
        "__init__", "log", "debug", "info", "warning", "error", "critical"]
    printer = BrillPrint("A", ["x"], True)
    assert vars(printer) == {"title": "A", "exclude": ["x"], "timestamp": True}
    with pytest.raises(AttributeError):
        printer.log = None


def test_log_property_follows_the_attributes():
    printer = BrillPrint("A")
    printer.title, printer.timestamp = "B", True
    log = printer.log
    assert isinstance(log, functools.partial) and log.func is iprint
    assert log.keywords == {"title": "B", "exclude": ["zelk"], "timestamp": True}
    assert printer.log is not log


def test_timestamp_printer_returns_stamped_text(sink):
    stamped, plain = io.StringIO(), io.StringIO()
    returned = BrillPrint("T", timestamp=True).info("m", file=stamped)
    assert re.fullmatch(rf"\[{TS}\] m", returned)
    assert BrillPrint("T").info("m", file=plain) == "m"
    strip = lambda s: re.sub(TS, "", s)
    assert strip(stamped.getvalue()) == strip(plain.getvalue())


def test_keywords_reach_iprint(sink):
    BrillPrint("T").debug("m", mode="underline", background="white", title="U", file=sink, end="!")
    assert re.fullmatch(rf"{ESC}\[4;36;47m\[{TS}\]\[U\]\[DEBUG\U0001F438\] m{ESC}\[0m!", line(sink))


@pytest.mark.parametrize("method, keyword", [("info", "mode"), ("info", "foreground"), ("debug", "foreground")])
def test_fixed_keywords_cannot_be_given(method, keyword):
    with pytest.raises(TypeError) as info:
        getattr(BrillPrint(), method)("m", **{keyword: "red"})
    assert str(info.value) == f"function() got multiple values for keyword argument '{keyword}'"


def test_error_reports_the_handled_exception(sink):
    printer = BrillPrint("T", exclude=["nothing-matches-this"])
    try:
        fail("broken")
    except ValueError as e:
        returned = printer.error(e, file=sink)
    assert returned.startswith("broken!\r\n\U0001F47D  Traceback")
    assert "in fail" in returned and returned.endswith("ValueError: broken\n")


# ---- NO_COLOR and ZELK_LOG_LEVEL ---------------------------------------------------------------


@pytest.mark.parametrize("value, coloured", [(None, True), ("", True), ("1", False), ("false", False)])
def test_no_color_leaves_the_colour_codes_out(monkeypatch, sink, value, coloured):
    if value is not None:
        monkeypatch.setenv("NO_COLOR", value)
    assert BrillPrint("T").warning("careful", file=sink) == "careful"
    plain = rf"\[{TS}\]\[T\]\[WARNING\U0001F631\] careful"
    assert re.fullmatch(rf"{ESC}\[1;33m{plain}{ESC}\[0m\n" if coloured else rf"{plain}\n", line(sink))
    record = logging.LogRecord("n", logging.ERROR, __file__, 1, "logged", None, None)
    formatted = scribe.ColoredFormatter("[%(levelname)s] %(message)s").format(record)
    assert formatted == (f"{ESC}[1;35m[ERROR\U0001F92C] logged{ESC}[0m" if coloured else "[ERROR\U0001F92C] logged")


LEVELS = ["debug", "info", "warning", "error", "critical"]


@pytest.mark.parametrize(
    "value, printed",
    [(None, LEVELS), ("WARNING", LEVELS[2:]), (" critical\n", LEVELS[4:]), ("Debug", LEVELS),
     ("loud", LEVELS), ("", LEVELS)],  # an unknown or empty value quiets nothing
)
def test_log_level_quiets_lines_below_it_and_still_returns_their_texts(monkeypatch, sink, value, printed):
    if value is not None:
        monkeypatch.setenv("ZELK_LOG_LEVEL", value)
    printer = BrillPrint("T", exclude=["nothing-matches-this"])
    assert [getattr(printer, level)(level, file=sink) for level in LEVELS] == LEVELS
    assert re.findall(r"\] (\w+)\x1b", line(sink)) == printed
    try:
        fail("broken")
    except ValueError as e:
        report = printer.error(e, file=sink)
    assert report.startswith("broken!\r\n") and report.endswith("ValueError: broken\n")
    assert ("broken!" in line(sink)) == ("error" in printed)
    iprint("risky", foreground="blue", file=sink)  # blue's "RISK" counts as a warning
    assert ("risky" in line(sink)) == ("warning" in printed)


def test_subclasses_and_instances_behave_as_python_classes(sink):
    class Quiet(BrillPrint):
        def info(self, message, **kwds):
            return "quiet " + super().info(message, file=sink, **kwds)

    quiet = Quiet("Q")
    assert isinstance(quiet, BrillPrint) and quiet.info("m") == "quiet m"
    assert "[Q][INFO" in line(sink)


# ---- threads and leaks -------------------------------------------------------------------------


def test_concurrent_printing_and_formatting():
    printer, sinks = BrillPrint("T"), [io.StringIO() for _ in range(8)]

    def work(i):
        for n in range(300):
            assert iformat("f", (i, n), {"k": n}) == f"@f({i}, {n}, k={n}) \U0001F513 "
            assert printer.info(f"{i}-{n}", file=sinks[i]) == f"{i}-{n}"

    run_in_threads(work)
    assert all(s.getvalue().count("\n") == 300 for s in sinks)


def test_function_attributes_change_while_other_threads_call_and_read():
    saved_doc, saved_annotations = abbreviate.__doc__, abbreviate.__annotations__

    def write(i):
        for n in range(2000):
            abbreviate.__doc__ = f"doc {i} {n}"
            abbreviate.__annotations__ = {"text": "str", "n": str(n)}
            abbreviate.__dict__[f"k{i}"] = n

    def read():
        for n in range(2000):
            assert abbreviate("x" * 10, 1) == "x......x"
            assert abbreviate.__doc__ is None or abbreviate.__doc__.startswith("doc ")
            assert "text" in abbreviate.__annotations__
            assert abbreviate.__name__ == "abbreviate"

    try:
        run_in_threads(lambda i: write(i) if i % 2 else read())
    finally:
        abbreviate.__doc__, abbreviate.__annotations__ = saved_doc, saved_annotations
        for i in range(8):
            abbreviate.__dict__.pop(f"k{i}", None)


class NullStream:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


TEXT, ARGS, KWDS = "y" * 50, (object(), "two"), {"x": object()}  # made here: not immortal


@pytest.mark.parametrize(
    "fn",
    [
        lambda: iprint(TEXT, "T", file=NullStream(), timestamp=True),
        lambda: iprint(TEXT, exclude=[], file=NullStream()),
        lambda: iformat(TEXT, ARGS, KWDS),
        lambda: abbreviate(TEXT, 4),
        lambda: BrillPrint("T").warning(TEXT, file=NullStream()),
        lambda: pytest.raises(TypeError, abbreviate, TEXT, limit="1"),
    ],
    ids=["iprint", "iprint with no exclude", "iformat", "abbreviate", "BrillPrint", "argument errors"],
)
def test_no_reference_leaks(fn):
    left = leaks(fn, TEXT, ARGS, KWDS, *ARGS, *KWDS.values(), calls=20_000)
    assert left.references == [0] * 6 and left.blocks < 2_000 and left.rss < 2 << 20
