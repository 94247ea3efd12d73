"""Calling any function many thousand times, on success and on failure, leaves memory and the
reference counts of its arguments as they were."""

from __future__ import annotations

import functools
import gc
import os
import sys
import tracemalloc

import pytest

from test_camera_functions import FUNCTIONS, sample_args

CALLS = 3000


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_many(qel, sim, fn, code: int) -> None:
    args = sample_args(qel, fn)
    f = getattr(qel, fn.name)
    sim.inject_fault(fn.entry, code, times=CALLS)
    for _ in range(CALLS):
        try:
            f(**args)
        except qel.QELError:
            pass


def handling_an_exception(body) -> None:
    """Runs `body` while an exception is being handled, as a retry loop inside `except` does: each call
    then saves and restores that exception, which must come back with no reference more."""
    try:
        raise LookupError("being handled")
    except LookupError as handled:
        before = sys.getrefcount(handled)
        body()
        assert sys.exc_info()[1] is handled
        assert sys.getrefcount(handled) == before, "the handled exception gained references"


WHERE = {"outside": lambda body: body(), "inside-except": handling_an_exception}


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("code", [0, 6, 99], ids=["success", "failure", "unknown-code"])
@pytest.mark.parametrize("fn", FUNCTIONS, ids=str)
def test_memory_and_reference_counts_stay_flat(qel, sim, fn, code, where):
    args = sample_args(qel, fn)
    watched = list(args.values()) + [qel.handle_error_code, qel.QELGeneralError, qel.QELUnknownErrorCode]
    WHERE[where](lambda: run_many(qel, sim, fn, code))  # warm up caches and free lists
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    WHERE[where](lambda: run_many(qel, sim, fn, code))
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 4096, f"{after - before} bytes still allocated after {CALLS} calls"
    assert [sys.getrefcount(x) for x in watched] == counts


@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
def test_resident_memory_stays_flat_over_all_functions(qel, sim):
    def everything():
        for fn in FUNCTIONS:
            for code in (0, 6):
                run_many(qel, sim, fn, code)

    everything()
    gc.collect()
    before = rss_bytes()
    everything()
    gc.collect()
    growth = rss_bytes() - before
    assert growth < 1 << 20, f"resident memory grew by {growth} bytes"


def test_argument_errors_do_not_leak(qel):
    class Hostile:
        def __index__(self):
            raise ValueError("no")

    hostile = Hostile()
    big, data = 2**80, bytes([98, 99])
    values = [hostile, "x", None, big, data]
    owned = [hostile, big, data]  # objects nothing else refers to
    counts = [sys.getrefcount(v) for v in owned]
    tracemalloc.start()
    for _ in range(2):
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(CALLS):
            for v in values:
                for call in (lambda: qel.open_camera(v), lambda: qel.set_control_value(0, v, v, v),
                             lambda: qel.get_data_after_exp(0, v), lambda: qel.enable_dark_subtract(0, v)):
                    try:
                        call()
                    except Exception:
                        pass
        del v, call  # the loop variables still refer to the last ones
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - start
    tracemalloc.stop()
    assert growth < 4096
    assert [sys.getrefcount(v) for v in owned] == counts


# ---- the interpreter's total reference count (debug interpreter: make test-dbg)

REPEAT = 100


def every_call(qel, path: str):
    """(SDK entry point, fault code, fault data, call, whether it raises) for every module function on
    one path: "success", "failure" (the SDK reports a failure) or "refused" (an argument is refused)."""
    refused, failed = path == "refused", path == "failure"
    code = 6 if failed else 0
    calls = []
    for fn in FUNCTIONS:
        args = list(sample_args(qel, fn).values())
        if refused:
            args[0] = None
        calls.append((fn.entry, code, None, functools.partial(getattr(qel, fn.name), *args), failed or refused))
    first = [None] if refused else []  # an argument refused by a function that takes none
    calls += [
        (None, 0, None, functools.partial(qel.handle_error_code, None if refused else code), failed or refused),
        ("GetCameraProperty", code, None, functools.partial(qel.get_camera_property, None if refused else 0),
         failed or refused),
        ("GetCameraPropertyByID", code, None, functools.partial(qel.get_camera_property_by_id, None if refused else 0),
         failed or refused),
        # no result code: a count or a flag comes back as it is, a missing version text is the failure
        ("CameraCheck", 1, None, functools.partial(qel.camera_check, None if refused else 0x51E1, 0x0101), refused),
        ("GetNumOfConnectedCameras", 2, None, functools.partial(qel.get_number_of_connected_cameras, *first), refused),
        ("GetSDKVersion", 0, None if failed else b"v1", functools.partial(qel.get_sdk_version, *first),
         failed or refused),
    ]
    return calls


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter (make test-dbg)")
@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("path", ["success", "failure", "refused"])
def test_total_reference_count_stays_flat(qel, sim, path, where):
    calls = every_call(qel, path)

    def run() -> None:
        for entry, code, data, call, raises in calls:
            if entry:
                sim.inject_fault(entry, code, times=REPEAT, data=data)
            raised = 0
            for _ in range(REPEAT):
                try:
                    call()
                except Exception:
                    raised += 1
            assert raised == (REPEAT if raises else 0), (call, raised)

    WHERE[where](run)  # warm up caches
    gc.collect()
    before = sys.gettotalrefcount()
    WHERE[where](run)
    gc.collect()
    growth = sys.gettotalrefcount() - before
    assert growth < REPEAT // 2, f"{growth} references more after {REPEAT} calls of every function"
