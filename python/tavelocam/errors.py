"""Exceptions: one class per result code of the library."""

from __future__ import annotations

from typing import Optional


class CameraError(Exception):
    """A failed library call.

    Attributes:
        code: the 32-bit result code (unsigned), or None for errors raised by
            this package itself (such as a closed camera).
        name: the code's name, such as ``CAM_E_BUSY``.
        message: the library's message text for the code ("" when the
            library has none; its texts are in Simplified Chinese).
        function: the export that failed, such as ``TaveloGetFileData``.
    """

    def __init__(
        self,
        code: Optional[int],
        name: str,
        message: str = "",
        function: str = "",
    ) -> None:
        self.code = code
        self.name = name
        self.message = message
        self.function = function
        super().__init__(str(self))

    def __str__(self) -> str:
        where = f"{self.function}: " if self.function else ""
        code = f" (0x{self.code:08X})" if self.code is not None else ""
        text = f": {self.message}" if self.message else ""
        return f"{where}{self.name}{code}{text}"

    def __reduce__(self):  # keeps the attributes across pickling
        return (type(self), (self.code, self.name, self.message, self.function))


class CameraClosed(CameraError):
    """The camera was closed; it takes no further calls."""

    def __init__(self, function: str = "") -> None:
        super().__init__(None, "camera closed", "", function)

    def __reduce__(self):
        return (type(self), (self.function,))


class HostError(CameraError):
    """A host-side failure passed through as a Windows error (0x8007xxxx),
    for instance a download into a missing folder; ``winerror`` holds the
    Windows error number."""

    @property
    def winerror(self) -> int:
        return (self.code or 0) & 0xFFFF


class TransportError(CameraError):
    """A failure reported by the transport component or the platform."""


class NotSupported(CameraError):
    """CAM_E_NOT_SUPPORTED: The camera does not support the function."""


class ProtocolVersion(CameraError):
    """CAM_E_PROTOCOL_VERSION: The camera does not support the protocol version."""


class Timeout(CameraError):
    """CAM_E_TIMEOUT: The camera did not respond in time."""


class CameraInternal(CameraError):
    """CAM_E_CAMERA_INTERNAL: An internal error in the camera."""


class BadRequestData(CameraError):
    """CAM_E_BAD_REQUEST_DATA: The camera refused the request's data."""


class NoSpace(CameraError):
    """CAM_E_NO_SPACE: The camera has no space left."""


class FileNotFound(CameraError):
    """CAM_E_FILE_NOT_FOUND: The file is not on the camera."""


class DataNotFound(CameraError, KeyError):
    """CAM_E_DATA_NOT_FOUND: The tag, parameter or data is not there; also a KeyError."""


class FileTypeError(CameraError):
    """CAM_E_FILE_TYPE: The camera does not support the file type."""


class DeviceError(CameraError):
    """CAM_E_DEVICE: The camera cannot access the device."""


class NoCard(CameraError):
    """CAM_E_NO_CARD: No memory card in the camera."""


class Busy(CameraError):
    """CAM_E_BUSY: The camera is busy."""


class LowBattery(CameraError):
    """CAM_E_LOW_BATTERY: The camera's battery is too low."""


class Failed(CameraError):
    """CAM_E_FAILED: The camera function did not work."""


class Incapable(CameraError):
    """CAM_E_INCAPABLE: The camera cannot do that (a read-only value, for instance)."""


class NotConnected(CameraError):
    """CAM_E_COMM: The camera cannot be reached."""


class OutOfMemory(CameraError):
    """CAM_E_OUT_OF_MEMORY: Not enough memory."""


class Aborted(CameraError):
    """CAM_E_ABORTED: The transfer was cancelled."""


class CameraFault(CameraError):
    """CAM_E_CAMERA: The camera's answer cannot be used."""


class FeatureNotSupported(CameraError):
    """CAM_E_FEATURE: The parameter has no capability of that kind."""


class NoCamera(CameraError):
    """CAM_E_NO_CAMERA: No camera found."""


class BadParameter(CameraError):
    """CAM_E_BAD_PARAMETER: A wrong argument."""


class LongName(CameraError):
    """CAM_E_LONG_NAME: The name does not fit the camera's 8.3 names."""


class BadData(CameraError):
    """CAM_E_BAD_DATA: The camera's answer does not fit the request."""


class NoResponse(CameraError):
    """CAM_E_NO_RESPONSE: The camera did not answer."""


class ReadError(CameraError):
    """CAM_E_READ: Data cannot be read from the camera."""


# code number -> (constant name, class)
_NAMED: dict[int, tuple[str, type]] = {
    0x01: ("CAM_E_NOT_SUPPORTED", NotSupported),
    0x02: ("CAM_E_PROTOCOL_VERSION", ProtocolVersion),
    0x03: ("CAM_E_TIMEOUT", Timeout),
    0x04: ("CAM_E_CAMERA_INTERNAL", CameraInternal),
    0x05: ("CAM_E_BAD_REQUEST_DATA", BadRequestData),
    0x06: ("CAM_E_NO_SPACE", NoSpace),
    0x07: ("CAM_E_FILE_NOT_FOUND", FileNotFound),
    0x08: ("CAM_E_DATA_NOT_FOUND", DataNotFound),
    0x09: ("CAM_E_FILE_TYPE", FileTypeError),
    0x0A: ("CAM_E_DEVICE", DeviceError),
    0x0B: ("CAM_E_NO_CARD", NoCard),
    0x0C: ("CAM_E_BUSY", Busy),
    0x0D: ("CAM_E_LOW_BATTERY", LowBattery),
    0x15: ("CAM_E_FAILED", Failed),
    0x16: ("CAM_E_INCAPABLE", Incapable),
    0x17: ("CAM_E_COMM", NotConnected),
    0x18: ("CAM_E_OUT_OF_MEMORY", OutOfMemory),
    0x19: ("CAM_E_ABORTED", Aborted),
    0x1A: ("CAM_E_CAMERA", CameraFault),
    0x1B: ("CAM_E_FEATURE", FeatureNotSupported),
    0x1C: ("CAM_E_NO_CAMERA", NoCamera),
    0x1D: ("CAM_E_BAD_PARAMETER", BadParameter),
    0x1E: ("CAM_E_LONG_NAME", LongName),
    0x1F: ("CAM_E_BAD_DATA", BadData),
    0x20: ("CAM_E_NO_RESPONSE", NoResponse),
    0x21: ("CAM_E_READ", ReadError),
}


def code_name(code: int) -> str:
    """The name of a result code, such as ``CAM_E_BUSY`` or ``CAM_E_STATUS(20)``."""
    code &= 0xFFFFFFFF
    if code in (0, 0x0FFA0014):
        return "CAM_S_OK" if code == 0 else "CAM_S_COMPLETED"
    if code & 0xFFFF0000 == 0xCFFA0000:
        number = code & 0xFFFF
        return _NAMED[number][0] if number in _NAMED else f"CAM_E_STATUS({number})"
    if code & 0xFFFF0000 == 0x80070000:
        return f"HRESULT_FROM_WIN32({code & 0xFFFF})"
    return _PLATFORM.get(code, "HRESULT")


# Results of the component runtime and transport components that pass through.
_PLATFORM = {
    0x8000FFFF: "E_UNEXPECTED",
    0x80004001: "E_NOTIMPL",
    0x80004002: "E_NOINTERFACE",
    0x80004003: "E_POINTER",
    0x80004005: "E_FAIL",
    0x80040111: "CLASS_E_CLASSNOTAVAILABLE",
    0x80040154: "REGDB_E_CLASSNOTREG",
    0x800401F0: "CO_E_NOTINITIALIZED",
}


def error_class(code: int) -> type:
    """The exception class for a (negative) result code."""
    code &= 0xFFFFFFFF
    if code & 0xFFFF0000 == 0xCFFA0000:
        return _NAMED.get(code & 0xFFFF, ("", CameraError))[1]
    if code & 0xFFFF0000 == 0x80070000:
        return HostError
    return TransportError
