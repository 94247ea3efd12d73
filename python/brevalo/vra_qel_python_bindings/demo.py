"""Demo against the simulated Camera SDK: ``python -m brevalo.vra_qel_python_bindings.demo``."""

from __future__ import annotations

import enum

from . import qel, sim


def main() -> None:
    lib = sim.library()
    lib.QELGetSDKVersion.restype = __import__("ctypes").c_char_p
    print("Camera SDK version:", lib.QELGetSDKVersion().decode())
    print("Connected cameras:", lib.QELGetNumOfConnectedCameras())
    for name, value in vars(qel).items():
        if isinstance(value, type) and issubclass(value, enum.IntEnum) and value is not qel.IntEnum:
            members = ", ".join(f"{m.name}={m.value}" for m in value)
            print(f"{name}: {members}")


if __name__ == "__main__":
    main()
