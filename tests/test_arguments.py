"""Binding of arguments and the conversions of int parameters, with the interpreter-style messages."""

from __future__ import annotations

import ctypes
import math
import sys

import pytest

ARITY = "{}() takes exactly {} positional argument{} ({} given)"
INCORRECT = "Argument '{}' has incorrect type (expected {}, got {})"


def non_int_result(cls, method, got):
    """The interpreter's words for an __index__ or __int__ that returns another type: 3.15 names the
    method by its class's qualified name and says what it must return."""
    if sys.version_info >= (3, 15):
        return f"{cls.__module__}.{cls.__qualname__}.{method}() must return an int, not {got}"
    return f"{method} returned non-int (type {got})"


def vectorcall(fn, args, kwnames):
    """Calls `fn` through the fast calling convention with any keyword-name objects."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * max(1, len(args)))(*args)
    return call(fn, ctypes.cast(values, ctypes.c_void_p), len(args) - len(kwnames), kwnames)


def both_conventions(fn):
    """The function called directly (fast convention) and through tp_call (tuple and dict)."""
    return [fn, lambda *a, **k: type(fn).__call__(fn, *a, **k)]


@pytest.fixture(params=["vectorcall", "tp_call"])
def handle(request, qel):
    fn = qel.handle_error_code
    return fn if request.param == "vectorcall" else (lambda *a, **k: type(fn).__call__(fn, *a, **k))


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, ARITY.format("handle_error_code", 1, "", 0)),
        ((1, 2), {}, ARITY.format("handle_error_code", 1, "", 2)),
        ((1, 2), {"qel_error_code": 0}, ARITY.format("handle_error_code", 1, "", 2)),
        ((), {"code": 0}, "handle_error_code() got an unexpected keyword argument 'code'"),
        ((0,), {"qel_error_code": 0}, "handle_error_code() got multiple values for keyword argument 'qel_error_code'"),
        ((0,), {"other": 0}, "handle_error_code() got an unexpected keyword argument 'other'"),
    ],
)
def test_binding_errors(handle, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        handle(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_binding(handle):
    assert handle(qel_error_code=0) is None
    # a keyword name made at run time is not the interned name, but equal to it
    assert handle(**{"".join(["qel_", "error_code"]): 0}) is None


def test_keyword_name_that_is_a_str_subclass(qel):
    class Name(str):
        pass

    assert vectorcall(qel.handle_error_code, (0,), (Name("qel_error_code"),)) is None
    with pytest.raises(TypeError, match="unexpected keyword argument 'nope'"):
        vectorcall(qel.handle_error_code, (0,), (Name("nope"),))


def test_keyword_name_whose_comparison_raises(qel):
    class Name(str):
        def __eq__(self, other):
            raise ZeroDivisionError("compare")

        __hash__ = str.__hash__

    with pytest.raises(ZeroDivisionError, match="compare"):
        vectorcall(qel.handle_error_code, (0,), (Name("x"),))


@pytest.mark.parametrize("key", [1, None, b"qel_error_code", 2.5])
def test_keywords_that_are_not_strings(qel, key):
    with pytest.raises(TypeError) as info:
        vectorcall(qel.handle_error_code, (0,), (key,))
    assert str(info.value) == "handle_error_code() keywords must be strings"
    with pytest.raises(TypeError) as info:
        qel.handle_error_code(**{key: 0})
    assert str(info.value) == "keywords must be strings"


def test_missing_parameter_after_keywords_reports_its_position(qel):
    # only one parameter: the first missing one is at position 0
    with pytest.raises(TypeError) as info:
        vectorcall(qel.handle_error_code, (), ())
    assert str(info.value) == ARITY.format("handle_error_code", 1, "", 0)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Int:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class FloatOnly:
    def __float__(self):
        return 3.0


class Bool:
    def __bool__(self):
        raise RuntimeError("truth")


class Text(str):
    pass


class Number(int):
    pass


@pytest.mark.parametrize(
    "value, code",
    [
        (0, 0),
        (True, 1),
        (2.9, 2),
        (-0.5, 0),
        (Index(3), 3),
        (Int(4), 4),
        (Number(5), 5),
    ],
)
def test_int_parameters_take_numbers_through_int(qel, value, code):
    table = qel.QEL_ERROR_CODE_TO_EXCEPTION
    if code == 0:
        assert qel.handle_error_code(value) is None
    else:
        with pytest.raises(table[code]):
            qel.handle_error_code(value)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (None, TypeError, INCORRECT.format("qel_error_code", "int", "NoneType")),
        ("1", TypeError, INCORRECT.format("qel_error_code", "int", "str")),
        (Text("1"), TypeError, INCORRECT.format("qel_error_code", "int", "Text")),
        (b"1", TypeError, INCORRECT.format("qel_error_code", "int", "bytes")),
        ([1], TypeError, INCORRECT.format("qel_error_code", "int", "list")),
        (object(), TypeError, INCORRECT.format("qel_error_code", "int", "object")),
        (Bool(), TypeError, INCORRECT.format("qel_error_code", "int", "Bool")),
        (math.nan, ValueError, "cannot convert float NaN to integer"),
        (math.inf, OverflowError, "cannot convert float infinity to integer"),
        (1j, TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'complex'"),
        (Index(ZeroDivisionError("index")), ZeroDivisionError, "index"),
        (Index("7"), TypeError, non_int_result(Index, "__index__", "str")),
        (Int(KeyError("int")), KeyError, "int"),
        (Int(3.5), TypeError, non_int_result(Int, "__int__", "float")),
        (FloatOnly(), TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'FloatOnly'"),
    ],
)
def test_hostile_int_arguments(handle, value, error, message):
    with pytest.raises(error) as info:
        handle(value)
    assert info.value.args[0] == message


def test_exact_int_is_used_unchanged(qel):
    big = 2**200 + 1
    with pytest.raises(qel.QELUnknownErrorCode) as info:
        qel.handle_error_code(big)
    assert info.value.__context__.args[0] is big


class OtherHash(str):
    """Equal to a parameter name but hashed apart from it, so that a dict holds it beside the name."""

    def __hash__(self):
        return 12345

    def __eq__(self, other):
        return str.__eq__(self, other)


def test_second_keyword_for_a_parameter_is_refused_before_the_sdk(qel, sim):
    from test_camera_functions import FUNCTIONS, sample_args

    for fn in FUNCTIONS:
        args = sample_args(qel, fn)
        first = fn.params[0][0]
        message = f"{fn.name}() got multiple values for keyword argument '{first}'"
        for kwargs in ({**args, OtherHash(first): 1}, {OtherHash(first): 1, **args}):
            with pytest.raises(TypeError) as info:
                getattr(qel, fn.name)(**kwargs)
            assert str(info.value) == message
        assert sim.calls(fn.entry) == 0, fn.name
    with pytest.raises(TypeError, match=r"^handle_error_code\(\) got multiple values for keyword argument"):
        qel.handle_error_code(**{"qel_error_code": 0, OtherHash("qel_error_code"): 3})
