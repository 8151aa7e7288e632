"""The C library through ctypes: finding it, its records and its functions.

Nothing here is public. The rest of the package calls the exports through
:func:`lib`, which loads ``libtavelocam.so`` (and the platform runtime
``libtavelort.so`` it depends on) on first use.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import struct
import sys
import threading
from ctypes import (
    POINTER,
    Structure,
    c_char,
    c_char_p,
    c_int32,
    c_uint8,
    c_uint16,
    c_uint32,
    c_uint64,
    c_void_p,
)
from typing import Any, Optional

ULONG = c_uint32
LONG = c_int32
CAMRESULT = c_int32
HCAMERA = c_void_p

CAM_S_COMPLETED = 0x0FFA0014

# VARIANT types the library uses.
VT_EMPTY, VT_I4, VT_R4, VT_BSTR, VT_BOOL, VT_UI4 = 0, 3, 4, 8, 11, 19

FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200
FORMAT_MESSAGE_FROM_HMODULE = 0x00000800

# The transport class of the virtual camera component.
VIRTUAL_TRANSPORT = "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}"
NET_TRANSPORT = "{7D41A0E3-52C9-4B17-9A3B-00A0C93E71B4}"
SERIAL_TRANSPORT = "{0B6E2F40-8D15-4B17-9A62-00A0C93E71B4}"


class VARIANT(Structure):
    """The 16-byte automation variant: type at 0, value at 8.

    The value is one 64-bit word rather than a union: ctypes refuses unions
    passed by value, and the C union (integers, floats and pointers in one
    eightbyte) travels in an integer register just like a 64-bit word.
    """

    _fields_ = [("vt", c_uint16), ("reserved", c_uint16 * 3), ("data", c_uint64)]


class SYSTEMTIME(Structure):
    _fields_ = [
        (name, c_uint16)
        for name in (
            "wYear",
            "wMonth",
            "wDayOfWeek",
            "wDay",
            "wHour",
            "wMinute",
            "wSecond",
            "wMilliseconds",
        )
    ]


def _text(name: str, size: int = 32) -> tuple[str, Any]:
    return (name, c_char * size)


class DEVICE_INFO(Structure):
    _fields_ = [
        ("reserved", ULONG),
        ("hwrv", ULONG),
        ("oerv", ULONG),
        _text("vdid"),
        _text("ptid"),
        _text("fwcn"),
        _text("cccn"),
        _text("cacn"),
        _text("ipcn"),
        ("ucrv", ULONG),
        ("ccsv", ULONG),
        ("carv", ULONG),
        ("iprn", ULONG),
        ("pcnt", ULONG),
        ("scnt", ULONG),
        ("rams", ULONG),
        ("hprs", ULONG),
        ("sern", ULONG),
        ("deviceId", VARIANT),
        _text("transportClsid", 56),
    ]


class FH(Structure):
    _fields_ = [("kind", c_uint16), ("reserved", c_uint16), ("drive", LONG), ("path", c_char * 64)]


class IMAGE_INFO(Structure):
    _fields_ = [
        ("isImage", ULONG),
        ("fileType", ULONG),
        ("fileSize", ULONG),
        ("created", SYSTEMTIME),
        ("modified", SYSTEMTIME),
        ("bitsPerPixel", ULONG),
        ("width", ULONG),
        ("height", ULONG),
        ("reserved", ULONG * 2),
        ("isImageAgain", ULONG),
        ("sdss", ULONG),
    ]


class PROGRESS(Structure):
    _fields_ = [("total", ULONG), ("done", ULONG)]


class CAPTURE_REQUEST(Structure):
    _fields_ = [(name, ULONG) for name in ("mode", "parameter1", "parameter2", "parameter3")]


class CAP_ITEM(Structure):
    _fields_ = [("data", c_uint8 * 32), ("value", ULONG)]


for _record, _size in (
    (DEVICE_INFO, 312),
    (FH, 72),
    (IMAGE_INFO, 72),
    (PROGRESS, 8),
    (CAPTURE_REQUEST, 16),
    (SYSTEMTIME, 16),
    (CAP_ITEM, 36),
    (VARIANT, 16),
):
    assert ctypes.sizeof(_record) == _size, _record
assert DEVICE_INFO.deviceId.offset == 240 and DEVICE_INFO.transportClsid.offset == 256

EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ULONG, HCAMERA, ctypes.c_size_t)

P = POINTER
PFH = P(FH)
PPFH = P(PFH)

# (name, argument types) of every export; all return CAMRESULT.
_EXPORTS: list[tuple[str, list[Any]]] = [
    ("TaveloEnumCameras", [P(ULONG), P(P(DEVICE_INFO))]),
    ("TaveloBindCamera", [P(HCAMERA), P(DEVICE_INFO)]),
    ("TaveloGetDeviceInfo", [HCAMERA, P(DEVICE_INFO)]),
    ("TaveloCloseCamera", [HCAMERA]),
    ("TaveloGetFileList", [HCAMERA, PFH, P(ULONG), P(PPFH), LONG]),
    ("TaveloGetFileData", [HCAMERA, PFH, ULONG, P(c_void_p), P(ULONG)]),
    ("TaveloGetDirectoryList", [HCAMERA, PFH, P(ULONG), P(PPFH)]),
    ("TaveloGetGroupList", [HCAMERA, P(ULONG), P(PPFH)]),
    ("TaveloGetFileTag", [HCAMERA, PFH, ULONG, P(VARIANT)]),
    ("TaveloGetFileDisplayName", [HCAMERA, PFH, c_char_p]),
    ("TaveloCloseFile", [HCAMERA, PFH]),
    ("TaveloSubscribe", [HCAMERA, ULONG, EVENT_CALLBACK, ctypes.c_size_t]),
    ("TaveloUnsubscribe", [HCAMERA, ULONG]),
    ("TaveloStartCapture", [HCAMERA, P(CAPTURE_REQUEST)]),
    ("TaveloStopCapture", [HCAMERA]),
    ("TaveloDeleteFile", [HCAMERA, PFH]),
    ("TaveloIsEqualFileHandle", [HCAMERA, PFH, PFH]),
    ("TaveloGetImageInfo", [HCAMERA, PFH, P(IMAGE_INFO)]),
    ("TaveloCreateFile", [HCAMERA, PFH, c_char_p, PPFH]),
    ("TaveloCreateDirectory", [HCAMERA, PFH, c_char_p, PPFH]),
    ("TaveloWriteFile", [HCAMERA, PFH, c_void_p, ULONG]),
    ("TaveloGetCameraTime", [HCAMERA, P(SYSTEMTIME)]),
    ("TaveloSetCameraTime", [HCAMERA, P(SYSTEMTIME)]),
    ("TaveloGetSystemFileList", [HCAMERA, P(ULONG), P(PPFH)]),
    ("TaveloGetScriptDescription", [HCAMERA, PFH, c_char_p]),
    ("TaveloGetPowerMode", [HCAMERA, P(ULONG)]),
    ("TaveloPowerOff", [HCAMERA]),
    ("TaveloSetFileTag", [HCAMERA, PFH, ULONG, VARIANT]),
    ("TaveloGetUngroupedImages", [HCAMERA, P(ULONG), P(PPFH)]),
    ("TaveloGetAllImagesList", [HCAMERA, P(ULONG), P(PPFH)]),
    ("TaveloGetProgressInfo", [HCAMERA, P(PROGRESS)]),
    ("TaveloCancelTransfer", [HCAMERA]),
    ("TaveloGetParentHandle", [HCAMERA, PFH, PPFH]),
    ("TaveloGetNewFileList", [HCAMERA, P(ULONG), P(PPFH)]),
    ("TaveloGetParameter", [HCAMERA, ULONG, P(VARIANT)]),
    ("TaveloSetShutterHalfway", [HCAMERA, LONG]),
    ("TaveloSetParameter", [HCAMERA, ULONG, VARIANT]),
    ("TaveloCopyFileToCamera", [HCAMERA, c_char_p, PFH, c_char_p, PPFH]),
    ("TaveloCopyFileFromCamera", [HCAMERA, c_char_p, PFH]),
    ("TaveloRunApp", [HCAMERA, PFH]),
    ("TaveloCreateGroup", [HCAMERA, c_char_p, PPFH, LONG]),
    ("TaveloGetFileType", [HCAMERA, PFH, P(ULONG)]),
    ("TaveloGetFileSize", [HCAMERA, PFH, P(ULONG)]),
    ("TaveloGetImageCount", [HCAMERA, P(ULONG)]),
    ("TaveloGetShotsRemaining", [HCAMERA, P(ULONG)]),
    ("TaveloGetParamCapType", [HCAMERA, ULONG, P(ULONG)]),
    ("TaveloGetParamCapValue", [HCAMERA, ULONG, P(VARIANT)]),
    ("TaveloGetParamCapRange", [HCAMERA, ULONG, P(ULONG), P(ULONG), P(ULONG)]),
    ("TaveloGetParamCapList", [HCAMERA, ULONG, P(ULONG), P(ULONG), P(P(CAP_ITEM))]),
    ("TaveloGetSystemDir", [HCAMERA, PPFH]),
    ("TaveloListAllParameters", [HCAMERA, P(ULONG), P(P(ULONG))]),
    ("TaveloGetParameterDesc", [HCAMERA, ULONG, c_char_p]),
    ("TaveloGetSystemStatus", [HCAMERA, P(ULONG)]),
    ("TaveloGetCaptureStatus", [HCAMERA, P(ULONG)]),
    ("TaveloGetVendorStatus", [HCAMERA, P(ULONG)]),
    ("TaveloRaw", [HCAMERA, c_void_p, ULONG, P(c_void_p), P(ULONG)]),
    ("TaveloSetParameterUserDefault", [HCAMERA, ULONG, ULONG, VARIANT]),
    ("TaveloGetParameterDefault", [HCAMERA, ULONG, ULONG, P(VARIANT)]),
    ("TaveloRestoreParameterDefault", [HCAMERA, ULONG, ULONG]),
    ("TaveloTestData", [HCAMERA, ULONG]),
    ("TaveloInitialize", [LONG]),
    ("TaveloUninitialize", []),
]
assert len(_EXPORTS) == 62

_RUNTIME: list[tuple[str, Any, list[Any]]] = [
    ("CoTaskMemFree", None, [c_void_p]),
    ("VariantClear", c_int32, [P(VARIANT)]),
    ("SysAllocStringLen", c_void_p, [c_void_p, c_uint32]),
    ("SysStringLen", c_uint32, [c_void_p]),
    ("GetModuleHandleA", c_void_p, [c_char_p]),
    (
        "FormatMessageA",
        c_uint32,
        [c_uint32, c_void_p, c_uint32, c_uint32, c_char_p, c_uint32, c_void_p],
    ),
]


class LibraryNotFound(OSError):
    """libtavelocam.so could not be found or loaded."""


def _multiarch() -> list[str]:
    arch = getattr(sys.implementation, "_multiarch", "")
    return [arch] if arch else []


def _in_folder(folder: str, name: str) -> Optional[str]:
    """``folder/name``, or else its versioned file ``folder/name.N...``."""
    exact = os.path.join(folder, name)
    if os.path.exists(exact):
        return exact
    versioned = sorted(glob.glob(glob.escape(exact) + ".*"))
    return versioned[0] if versioned else None


def _candidates() -> list[str]:
    """Where to look for the library, in order."""
    explicit = os.environ.get("TAVELO_LIBRARY")
    if explicit:
        # A build tree or a prefix: the file itself, or the folder holding it.
        if os.path.isdir(explicit):
            return [_in_folder(explicit, "libtavelocam.so") or explicit + "/libtavelocam.so"]
        return [explicit]
    found: list[str] = []
    # An installed prefix: the usual library folders of this Python's prefix,
    # of /usr/local and of /usr, then the dynamic loader's own search (which
    # honours LD_LIBRARY_PATH and the ld.so cache).
    for prefix in dict.fromkeys((sys.base_prefix, sys.prefix, "/usr/local", "/usr")):
        for sub in [os.path.join("lib", a) for a in _multiarch()] + ["lib64", "lib"]:
            path = _in_folder(os.path.join(prefix, sub), "libtavelocam.so")
            if path:
                found.append(path)
    found.append("libtavelocam.so")
    name = ctypes.util.find_library("tavelocam")
    if name:
        found.append(name)
    return list(dict.fromkeys(found))


class Native:
    """The loaded library and runtime with their prototypes."""

    def __init__(self) -> None:
        errors = []
        for path in _candidates():
            try:
                # The runtime beside the library first: an installed library
                # need not carry a search path for its dependency, and the
                # loader takes an already loaded libtavelort.so by its name.
                beside = _in_folder(os.path.dirname(path), "libtavelort.so")
                if os.path.dirname(path) and beside:
                    ctypes.CDLL(beside)
                self.cam = ctypes.CDLL(path)
                break
            except OSError as error:
                errors.append(f"{path}: {error}")
        else:
            raise LibraryNotFound(
                "cannot load libtavelocam.so; set TAVELO_LIBRARY to the library or its folder "
                "(" + "; ".join(errors) + ")"
            )
        self.path = self._loaded_path()
        directory = os.path.dirname(self.path)
        self.rt = ctypes.CDLL(_in_folder(directory, "libtavelort.so") or "libtavelort.so")
        for name, args in _EXPORTS:
            function = getattr(self.cam, name)
            function.argtypes = args
            function.restype = CAMRESULT
        for name, restype, args in _RUNTIME:
            function = getattr(self.rt, name)
            function.argtypes = args
            function.restype = restype
        self.components = os.path.join(directory, "tavelo", "components")
        # A build tree keeps its components beside the library, where the
        # runtime's built-in default (the installed folder) does not look.
        if "TAVELO_COMPONENT_PATH" not in os.environ and os.path.isdir(self.components):
            os.environ["TAVELO_COMPONENT_PATH"] = self.components
        self.module = self.rt.GetModuleHandleA(self.path.encode())
        self._threads = threading.local()

    def _loaded_path(self) -> str:
        """The file the loader actually opened, found through dladdr."""

        class DlInfo(Structure):
            _fields_ = [
                ("dli_fname", c_char_p),
                ("dli_fbase", c_void_p),
                ("dli_sname", c_char_p),
                ("dli_saddr", c_void_p),
            ]

        libc = ctypes.CDLL(None)
        info = DlInfo()
        address = ctypes.cast(self.cam.TaveloInitialize, c_void_p)
        if libc.dladdr(address, ctypes.byref(info)) and info.dli_fname:
            return os.path.realpath(info.dli_fname.decode())
        return str(self.cam._name)

    def initialize_thread(self) -> None:
        """Initialises the component runtime once per calling thread."""
        if not getattr(self._threads, "done", False):
            self.cam.TaveloInitialize(1)
            self._threads.done = True

    def release_thread(self) -> None:
        """Ends the component runtime for the calling thread."""
        if getattr(self._threads, "done", False):
            self.cam.TaveloUninitialize()
            self._threads.done = False

    def message(self, code: int) -> str:
        """The library's message text for a result code, or "" without one."""
        buffer = ctypes.create_string_buffer(1024)
        n = self.rt.FormatMessageA(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
            self.module,
            code & 0xFFFFFFFF,
            0,
            buffer,
            len(buffer),
            None,
        )
        return buffer.raw[:n].decode("utf-8", "replace").strip() if n else ""

    # ---- variants ---------------------------------------------------------

    def variant_value(self, variant: VARIANT) -> Any:
        """The Python value of a variant; clears the variant."""
        try:
            vt, data = variant.vt, variant.data
            if vt == VT_EMPTY:
                return None
            if vt == VT_UI4:
                return data & 0xFFFFFFFF
            if vt == VT_I4:
                return struct.unpack("<i", struct.pack("<I", data & 0xFFFFFFFF))[0]
            if vt == VT_R4:
                return struct.unpack("<f", struct.pack("<I", data & 0xFFFFFFFF))[0]
            if vt == VT_BOOL:
                return (data & 0xFFFF) != 0
            if vt == VT_BSTR:
                if not data:
                    return ""
                length = self.rt.SysStringLen(data)
                return ctypes.string_at(data, 2 * length).decode("utf-16-le", "replace")
            raise TypeError(f"unexpected variant type {vt}")
        finally:
            self.rt.VariantClear(ctypes.byref(variant))

    def make_variant(self, value: Any) -> VARIANT:
        """A variant holding a Python bool, int, float or str.

        A str variant owns a BSTR; release it with VariantClear.
        """
        variant = VARIANT()
        if isinstance(value, bool):
            # As the number 1 or 0: a VT_BOOL true travels as 0xFFFFFFFF,
            # which cameras that list On as 1 refuse.
            variant.vt, variant.data = VT_UI4, 1 if value else 0
        elif isinstance(value, int):
            if not -(2**31) <= value < 2**32:
                raise OverflowError(f"{value} does not fit 32 bits")
            variant.vt = VT_I4 if value < 0 else VT_UI4
            variant.data = value & 0xFFFFFFFF
        elif isinstance(value, float):
            variant.vt = VT_R4
            variant.data = struct.unpack("<I", struct.pack("<f", value))[0]
        elif isinstance(value, str):
            units = value.encode("utf-16-le")
            bstr = self.rt.SysAllocStringLen(units, len(units) // 2)
            if not bstr:
                raise MemoryError("SysAllocStringLen")
            variant.vt, variant.data = VT_BSTR, bstr
        else:
            raise TypeError(f"cannot send a {type(value).__name__} to the camera")
        return variant


_native: Optional[Native] = None
_lock = threading.Lock()


def lib() -> Native:
    """The loaded library; loads it on first use."""
    global _native
    with _lock:
        if _native is None:
            _native = Native()
        return _native
