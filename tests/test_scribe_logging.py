"""The logging set-up of zelk.scribe: ColoredFormatter, _StreamHandler, Filter, ilog, BrillLogger."""

import io, json, logging, os, re, subprocess, sys, time, uuid
from pathlib import Path

import pytest

from conftest import run_in_threads
from zelk import scribe

INFO, WARN, ERROR = "INFO\U0001f50a", "WARNING\U0001f631", "ERROR\U0001f92c"
CONSOLE_TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}"
FILE_TIME = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}"
logging.addLevelName(25, "NOTICE")


def console(name, code, label, message, end="\n"):
    return rf"\x1b\[1;{code}m\[{CONSOLE_TIME}\]\[{re.escape(name)}\]\[{label}\] {message}\x1b\[0m{end}"


def in_file(name, label, message):
    return rf"\[{FILE_TIME}\]\[{re.escape(name)}\]\[{label}\] {message}\n"


@pytest.fixture
def make_log(tmp_path, monkeypatch):
    """ilog under a fresh name with its console going to a StringIO; handlers closed afterwards."""
    monkeypatch.setenv("LOGGER", "before")  # ilog rewrites it; restored after the test
    made = []

    def make(name=None, propagate=False, **kwds):
        log = scribe.ilog(name or f"t{uuid.uuid4().hex[:10]}", **{"logdir": tmp_path, **kwds})
        log.propagate = propagate
        log.handlers[0].setStream(io.StringIO())
        made.append(log)
        return log, log.handlers[0].stream, Path(kwds.get("logdir", tmp_path)) / f"{log.name}.log"

    yield make
    for log in made:
        for handler in list(log.handlers):
            log.removeHandler(handler)
            handler.close()


def test_module_order():
    names = list(vars(scribe))
    assert names[names.index("BrillPrint") :] == [
        "BrillPrint", "ColoredFormatter", "_StreamHandler", "ilog", "BrillLogger", "__test__"]
    assert scribe.Filter is not logging.Filter and issubclass(scribe.Filter, logging.Filter)


@pytest.mark.parametrize(("level", "code", "label"), [
    (logging.DEBUG, 36, "DEBUG\U0001f438"), (logging.INFO, 37, INFO), (logging.WARNING, 33, WARN),
    (logging.ERROR, 35, ERROR), (logging.CRITICAL, 31, "CRITICAL\U0001f480"), (25, 37, INFO)])
def test_console_and_file_lines(make_log, level, code, label):
    log, out, path = make_log(level=logging.DEBUG)
    log.log(level, "value %s and %d%%", "x", 5)
    assert re.fullmatch(console(log.name, code, label, "value x and 5%"), out.getvalue())
    assert re.fullmatch(in_file(log.name, label, "value x and 5%"), path.read_text(encoding="utf-8"))


def test_markers(make_log):
    log, out, path = make_log()
    for message in ["a[!n]b[!n]c", "plain", "hidden!!!", "last[!n]", "again"]:
        log.info(message)
    shown = [("abc", "\r"), ("plain", "\n"), ("hidden!!!", "\n"), ("last", "\r"), ("again", "\n")]
    assert re.fullmatch("".join(console(log.name, 37, INFO, m, e) for m, e in shown), out.getvalue())
    kept = "".join(in_file(log.name, INFO, m) for m in ["abc", "plain", "last", "again"])
    assert re.fullmatch(kept, path.read_text(encoding="utf-8"))


@pytest.mark.parametrize("message", [42, ValueError("boom"), {"k": "!!!"}, None])
def test_messages_that_are_not_str(make_log, message):
    log, out, path = make_log()
    log.warning(message)  # logged like any logging message, not a TypeError in the caller
    assert re.fullmatch(console(log.name, 33, WARN, re.escape(str(message))), out.getvalue())
    assert re.fullmatch(in_file(log.name, WARN, re.escape(str(message))), path.read_text(encoding="utf-8"))


def test_second_coloured_handler_keeps_the_level_colour(make_log):
    parent, parent_out, _ = make_log(when="")
    child, child_out, _ = make_log(name=parent.name + ".child", when="", propagate=True)
    child.error("once")
    for out in (child_out, parent_out):
        assert re.fullmatch(console(child.name, 35, ERROR, "once"), out.getvalue())


def test_ilog_without_file_touches_no_disk(make_log, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    log, out, _ = make_log(when="", logdir=tmp_path / "never", level=logging.WARNING)
    log.info("below the level")
    log.warning("shown")
    assert [type(h) for h in log.handlers] == [scribe._StreamHandler]
    assert (os.environ["LOGGER"], list(tmp_path.iterdir()), out.getvalue().count("\n")) == (log.name, [], 1)


@pytest.mark.parametrize("existing", [False, True])
def test_ilog_logdir_created_or_appended(make_log, tmp_path, existing):
    logdir, name = tmp_path / "a" / "b", f"t{uuid.uuid4().hex[:10]}"
    if existing:
        logdir.mkdir(parents=True)
        (logdir / f"{name}.log").write_text("earlier\n", encoding="utf-8")
    log, _, path = make_log(name=name, logdir=str(logdir))
    log.info("new")
    assert re.fullmatch("(earlier\n)?" + in_file(name, INFO, "new"), path.read_text(encoding="utf-8"))
    assert path.read_text(encoding="utf-8").startswith("earlier") == existing


def test_rotation_keeps_the_newest(make_log, tmp_path):
    name = f"t{uuid.uuid4().hex[:10]}"
    planted = [tmp_path / f"{name}.log.2000-01-0{d}_00-00-00.log" for d in (1, 2)]
    foreign = tmp_path / f"{name}.log.old"
    for p in [*planted, foreign]:
        p.write_text("old\n")
    log, _, path = make_log(name=name, when="S", count=2)
    for i in range(3):  # at least two rollovers, each in a later second
        time.sleep(1.05 if i else 0)
        log.info(f"record {i}")
    stamped = re.compile(rf"{name}\.log\.\d{{4}}(-\d\d){{2}}_\d\d(-\d\d){{2}}\.log")
    rotated = [p for p in tmp_path.iterdir() if stamped.fullmatch(p.name)]
    assert len(rotated) == 2 and not set(planted) & set(rotated)
    assert foreign.exists() and path.read_text(encoding="utf-8").endswith("] record 2\n")


@pytest.mark.parametrize(("call", "message"), [
    (lambda: scribe.ilog("n", level=True), "Argument 'level' has incorrect type (expected int, got bool)"),
    (lambda: scribe.ilog("n", when=None), "Argument 'when' has incorrect type (expected str, got NoneType)"),
    (lambda: scribe.BrillLogger(b"x"), "Argument 'child' has incorrect type (expected str, got bytes)")])
def test_argument_types(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call()


def test_brill_logger_forwards_arguments(monkeypatch):
    name = f"t{uuid.uuid4().hex[:10]}"
    monkeypatch.setenv("LOGGER", name)
    handler = logging.Handler()
    records = []
    handler.emit = records.append
    logging.getLogger(name).addHandler(handler)
    b = scribe.BrillLogger("svc")
    try:
        raise KeyError("k")
    except KeyError:
        assert b.error("v=%s %s", 3, "z", exc_info=True, extra={"tag": "t"}) is None
    b.debug("below the default level")
    logging.getLogger(name).removeHandler(handler)
    (record,) = records
    assert (record.name, record.getMessage(), record.tag, record.exc_info[0]) == (f"{name}.svc", "v=3 z", "t", KeyError)
    assert record.pathname == __file__  # the caller's frame, not one of the package


@pytest.mark.parametrize(("logger_env", "body", "top", "shown"), [
    (None, 'b = BrillLogger("svc"); BrillLogger("two"); b.debug("hidden"); b.info("shown %d", 1)',
     ["ZELK", "ZELK.svc", ["_StreamHandler"], 20], f"[ZELK.svc][{INFO}] shown 1\x1b[0m\n"),
    (None, 'b = BrillLogger("svc", "APP"); b.warning("careful")',
     ["APP", "APP.svc", ["_StreamHandler"], 20], f"[APP.svc][{WARN}] careful"),
    (None, 'ilog("Srv", logdir="logs"); b = BrillLogger("x"); b.info("to file")',
     ["Srv", "Srv.x", ["_StreamHandler", "TimedRotatingFileHandler"], 20], f"[Srv.x][{INFO}] to file"),
    ("Preset", 'b = BrillLogger(""); b.critical("top")', ["Preset", "Preset", [], 0], "top"),
], ids=["default parent", "given parent", "after ilog", "empty child"])
def test_brill_logger_in_a_fresh_process(tmp_path, logger_env, body, top, shown):
    code = f"""import logging, os, json\nfrom zelk.scribe import BrillLogger, ilog\n{body}
t = logging.getLogger(os.environ["LOGGER"])
print(json.dumps([os.environ["LOGGER"], b.log.name, [type(h).__name__ for h in t.handlers], t.level]))"""
    env = {k: v for k, v in os.environ.items() if k != "LOGGER"} | ({"LOGGER": logger_env} if logger_env else {})
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True,
                          encoding="utf-8", timeout=60)
    assert json.loads(done.stdout) == top, done.stderr
    assert done.stderr.count(shown) == 1 and "hidden" not in done.stderr
    logs = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*.log"))
    assert logs == (["logs/Srv.log"] if top[0] == "Srv" else [])
    if logs:
        assert re.fullmatch(in_file("Srv.x", INFO, "to file"), (tmp_path / logs[0]).read_text(encoding="utf-8"))


def test_threads_lose_and_interleave_no_line(make_log):
    log, out, path = make_log()

    def work(t):
        for i in range(10_000):
            log.info("t%d r%d" + ("[!n]" if i % 3 == 0 else ""), t, i)

    run_in_threads(work)
    lines = path.read_text(encoding="utf-8").splitlines(keepends=True)
    file_re = re.compile(in_file(log.name, INFO, r"t(\d) r(\d+)"))
    assert len(lines) == len({file_re.fullmatch(line).groups() for line in lines}) == 80_000
    shown = list(re.finditer(console(log.name, 37, INFO, r"t\d r(\d+)", "([\r\n])"), out.getvalue()))
    assert len(shown) == 80_000 and "".join(m[0] for m in shown) == out.getvalue()
    assert all((m[2] == "\r") == (int(m[1]) % 3 == 0) for m in shown)
