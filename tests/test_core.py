"""The runtime layer under every module: module state, the native function type, declarations."""

import importlib
import inspect
import re

import pytest

from zelk import _testcore

MODULES = ["zelk.scribe", "zelk.minter", "zelk.protocol", "zelk.ring"]


@pytest.mark.parametrize("name", MODULES)
def test_each_module_has_its_own_function_type_and_a_docstring(name):
    module = importlib.import_module(name)
    unwrap = lambda v: getattr(v, "__func__", getattr(v, "fget", v))  # noqa: E731
    functions = [unwrap(v) for v in vars(module).values()]
    functions += [unwrap(v) for cls in vars(module).values() if isinstance(cls, type) and cls.__module__ == name
                  for v in vars(cls).values()]
    functions = [f for f in functions if type(f).__name__ == "native_function"]
    types = {type(f) for f in functions}
    assert len(types) == 1
    (t,) = types
    assert (t.__module__, t.__qualname__, t.__name__) == (name, "native_function", "native_function")
    assert all(f.__module__ == name for f in functions) and len(functions) > 3
    assert module.__doc__ and "\n" not in module.__doc__


def test_function_types_of_two_modules_differ():
    from zelk.ring import get_port
    from zelk.scribe import iprint

    assert type(iprint) is not type(get_port)
    with pytest.raises(TypeError):
        type(iprint)()


def test_module_name_of_a_function_is_its_own():
    f = _testcore.declare("f", [])
    assert f.__module__ == "zelk._testcore" and type(f).__module__ == "zelk._testcore"
    f.__module__ = "elsewhere"
    assert (f.__module__, type(f).__module__, f.__dict__) == ("elsewhere", "zelk._testcore", {})
    del f.__module__
    assert f.__module__ is None


def test_signature_can_be_set_and_deleted_like_a_python_functions():
    def python(a): ...

    f = _testcore.declare("f", [("", "a", "any")])
    custom = inspect.Signature([inspect.Parameter("z", inspect.Parameter.KEYWORD_ONLY)])
    for function in (python, f):
        with pytest.raises(AttributeError):
            del function.__signature__
        function.__signature__ = custom
        assert inspect.signature(function) is custom
        del function.__signature__
    assert str(inspect.signature(f)) == "(a)"


def test_annotations_come_from_annotate_once_it_is_set():
    f = _testcore.declare("f", [("", "a", "str"), ("", "b", "float", 1.0)])
    assert f.__annotations__ == {"a": "str", "b": "float"}
    assert [f.__annotate__(format) for format in (1, 2, 3, 4)] == [f.__annotations__] * 4
    with pytest.raises(NotImplementedError):
        f.__annotate__(5)
    f.__annotate__ = lambda format: {"a": int}
    assert f.__annotations__ == {"a": int}
    f.__annotate__ = lambda format: [1]
    del f.__annotations__
    with pytest.raises(TypeError, match="__annotate__ returned non-dict of type 'list'"):
        f.__annotations__
    for bad, error in [(5, "__annotate__ must be callable or None")]:
        with pytest.raises(TypeError, match=error):
            f.__annotate__ = bad
    with pytest.raises(TypeError, match="cannot be deleted"):
        del f.__annotate__
    f.__annotate__ = None
    del f.__annotations__
    assert f.__annotations__ == {}


@pytest.mark.parametrize(
    "params, arity, error",
    [
        ([("*", "a"), ("", "b", "any")], None, "g(): parameter 'b' follows *args, keyword-only parameters or **kwargs"),
        ([("**", "k"), ("*", "a")], None, "g(): *a follows *args, keyword-only parameters or **kwargs"),
        ([("kw", "k", "any"), ("", "b", "any")], None, "g(): parameter 'b' follows *args, keyword-only parameters or **kwargs"),
        ([("**", "k"), ("kw", "b", "any")], None, "g(): parameter 'b' follows **kwargs"),
        ([("", "a", "any", 1), ("", "b", "any")], None, "g(): parameter 'b' without a default follows one with a default"),
        ([("**", "k"), ("**", "j")], None, "g(): a second **j"),
        ([("", "a", "any")], 2, "g(): declared 1 parameters for an implementation of 2"),
    ],
)
def test_declarations_that_cannot_be_signatures_are_refused(params, arity, error):
    with pytest.raises(SystemError) as info:
        _testcore.declare("g", params, arity)
    assert str(info.value) == error


def _python(a, b=5, *rest, key, opt=None, **kw): ...


@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {"key": 0}), ((1, 2, 3, 4), {"x": 5, "key": 1}), ((), {"a": 1, "b": 2, "key": 2, "opt": 3}), ((), {}),
     ((1,), {"a": 2}), ((), {"b": 1}), ((1, 2), {})],
)
def test_binding_with_varargs_and_keyword_only_matches_python(args, kwargs):
    f = _testcore.declare("_python", [("", "a", "any"), ("", "b", "any", 5), ("*", "rest"), ("kw", "key", "any"),
                                      ("kw", "opt", "any", None), ("**", "kw")])
    assert str(inspect.signature(f)) == str(inspect.signature(_python)) and f.__kwdefaults__ == {"opt": None}
    try:
        bound = inspect.signature(_python).bind(*args, **kwargs)
    except TypeError:
        with pytest.raises(TypeError) as expected:
            _python(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            f(*args, **kwargs)
        assert str(got.value) == str(expected.value)
        return
    bound.apply_defaults()
    assert f(*args, **kwargs) == tuple(bound.arguments.values())


def _collects(a, b, *rest, **kw):
    return a, b, rest, kw


@pytest.mark.parametrize(
    "args, kwargs",
    [((1, 2), {}), ((1, 2, 3), {"x": 4}), ((1,), {"b": 2}), ((1, 2), {"a": 3}), ((1,), {}), ((), {"a": 1, "b": 2})],
)
def test_leading_arguments_and_the_rest_bind_as_in_python(args, kwargs):
    f = _testcore.declare("_collects", [("", "a", "any"), ("", "b", "any"), ("*", "rest"), ("**", "kw")])
    try:
        expected = _collects(*args, **kwargs)
    except TypeError as e:
        with pytest.raises(TypeError, match=re.escape(str(e))):
            f(*args, **kwargs)
    else:
        assert f(*args, **kwargs) == expected


def test_modules_load_in_subinterpreters_where_they_can():
    interpreters = pytest.importorskip("_interpreters")
    iid = interpreters.create()
    try:
        script = "import zelk.scribe, zelk.minter; zelk.minter.strfid(zelk.minter.generator(1)()); zelk.scribe.iformat('f', (), {})"
        assert interpreters.run_string(iid, script) is None
        for name in ("zelk.protocol", "zelk.ring"):
            failure = interpreters.run_string(iid, f"import {name}")
            assert failure.type.__name__ == "ImportError"
            assert failure.msg == f"module {name} does not support loading in subinterpreters"
    finally:
        interpreters.destroy(iid)


# A daemon thread that wakes while the interpreter finalizes is ended by pthread_exit (3.13): the
# unwinding reaches a C++ boundary, which parks the thread without tripping the sanitizers.
WOKEN_AT_EXIT = """
import socket, threading
from zelk.ring import Connection
a, b = socket.socketpair()
b.settimeout(0.001)
def read():
    while True:
        try:
            Connection(b).recv()
        except TimeoutError:
            pass
threading.Thread(target=read, daemon=True).start()
threading.Event().wait(0.1)
"""


def test_a_daemon_thread_woken_at_exit_is_parked_quietly():
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-c", WOKEN_AT_EXIT], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and "runtime error" not in done.stderr, done.stderr
