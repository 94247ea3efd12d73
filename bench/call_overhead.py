"""Per-call cost of module functions, as ratios to baselines measured in the same process.

Baselines: a call of the built-in `abs` (the floor for any call from Python) and a ctypes call of the
same Camera SDK entry point (a binding with no conversion rules at all). The SDK calls are answered by
an injected result, so that what is measured is the binding, not the simulated camera.
"""

from __future__ import annotations

import ctypes
import timeit

from brevalo.vra_qel_python_bindings import qel, sim

N = 200_000


def per_call(stmt, number: int = N) -> float:
    return min(timeit.repeat(stmt, number=number, repeat=5)) / number


def main() -> None:
    lib = sim.library()
    lib.QELOpenCamera.argtypes = [ctypes.c_int]
    lib.QELOpenCamera.restype = ctypes.c_int
    lib.QELGetControlValue.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int)]
    lib.QELGetControlValue.restype = ctypes.c_int
    value, auto = ctypes.c_int(), ctypes.c_int()
    gain = qel.ControlType.QEL_GAIN

    floor = per_call(lambda: abs(0))
    cases = [
        ("handle_error_code(0)", lambda: qel.handle_error_code(0), None),
        ("open_camera(0)", lambda: qel.open_camera(0), ("OpenCamera", lambda: lib.QELOpenCamera(0))),
        (
            "get_control_value(0, QEL_GAIN)",
            lambda: qel.get_control_value(0, gain),
            ("GetControlValue", lambda: lib.QELGetControlValue(0, 0, ctypes.byref(value), ctypes.byref(auto))),
        ),
        ("get_roi_format(0)", lambda: qel.get_roi_format(0), ("GetROIFormat", None)),
        ("get_data_after_exp(0, 1024)", lambda: qel.get_data_after_exp(0, 1024), ("GetDataAfterExp", None)),
    ]
    print(f"floor: abs(0) takes {floor * 1e9:.0f} ns")
    print(f"{'call':34} {'ns':>7} {'x abs()':>8} {'x ctypes':>9}")
    for label, fn, sdk in cases:
        if sdk:
            sim.inject_fault(sdk[0], 0, times=10 * N)
        cost = per_call(fn)
        ratio_ctypes = ""
        if sdk and sdk[1]:
            ratio_ctypes = f"{cost / per_call(sdk[1]):9.2f}"
        print(f"{label:34} {cost * 1e9:7.0f} {cost / floor:8.1f} {ratio_ctypes:>9}")
    sim.reset()


if __name__ == "__main__":
    main()
