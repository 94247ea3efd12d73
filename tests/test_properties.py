"""The calling road of every camera function as a property, against the simulator's journal: random
argument values and types, random result codes. A refused call never reaches the SDK and raises what
the conversion rules name; an accepted call reaches it exactly once with the converted C values; each
result code raises exactly its class; outputs are converted only on success."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

from brevalo.vra_qel_python_bindings import qel, sim  # noqa: E402
from test_camera_functions import BUF, FUNCTIONS, OUT, PATH, check_zero_result  # noqa: E402
from test_records import raw  # noqa: E402

# About 30 s for the whole file on a loaded machine; the database stays out of the work tree.
SETTINGS = settings(max_examples=150, deadline=None, database=None)

INT32 = st.integers(-(2**31), 2**31 - 1)
MEMBERS = [m for e in ("ControlType", "ImgType", "CameraMode", "TrigOutput", "GuideDirection", "BayerPattern")
           for m in getattr(qel, e)]
NUMBERS = st.one_of(INT32, st.integers(), st.floats(), st.booleans(), st.sampled_from(MEMBERS))
OTHERS = st.one_of(
    st.none(),
    st.text(max_size=3),
    st.sampled_from(["a\0b", "x\ud800", b"1", [], [0], qel.Id()]),
    st.builds(SimpleNamespace, value=st.one_of(NUMBERS, st.none(), st.text(max_size=2))),
)
ANY = st.one_of(NUMBERS, OTHERS)
# buffer sizes stay small: a buffer of the requested size is made for every accepted value
SIZES = st.one_of(st.integers(-3, 64), st.floats(-3, 64), st.sampled_from([2**64, float("nan"), True]), OTHERS)
# values that every conversion of their kind accepts, so that many calls get through to the SDK
VALID = {
    "int": st.one_of(INT32, st.booleans(), st.sampled_from(MEMBERS), st.floats(-(2**31) + 1, 2**31 - 1)),
    "bool": ANY,
    "enum": st.one_of(st.sampled_from(MEMBERS), st.builds(SimpleNamespace, value=INT32)),
    "str": st.text(max_size=8).filter(lambda t: "\0" not in t),
    "record": st.builds(qel.Id),
}
CODES = st.one_of(st.just(0), st.integers(1, 29), st.sampled_from([30, 99, -1, -(2**31), 2**31 - 1]))


class Refused(Exception):
    def __init__(self, error: type[BaseException]):
        self.error = error


def as_number(v):
    """The parser's int parameter: an exact int, else int() of anything the number check accepts."""
    if type(v) is int:
        return v
    if not isinstance(v, (int, float)):
        raise Refused(TypeError)
    try:
        return int(v)
    except (ValueError, OverflowError) as e:
        raise Refused(type(e))


def narrow(n: int) -> int:
    if not -(2**31) <= n < 2**31:
        raise Refused(OverflowError)
    return n


def enum_value(v) -> int:
    if not hasattr(v, "value"):
        raise Refused(AttributeError)
    value = v.value
    if isinstance(value, int):
        return narrow(int(value))
    if not isinstance(value, float):
        raise Refused(TypeError)  # "an integer is required"
    return narrow(as_number(value))


def expected_c_values(fn, values: dict) -> dict:
    """The C values the SDK must see, or Refused with the error the module must raise first."""
    kinds = fn.kinds
    parsed = dict(values)
    for name, kind in kinds.items():  # the parser: numbers and truth values...
        if kind == "int":
            parsed[name] = as_number(values[name])
        elif kind == "bool":
            parsed[name] = int(bool(values[name]))
    for name, kind in kinds.items():  # ...then the type checks
        if (kind == "str" and type(values[name]) is not str) or (kind == "record" and not isinstance(values[name], qel.Id)):
            raise Refused(TypeError)
    if "buffer_size" in kinds:  # the body makes the buffer before it converts anything to C
        if parsed["buffer_size"] < 0:
            raise Refused(ValueError)
        if parsed["buffer_size"] >= 2**63:
            raise Refused(OverflowError)
    c = {}
    for name, kind in kinds.items():  # the body's conversions, in parameter order
        if kind == "int":
            c[name] = narrow(parsed[name])
        elif kind == "enum":
            c[name] = enum_value(values[name])
        elif kind == "str":
            try:
                encoded = values[name].encode()
            except UnicodeEncodeError:
                raise Refused(UnicodeEncodeError)
            if b"\0" in encoded:
                raise Refused(ValueError)
            c[name] = encoded
        else:
            c[name] = parsed[name]
    return c


def call_road(fn, values: dict, by_keyword: bool, code: int, data: bytes):
    sim.clear_faults()
    sim.clear_journal()
    outputs = [i for i, what in enumerate(fn.sdk) if what in (OUT, BUF)]
    image = BUF in fn.sdk
    # garbage in the first output: only a success may convert it (images: any bytes are an image)
    if outputs and (code != 0 or image):
        sim.inject_fault(fn.entry, code, data=data, arg=outputs[0])
    else:
        sim.inject_fault(fn.entry, code)
    f = getattr(qel, fn.name)
    call = (lambda: f(**values)) if by_keyword else (lambda: f(*values.values()))
    try:
        c = expected_c_values(fn, values)
    except Refused as refused:
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value) is refused.error, (info.value, refused.error)
        assert sim.calls(fn.entry) == 0
        return
    if code != 0:
        with pytest.raises(qel.QELError) as info:
            call()
        assert type(info.value) is qel.QEL_ERROR_CODE_TO_EXCEPTION.get(code, qel.QELUnknownErrorCode)
    else:
        result = call()
        if image:
            frame = result[0] if isinstance(result, tuple) else result
            size = c["buffer_size"]
            assert frame == data[:size] + bytes(max(0, size - len(data)))
        else:
            check_zero_result(qel, fn, result)
    journal = sim.journal(fn.entry)
    assert journal.calls == 1 and journal.last_result == code
    for position, what in enumerate(fn.sdk):
        if what in (OUT, BUF, PATH):
            assert journal.args[position] != 0
        else:
            assert journal.args[position] == c[what], what
    if PATH in fn.sdk:
        assert journal.text == c["bmp_path"][:1023]
    if fn.name == "set_id":
        assert journal.id == raw(values["serial_number"])


@pytest.mark.parametrize("fn", FUNCTIONS, ids=str)
def test_calling_road(fn):
    params = [p for p, _ in fn.params]
    valid = {p: st.integers(0, 64) if p == "buffer_size" else VALID[k] for p, k in fn.kinds.items()}
    mixed = {p: st.one_of(valid[p], SIZES if p == "buffer_size" else ANY) for p in params}
    values = st.one_of(st.fixed_dictionaries(valid), st.fixed_dictionaries(mixed))

    @SETTINGS
    @given(values=values, by_keyword=st.booleans(), code=CODES, data=st.binary(max_size=8))
    def road(values, by_keyword, code, data):
        call_road(fn, {p: values[p] for p in params}, by_keyword, code, data)

    try:
        road()
    finally:
        sim.reset()


@SETTINGS
@given(value=st.one_of(NUMBERS, OTHERS))
def test_handle_error_code(value):
    try:
        code = as_number(value)
    except Refused as refused:
        with pytest.raises(BaseException) as info:
            qel.handle_error_code(value)
        assert type(info.value) is refused.error
        return
    if code == 0:
        assert qel.handle_error_code(value) is None
        return
    with pytest.raises(qel.QELError) as info:
        qel.handle_error_code(value)
    expected = qel.QEL_ERROR_CODE_TO_EXCEPTION.get(code, qel.QELUnknownErrorCode)
    assert type(info.value) is expected
    assert info.value.args == (() if 0 <= code <= 29 else (f"Unknown error code {code}. Update wrapper.",))
