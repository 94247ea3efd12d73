"""ASCOM's error numbers, and the one table that turns the camera layer's exceptions into them."""

from __future__ import annotations

from .. import camera, qel

NOT_IMPLEMENTED = 0x400
INVALID_VALUE = 0x401
VALUE_NOT_SET = 0x402
NOT_CONNECTED = 0x407
INVALID_OPERATION = 0x40B
ACTION_NOT_IMPLEMENTED = 0x40C
UNSPECIFIED = 0x4FF
#: The camera's own failures (the driver-specific range starts here).
CAMERA_FAILURE = 0x500


class AlpacaError(Exception):
    """A device error with its ASCOM number, answered with HTTP 200 and ``ErrorNumber``."""

    def __init__(self, number: int, message: str) -> None:
        super().__init__(message)
        self.number = number
        self.message = message


class NotImplementedMember(AlpacaError):
    def __init__(self, what: str) -> None:
        super().__init__(NOT_IMPLEMENTED, f"{what} is not implemented by this camera")


# What the camera layer raises -> ASCOM's number; the first row that matches wins. An exception that
# reaches no other row is a fault of this server (UNSPECIFIED), still answered as a device error.
ERROR_TABLE: tuple[tuple[type[BaseException], int], ...] = (
    (camera.CameraBusy, INVALID_OPERATION),
    (qel.QELExposureInProgress, INVALID_OPERATION),
    (qel.QELVideoModeActive, INVALID_OPERATION),
    (qel.QELInvalidSequence, INVALID_OPERATION),
    (qel.QELCameraClosed, NOT_CONNECTED),
    (qel.QELCameraRemoved, NOT_CONNECTED),
    (qel.QELInvalidSize, INVALID_VALUE),
    (qel.QELInvalidImageType, INVALID_VALUE),
    (qel.QELOutOfBoundary, INVALID_VALUE),
    (qel.QELInvalidControlType, NOT_IMPLEMENTED),
    (qel.QELInvalidMode, NOT_IMPLEMENTED),
    (qel.QELGPSNotSupported, NOT_IMPLEMENTED),
    (qel.QELError, CAMERA_FAILURE),
    (TimeoutError, CAMERA_FAILURE),
    (ValueError, INVALID_VALUE),
    (OverflowError, INVALID_VALUE),
    (NotImplementedError, NOT_IMPLEMENTED),
)


def error_number(error: BaseException) -> tuple[int, str]:
    """The ASCOM number and message for an exception raised while serving a member."""
    if isinstance(error, AlpacaError):
        return error.number, error.message
    message = str(error) or type(error).__name__
    for kind, number in ERROR_TABLE:
        if isinstance(error, kind):
            return number, message
    return UNSPECIFIED, f"internal error: {type(error).__name__}: {message}"
