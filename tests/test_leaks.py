"""Calling any function many thousand times, on success and on failure, leaves memory and the
reference counts of its arguments as they were."""

from __future__ import annotations

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


@pytest.mark.parametrize("code", [0, 6, 99], ids=["success", "failure", "unknown-code"])
@pytest.mark.parametrize("fn", FUNCTIONS, ids=str)
def test_memory_and_reference_counts_stay_flat(qel, sim, fn, code):
    args = sample_args(qel, fn)
    watched = list(args.values()) + [qel.handle_error_code, qel.QELGeneralError, qel.QELUnknownErrorCode]
    run_many(qel, sim, fn, code)  # warm up caches and free lists
    gc.collect()
    counts = [sys.getrefcount(x) for x in watched]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    run_many(qel, sim, fn, code)
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
