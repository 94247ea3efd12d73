"""Per-call cost of module functions, as ratios to baselines measured in the same process.

Baselines: a call of the built-in `abs` (the floor for any call from Python) and a ctypes call of the
same Camera SDK entry point (a binding with no conversion rules at all). The Camera SDK is a stub that
answers every call at once (bench/stub_sdk.c, built here and put in front of the simulator through the
library search path), so that what is measured is the binding, not the camera. Where no C compiler is
at hand the simulator answers with injected results instead, which adds its own bookkeeping to every
call; the targets are meant for the stub.

Each round times every call between two timings of the floor; a call's ratio is the median over the
rounds of its time divided by the floor around it, so that a burst of load on a busy machine slows both
sides alike.

Frame reads: a 24 MiB read against "zero 24 MiB, then write 24 MiB" (a bytearray that the same stub
fills through ctypes), and tracemalloc's peak for one read against the frame's size.
"""

from __future__ import annotations

import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import timeit
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
HEADERS = os.path.join(os.path.dirname(HERE), "sdk", "include")
STUB_ENV = "QEL_BENCH_STUB_SDK"
ROUNDS = int(os.environ.get("QEL_BENCH_ROUNDS", "61"))
NUMBER = 5_000
FRAME = 24 * 2**20
FRAME_ROUNDS = 15

# label, statement, at most this many times abs(0), ctypes statement of the same entry point
CALLS = [
    ("handle_error_code(0)", "handle_error_code(0)", 3.0, None),
    ("open_camera(0)", "open_camera(0)", 3.2, "QELOpenCamera(0)"),
    ("open_camera(camera_id=0)", "open_camera(camera_id=0)", 3.8, None),
    (
        "set_control_value(0, QEL_GAIN, 100, False)",
        "set_control_value(0, QEL_GAIN, 100, False)",
        7.0,
        "QELSetControlValue(0, 0, 100, 0)",
    ),
    (
        "  the same by keywords",
        "set_control_value(camera_id=0, control_type=QEL_GAIN, value=100, auto_mode=False)",
        10.0,
        None,
    ),
    ("get_control_value(0, QEL_GAIN)", "get_control_value(0, QEL_GAIN)", 8.0, "QELGetControlValue(0, 0, p1, p2)"),
    ("get_exp_status(0)", "get_exp_status(0)", 6.0, "QELGetExpStatus(0, p1)"),
    ("get_roi_format(0)", "get_roi_format(0)", 10.0, "QELGetROIFormat(0, p1, p2, p3, p4)"),
]
FRAME_TARGET = 1.15
PEAK_TARGET = 1.1


def build_stub(directory: str) -> str | None:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None or sys.platform != "linux":
        return None
    library = os.path.join(directory, "libQELCamera2.so")
    source = os.path.join(HERE, "stub_sdk.c")
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-I", HEADERS, "-o", library, source], check=True)
    return library


def ctypes_namespace(lib: ctypes.CDLL) -> dict[str, object]:
    c_int, p_int = ctypes.c_int, ctypes.POINTER(ctypes.c_int)
    signatures = {
        "QELOpenCamera": [c_int],
        "QELSetControlValue": [c_int, c_int, c_int, c_int],
        "QELGetControlValue": [c_int, c_int, p_int, p_int],
        "QELGetExpStatus": [c_int, p_int],
        "QELGetROIFormat": [c_int, p_int, p_int, p_int, p_int],
    }
    namespace: dict[str, object] = {}
    for name, argtypes in signatures.items():
        fn = getattr(lib, name)
        fn.argtypes, fn.restype = argtypes, c_int
        namespace[name] = fn
    outputs = [ctypes.c_int() for _ in range(4)]
    namespace.update({f"p{i + 1}": ctypes.byref(o) for i, o in enumerate(outputs)})
    return namespace


def per_call(timer: timeit.Timer, number: int) -> float:
    return timer.timeit(number) / number


def measure_calls(qel, lib: ctypes.CDLL, use_sim) -> None:
    namespace = {name: getattr(qel, name) for name in dir(qel) if not name.startswith("_")}
    namespace["QEL_GAIN"] = qel.ControlType.QEL_GAIN
    namespace.update(ctypes_namespace(lib))
    floor_timer = timeit.Timer("abs(0)", globals=namespace)
    timers = [
        (timeit.Timer(stmt, globals=namespace), timeit.Timer(c, globals=namespace) if c else None)
        for _, stmt, _, c in CALLS
    ]
    for _, stmt, _, _ in CALLS:
        exec(stmt, namespace)  # every call succeeds before it is timed
    floors: list[float] = []
    costs: list[list[float]] = [[] for _ in CALLS]
    ratios: list[list[float]] = [[] for _ in CALLS]
    c_costs: list[list[float]] = [[] for _ in CALLS]
    for _ in range(ROUNDS):
        use_sim()
        for i, (timer, c_timer) in enumerate(timers):
            # The floor right before and right after: a burst of load elsewhere hits both sides.
            before = per_call(floor_timer, NUMBER)
            cost = per_call(timer, NUMBER)
            after = per_call(floor_timer, NUMBER)
            floors += [before, after]
            costs[i].append(cost)
            ratios[i].append(2 * cost / (before + after))
            if c_timer:
                c_costs[i].append(per_call(c_timer, NUMBER))
    print(f"floor: abs(0) takes {statistics.median(floors) * 1e9:.1f} ns (median of {len(floors)} timings)")
    print(f"{'call':44} {'ns':>6} {'x abs(0)':>9} {'target':>7} {'':6} {'ctypes ns':>9} {'x ctypes':>8}")
    for i, (label, _, target, _) in enumerate(CALLS):
        ratio = statistics.median(ratios[i])
        cost = statistics.median(costs[i])
        held = "held" if ratio <= target else "MISSED"
        c_part = ""
        if c_costs[i]:
            c_cost = statistics.median(c_costs[i])
            c_part = f"{c_cost * 1e9:9.0f} {cost / c_cost:8.2f}"
        print(f"{label:44} {cost * 1e9:6.0f} {ratio:9.2f} {target:7.1f} {held:6} {c_part}")


def measure_frames(qel, lib: ctypes.CDLL) -> None:
    write = lib.QELGetDataAfterExp
    write.argtypes, write.restype = [ctypes.c_int, ctypes.c_void_p, ctypes.c_int], ctypes.c_int

    def zero_then_write() -> bytearray:
        buffer = bytearray(FRAME)
        write(0, (ctypes.c_char * FRAME).from_buffer(buffer), FRAME)
        return buffer

    reads = [
        ("get_data_after_exp(0, 24 MiB)", lambda: qel.get_data_after_exp(0, FRAME)),
        ("get_video_data(0, 24 MiB, 0)", lambda: qel.get_video_data(0, FRAME, 0)),
    ]
    base: list[float] = []
    times: list[list[float]] = [[] for _ in reads]
    ratios: list[list[float]] = [[] for _ in reads]
    for _ in range(FRAME_ROUNDS):
        b = min(timeit.repeat(zero_then_write, number=1, repeat=2))
        base.append(b)
        for i, (_, read) in enumerate(reads):
            t = min(timeit.repeat(read, number=1, repeat=2))
            times[i].append(t)
            ratios[i].append(t / b)
    print(f"frame: zero 24 MiB, then write 24 MiB takes {statistics.median(base) * 1e3:.2f} ms")
    print(f"{'read':44} {'ms':>6} {'x that':>9} {'target':>7} {'':6} {'peak/frame':>10}")
    for i, (label, read) in enumerate(reads):
        ratio = statistics.median(ratios[i])
        tracemalloc.start()
        tracemalloc.reset_peak()
        image = read()
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert len(image) == FRAME and image[:1] == b"\x5a"
        del image
        held = "held" if ratio <= FRAME_TARGET and peak <= PEAK_TARGET * FRAME else "MISSED"
        print(f"{label:44} {statistics.median(times[i]) * 1e3:6.2f} {ratio:9.2f} {FRAME_TARGET:7.2f} {held:6} "
              f"{peak / FRAME:10.3f}")


def main() -> int:
    stub = os.environ.get(STUB_ENV)
    if stub is None:
        with tempfile.TemporaryDirectory() as directory:
            library = build_stub(directory)
            if library is not None:
                env = dict(os.environ)
                env[STUB_ENV] = library
                env["LD_LIBRARY_PATH"] = os.pathsep.join(filter(None, [directory, env.get("LD_LIBRARY_PATH")]))
                return subprocess.run([sys.executable, os.path.abspath(__file__)], env=env).returncode
    from brevalo.vra_qel_python_bindings import qel

    if stub is not None:
        if qel.get_sdk_version() != "stub":
            print("the stub Camera SDK was not picked up", file=sys.stderr)
            return 1
        lib = ctypes.CDLL(stub)
        print("Camera SDK: the stub (bench/stub_sdk.c)")
        measure_calls(qel, lib, lambda: None)
        measure_frames(qel, lib)
        return 0

    from brevalo.vra_qel_python_bindings import sim

    print("Camera SDK: the simulator with injected results (no C compiler for the stub)")
    entries = ["OpenCamera", "SetControlValue", "GetControlValue", "GetExpStatus", "GetROIFormat"]

    def answer_all() -> None:
        for entry in entries:
            sim.inject_fault(entry, 0, times=100 * NUMBER)

    measure_calls(qel, sim.library(), answer_all)
    sim.reset()
    return 0


if __name__ == "__main__":
    sys.exit(main())
