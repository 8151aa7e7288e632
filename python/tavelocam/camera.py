"""Cameras, files, parameters and events over the C library."""

from __future__ import annotations

import ctypes
import datetime as _dt
import enum
import io
import logging
import os
import queue
import shutil
import struct
import tempfile
import threading
import weakref
from collections.abc import Iterator, MutableMapping
from ctypes import byref, c_uint32, c_void_p
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Callable, Optional, Union

from . import _native
from ._native import FH, PFH, VARIANT, lib
from .errors import CameraClosed, CameraError, DataNotFound, FileNotFound, code_name, error_class

_log = logging.getLogger("tavelocam")

ProgressCallback = Callable[[int, int], Any]
"""Called as ``progress(done, total)`` after every chunk of a transfer."""


class EventKind(enum.IntEnum):
    """Camera events. Kinds 1 to 6 come from the camera's status, polled by
    the library every 2 seconds while the camera is idle; kind 7 is the
    progress of a transfer."""

    NEW_FILES = 1
    BATTERY_LOW = 2
    SETTINGS_CHANGED = 3
    SHOT_PENDING = 4
    STORE_FULL = 5
    SERIES_SHOT = 6
    PROGRESS = 7


class FileType(enum.IntEnum):
    """What the library makes of a file's type tags or extension."""

    JPG = 1
    EXIF = 2
    FPX = 3
    TIFF = 4
    SCRIPT = 5
    CAM = 6
    OTHER = 7


class DataKind(enum.IntEnum):
    """What :meth:`CameraFile.read` reads."""

    FILE = 0
    THUMBNAIL = 1
    SOUND = 2
    PREVIEW = 3


class CaptureMode(enum.IntEnum):
    SINGLE = 0
    CONTINUOUS = 1
    BURST = 2
    TIMELAPSE = 3


def tag_code(tag: Union[str, int]) -> int:
    """A four-character tag such as ``"mhbs"`` as the library's 32-bit number."""
    if isinstance(tag, int):
        return tag
    raw = tag.encode("ascii")
    if not 1 <= len(raw) <= 4:
        raise ValueError(f"a tag has one to four characters, not {tag!r}")
    return int.from_bytes(raw.ljust(4, b" "), "big")


def tag_name(code: int) -> str:
    """The four characters of a 32-bit tag."""
    return code.to_bytes(4, "big").decode("latin-1")


def _check(result: int, function: str, detail: str = "") -> int:
    """Raises the CameraError subclass for a negative result."""
    if result < 0:
        native = lib()
        message = native.message(result)
        if detail:
            message = message.replace("%1", detail) if "%1" in message else message
        raise error_class(result)(result & 0xFFFFFFFF, code_name(result), message, function)
    return result


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def _systemtime_to_datetime(st: _native.SYSTEMTIME) -> Optional[_dt.datetime]:
    if st.wYear == 0:
        return None
    return _dt.datetime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond)


# ---- descriptions ----------------------------------------------------------


@dataclass(frozen=True)
class CameraInfo:
    """A camera as enumeration or the camera itself describes it."""

    vendor: str
    product: str
    firmware: str
    name: str
    serial: int
    device_id: str = ""
    transport: str = ""
    fields: dict[str, Any] = field(default_factory=dict, compare=False, repr=False)

    @classmethod
    def _from_record(cls, record: _native.DEVICE_INFO, device_id: str = "") -> "CameraInfo":
        names = [n for n, _ in _native.DEVICE_INFO._fields_ if n not in ("reserved", "deviceId")]
        fields = {}
        for name in names:
            value = getattr(record, name)
            fields[name] = _text(value) if isinstance(value, bytes) else value
        return cls(
            vendor=fields["vdid"],
            product=fields["ptid"],
            firmware=fields["fwcn"],
            name=fields["cacn"],
            serial=fields["sern"],
            device_id=device_id,
            transport=fields["transportClsid"],
            fields=fields,
        )


@dataclass(frozen=True)
class ImageInfo:
    """What the camera tells about a file (:attr:`CameraFile.image_info`)."""

    is_image: bool
    type: FileType
    size: int
    taken: Optional[_dt.datetime]
    bits_per_pixel: int
    width: int
    height: int
    has_sound: bool


@dataclass(frozen=True)
class Status:
    """The camera's status words and counters (:meth:`Camera.status`)."""

    system: int
    capture: int
    vendor: int
    image_count: int
    shots_remaining: int


@dataclass(frozen=True)
class Choice:
    label: str
    value: int


@dataclass(frozen=True)
class Capability:
    """What values a parameter accepts: ``choices`` (kind "list"), ``low``,
    ``high`` and ``step`` (kind "range"), or ``value`` (kind "single")."""

    kind: str
    choices: tuple[Choice, ...] = ()
    list_value: int = 0
    low: int = 0
    high: int = 0
    step: int = 0
    value: Any = None


@dataclass(frozen=True)
class Event:
    """One camera event. ``files`` holds the new files of a NEW_FILES event;
    ``done`` and ``total`` the progress of a PROGRESS event."""

    kind: EventKind
    files: tuple["CameraFile", ...] = ()
    done: int = 0
    total: int = 0


class Thumbnail(bytes):
    """A thumbnail as the bytes of a 24-bit BMP file."""

    @property
    def width(self) -> int:
        return struct.unpack_from("<i", self, 18)[0]

    @property
    def height(self) -> int:
        return struct.unpack_from("<i", self, 22)[0]

    def to_pillow(self) -> Any:
        """The thumbnail as a Pillow image (needs Pillow installed)."""
        import io

        from PIL import Image

        image = Image.open(io.BytesIO(self))
        image.load()
        return image


def _bmp_file(dib: bytes) -> Thumbnail:
    """Puts the 14-byte file header in front of the library's bitmap."""
    header = struct.pack("<2sIHHI", b"BM", 14 + len(dib), 0, 0, 14 + 40)
    return Thumbnail(header + dib)


# ---- the camera ------------------------------------------------------------


class _Calls:
    """Counts calls in flight so that close waits for them, and refuses new
    ones once the camera is closing."""

    def __init__(self) -> None:
        self.condition = threading.Condition()
        self.in_flight = 0
        self.closed = False
        self.local = threading.local()

    def depth(self) -> int:
        return getattr(self.local, "depth", 0)


class Camera:
    """One bound camera. Use it as a context manager, or call :meth:`close`.

    Every method may raise :class:`~tavelocam.CameraError`. A Camera may be
    used from several threads; the library runs one camera command at a time.
    """

    def __init__(self, handle: int, info: Optional[CameraInfo] = None) -> None:
        self._handle = c_void_p(handle)
        self._calls = _Calls()
        self._listeners: dict[int, list[Callable[[Event], Any]]] = {}
        self._listen_lock = threading.Lock()
        self._subscribed: dict[int, Any] = {}  # kind -> ctypes callback, kept alive
        self._queues: list[queue.Queue[Optional[Event]]] = []  # of events() iterators
        self._progress = threading.local()
        self._description = info
        self.params = Parameters(self)

    # -- plumbing --

    def _call(
        self, function: str, *args: Any, detail: str = "", adopt: Optional[Callable[[], Any]] = None
    ) -> int:
        """Calls an export with the camera handle first; raises on failure.

        ``adopt`` copies what the export handed out while the call still
        counts as in flight, so that a close() on another thread, which
        frees the session's listings, waits until the copy is done.
        """
        native = lib()
        calls = self._calls
        with calls.condition:
            if calls.closed:
                raise CameraClosed(function)
            calls.in_flight += 1
        calls.local.depth = calls.depth() + 1
        try:
            if not getattr(calls.local, "callback", False):
                native.initialize_thread()
            try:
                result = getattr(native.cam, function)(self._handle, *args)
            finally:
                if adopt is not None:
                    adopt()
            return _check(result, function, detail)
        finally:
            calls.local.depth -= 1
            with calls.condition:
                calls.in_flight -= 1
                calls.condition.notify_all()

    def _file(self, fh: FH) -> "CameraFile":
        return CameraFile(self, fh)

    def _take_list(self, function: str, *args: Any, trailing: tuple = ()) -> list["CameraFile"]:
        """Runs a listing export and copies its handles, releasing every one."""
        count = c_uint32(0)
        array = _native.PPFH()
        files: list[CameraFile] = []
        self._call(
            function, *args, byref(count), byref(array), *trailing,
            adopt=lambda: files.extend(self._adopt(array, count.value)),
        )  # fmt: skip
        return files

    def _take_one(self, function: str, *args: Any, **options: Any) -> Optional["CameraFile"]:
        """Runs an export that hands out one file handle (its last argument)."""
        out = _native.PFH()
        made: list[Optional[CameraFile]] = []
        self._call(function, *args, byref(out), **options, adopt=lambda: made.append(self._adopt_one(out)))
        return made[0]

    def _adopt(self, array: Any, count: int) -> list["CameraFile"]:
        files = []
        if array:
            for i in range(count):
                if array[i]:
                    files.append(self._file(FH.from_buffer_copy(array[i].contents)))
                    lib().cam.TaveloCloseFile(self._handle, array[i])
        return files

    def _adopt_one(self, pointer: Any) -> Optional["CameraFile"]:
        if not pointer:
            return None
        copy = FH.from_buffer_copy(pointer.contents)
        lib().cam.TaveloCloseFile(self._handle, pointer)
        return self._file(copy)

    def _block(self, pointer: c_void_p, size: int) -> bytes:
        """Copies and frees a block of the task allocator."""
        if not pointer.value:
            return b""
        try:
            return ctypes.string_at(pointer.value, size)
        finally:
            lib().rt.CoTaskMemFree(pointer)

    # -- life cycle --

    def close(self) -> None:
        """Closes the camera; waits for calls in flight on other threads.

        Closing from inside an event callback or a progress callback is
        refused, as the library would then wait for the very thread that
        runs the callback.
        """
        calls = self._calls
        if calls.depth() or getattr(calls.local, "callback", False):
            raise CameraError(None, "close from a callback", "", "close")
        with calls.condition:
            if calls.closed:
                return
            calls.closed = True
            calls.condition.wait_for(lambda: calls.in_flight == 0)
        handle, self._handle = self._handle, c_void_p(0)
        lib().cam.TaveloCloseCamera(handle)
        # The library calls no callback after the close: let them go.
        self._subscribed.clear()
        with self._listen_lock:
            self._listeners.clear()
            for waiting in self._queues:
                waiting.put(None)  # ends the iterators

    @property
    def closed(self) -> bool:
        return self._calls.closed

    def __enter__(self) -> "Camera":
        if self.closed:
            raise CameraClosed("__enter__")
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if self._calls.closed or not self._handle.value:
                return
            if isinstance(threading.current_thread(), threading._DummyThread):
                # Collected on the library's own thread, inside a callback:
                # closing there would wait for that very thread.
                threading.Thread(target=self.close, daemon=True).start()
            else:
                self.close()
        except Exception:  # interpreter shutdown: nothing to report to
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        name = self._description.device_id if self._description else ""
        return f"<tavelocam.Camera {name} {state}>"

    # -- the camera itself --

    @property
    def info(self) -> CameraInfo:
        """Product information read from the camera."""
        record = _native.DEVICE_INFO()
        self._call("TaveloGetDeviceInfo", byref(record))
        device_id = self._description.device_id if self._description else ""
        return CameraInfo._from_record(record, device_id)

    @property
    def clock(self) -> _dt.datetime:
        """The camera's clock (whole seconds, no time zone); settable."""
        st = _native.SYSTEMTIME()
        self._call("TaveloGetCameraTime", byref(st))
        value = _systemtime_to_datetime(st)
        assert value is not None
        return value

    @clock.setter
    def clock(self, value: _dt.datetime) -> None:
        st = _native.SYSTEMTIME(
            value.year, value.month, value.isoweekday() % 7, value.day,
            value.hour, value.minute, value.second, 0,
        )  # fmt: skip
        self._call("TaveloSetCameraTime", byref(st))

    @property
    def power_mode(self) -> int:
        """The camera's power mode number (the virtual camera: 1 battery, 2 low)."""
        mode = c_uint32()
        self._call("TaveloGetPowerMode", byref(mode))
        return mode.value

    def power_off(self) -> None:
        """Switches the camera off."""
        self._call("TaveloPowerOff")

    def _word(self, function: str) -> int:
        value = c_uint32()
        self._call(function, byref(value))
        return value.value

    def status(self) -> Status:
        """The status words, image count and shots remaining."""
        return Status(
            system=self._word("TaveloGetSystemStatus"),
            capture=self._word("TaveloGetCaptureStatus"),
            vendor=self._word("TaveloGetVendorStatus"),
            image_count=self._word("TaveloGetImageCount"),
            shots_remaining=self._word("TaveloGetShotsRemaining"),
        )

    # -- files --

    def file(self, path: str) -> "CameraFile":
        """A file or directory by its path name, such as ``"2:DCIM/IMG0001.JPG"``
        or ``"2:DCIM/"``. Nothing is asked of the camera."""
        return self._file(_make_fh(path))

    def ls(self, path: Union[str, "CameraFile"] = "") -> list["CameraFile"]:
        """The directories, then the files, of a directory ("" for the root of
        the default drive)."""
        directory = self._fh_pointer(path)
        dirs = self._take_list("TaveloGetDirectoryList", directory)
        return dirs + self._take_list("TaveloGetFileList", directory, trailing=(0,))

    def walk(
        self, top: Union[str, "CameraFile"] = ""
    ) -> Iterator[tuple[str, list["CameraFile"], list["CameraFile"]]]:
        """Like :func:`os.walk`: ``(directory path, directories, files)`` for
        the top directory and every directory below it."""
        entries = self.ls(top)
        dirs = [e for e in entries if e.is_dir]
        files = [e for e in entries if not e.is_dir]
        yield (top.path if isinstance(top, CameraFile) else top), dirs, files
        for d in dirs:
            yield from self.walk(d)

    def __iter__(self) -> Iterator["CameraFile"]:
        """Every file on the camera (not the directories), one directory at a
        time: each directory is listed only when the iteration reaches it."""
        for _, _, files in self.walk():
            yield from files

    def all_images(self) -> list["CameraFile"]:
        """Every image on the camera."""
        return self._take_list("TaveloGetAllImagesList")

    def new_files(self) -> list["CameraFile"]:
        """Hands over the new files that the library collected for the latest
        NEW_FILES event ([] when none). The library collects them only while
        NEW_FILES is subscribed, and a later event replaces a list not handed
        over: to get every new file, take ``event.files`` of the events
        (:meth:`on`, :meth:`events`) instead."""
        try:
            return self._take_list("TaveloGetNewFileList")
        except FileNotFound:
            return []

    def groups(self) -> list["CameraFile"]:
        """The groups, as directory handles."""
        return self._take_list("TaveloGetGroupList")

    def ungrouped_images(self) -> list["CameraFile"]:
        return self._take_list("TaveloGetUngroupedImages")

    def system_files(self) -> list["CameraFile"]:
        """The files of the camera's SYSTEM directory (scripts)."""
        return self._take_list("TaveloGetSystemFileList")

    def system_dir(self) -> "CameraFile":
        """The SYSTEM directory, created on the camera when missing."""
        result = self._take_one("TaveloGetSystemDir")
        if result is None:
            raise CameraError(None, "no system directory", "", "TaveloGetSystemDir")
        return result

    def mkdir(self, name: str, parent: Union[str, "CameraFile", None] = None) -> "CameraFile":
        """Creates a directory (an existing one is fine) and returns it."""
        made = self._take_one("TaveloCreateDirectory", self._fh_pointer(parent), name.encode())
        assert made is not None
        return made

    def create_group(self, name: str, files: list["CameraFile"]) -> None:
        """Makes a group of the files; the camera moves them into it."""
        array = (PFH * max(1, len(files)))(*[ctypes.pointer(f._fh) for f in files])
        text = ctypes.create_string_buffer(name.encode())
        self._call("TaveloCreateGroup", text, array if files else None, len(files))

    def upload(
        self,
        host_path: Union[str, os.PathLike],
        directory: Union[str, "CameraFile"],
        name: Optional[str] = None,
        progress: Optional[ProgressCallback] = None,
    ) -> "CameraFile":
        """Copies a host file into a camera directory (8.3 ``name``, by default
        the host file's name in upper case) and returns the new file."""
        host = os.fspath(host_path)
        name = name if name is not None else os.path.basename(host).upper()
        with self._transfer(progress):
            made = self._take_one(
                "TaveloCopyFileToCamera", os.fsencode(host), self._fh_pointer(directory),
                name.encode(),
            )  # fmt: skip
        assert made is not None
        return made

    def write_file(
        self,
        directory: Union[str, "CameraFile"],
        name: str,
        data: bytes,
        progress: Optional[ProgressCallback] = None,
    ) -> "CameraFile":
        """Creates a camera file from bytes and returns it."""
        made = self._take_one("TaveloCreateFile", self._fh_pointer(directory), name.encode())
        assert made is not None
        made.write(data, progress)
        return made

    def _fh_pointer(self, target: Union[str, "CameraFile", None]) -> Any:
        if target is None or target == "":
            return None
        if isinstance(target, str):
            return byref(_make_fh(target))
        return byref(target._fh)

    # -- transfers --

    def _transfer(self, progress: Optional[ProgressCallback]) -> "_Transfer":
        return _Transfer(self, progress)

    def progress(self) -> tuple[int, int]:
        """``(done, total)`` of the latest transfer."""
        record = _native.PROGRESS()
        self._call("TaveloGetProgressInfo", byref(record))
        return record.done, record.total

    def cancel(self) -> None:
        """Asks the running transfer to stop; it then raises Aborted. Safe from
        another thread and from a progress callback."""
        self._call("TaveloCancelTransfer")

    # -- capture --

    def capture(
        self,
        mode: CaptureMode = CaptureMode.SINGLE,
        count: int = 1,
        interval: int = 0,
        delay: int = 0,
    ) -> None:
        """Takes pictures: SINGLE one; CONTINUOUS a series that goes on until
        :meth:`stop_capture` (while events are subscribed); BURST ``count``
        pictures; TIMELAPSE ``count`` pictures every ``interval`` seconds
        after ``delay`` seconds."""
        first = 0xFFFFFFFF if mode == CaptureMode.CONTINUOUS else count
        request = _native.CAPTURE_REQUEST(int(mode), first, interval, delay)
        self._call("TaveloStartCapture", byref(request))

    def stop_capture(self) -> None:
        self._call("TaveloStopCapture")

    def half_press(self, pressed: bool = True) -> None:
        """Presses (True) or releases (False) the shutter half way."""
        self._call("TaveloSetShutterHalfway", 1 if pressed else 0)

    def viewfinder(self) -> Thumbnail:
        """The live viewfinder image as a BMP."""
        data = c_void_p()
        size = c_uint32()
        self._call("TaveloGetFileData", None, int(DataKind.THUMBNAIL), byref(data), byref(size))
        return _bmp_file(self._block(data, size.value))

    # -- raw --

    def raw(self, packet: bytes) -> bytes:
        """Sends a complete request packet, header included; returns the whole
        answer packet."""
        response = c_void_p()
        length = c_uint32()
        self._call("TaveloRaw", packet, len(packet), byref(response), byref(length))
        return self._block(response, length.value)

    def echo(self, count: int) -> None:
        """Echo test of ``count`` bytes over the link; raises BadData when
        the camera's echo differs."""
        self._call("TaveloTestData", count)

    # -- events --

    def on(self, kind: int, callback: Callable[[Event], Any]) -> Callable[[], None]:
        """Calls ``callback(event)`` for every event of the kind; returns a
        function that removes it again.

        Kinds 1 to 6 arrive on the library's notification thread, PROGRESS on
        the thread of the transfer. A callback may use the camera, except
        that a PROGRESS callback may only read progress or cancel. Exceptions
        from callbacks are logged to the ``tavelocam`` logger.
        """
        kind = int(kind)
        self._subscribe(kind)
        with self._listen_lock:
            self._listeners.setdefault(kind, []).append(callback)

        def off() -> None:
            with self._listen_lock:
                listeners = self._listeners.get(kind, [])
                if callback in listeners:
                    listeners.remove(callback)

        return off

    def events(
        self, kinds: Optional[list[int]] = None, timeout: Optional[float] = None
    ) -> Iterator[Event]:
        """Yields camera events (kinds 1 to 6 by default) as they arrive; ends
        when ``timeout`` seconds pass without one (None: never) or when the
        camera is closed.

        The library polls the camera's status every 2 seconds while idle."""
        wanted = list(kinds) if kinds is not None else list(range(1, 7))
        events: queue.Queue[Optional[Event]] = queue.Queue()
        removers = []
        with self._listen_lock:
            self._queues.append(events)
        try:
            for kind in wanted:
                removers.append(self.on(kind, events.put))
            while True:
                try:
                    event = events.get(timeout=timeout)
                except queue.Empty:
                    return
                if event is None:  # closed
                    return
                yield event
        finally:
            for remove in removers:
                remove()
            with self._listen_lock:
                self._queues.remove(events)

    def _subscribe(self, kind: int) -> None:
        """Subscribes the kind once. The ctypes callback object stays in
        ``_subscribed`` until the camera is closed: the library may call it
        until then."""
        # The context is unused: the trampoline is bound to this camera. It
        # holds the camera weakly, so a forgotten camera can still be closed
        # by the garbage collector.
        camera = weakref.ref(self)

        def trampoline(event_kind: int, handle: int, context: int) -> None:
            me = camera()
            if me is not None:
                me._dispatch(event_kind)

        callback = _native.EVENT_CALLBACK(trampoline)
        # Reserve the kind under the lock but subscribe outside it: the
        # library's subscription lock may be held by a dispatch that waits
        # for ours.
        with self._listen_lock:
            if kind in self._subscribed:
                return
            self._subscribed[kind] = callback
        try:
            self._call("TaveloSubscribe", kind, callback, 0)
        except BaseException:
            with self._listen_lock:
                del self._subscribed[kind]
            raise

    def _dispatch(self, kind: int) -> None:
        """Runs on the library's thread with its subscription lock held."""
        local = self._calls.local
        outer = getattr(local, "callback", False)
        local.callback = True
        try:
            with self._listen_lock:
                listeners = list(self._listeners.get(kind, []))
            transfer = getattr(self._progress, "transfer", None)
            if not listeners and (kind != EventKind.PROGRESS or transfer is None):
                return  # nobody listens: above all, leave the new files alone
            if kind == EventKind.PROGRESS:
                done, total = self.progress()
                event = Event(EventKind.PROGRESS, done=done, total=total)
                if transfer is not None:
                    transfer.report(done, total)
            elif kind == EventKind.NEW_FILES:
                event = Event(EventKind.NEW_FILES, files=tuple(self.new_files()))
            else:
                event = Event(EventKind(kind))
            for listener in listeners:
                try:
                    listener(event)
                except Exception:
                    _log.exception("event callback for %s failed", event.kind.name)
        except CameraClosed:
            pass
        except Exception:
            _log.exception("event dispatch failed")
        finally:
            local.callback = outer


class _Transfer:
    """Routes the progress events of one transfer on this thread to its
    callback; an exception in the callback cancels the transfer and is
    raised in its place."""

    def __init__(self, camera: Camera, progress: Optional[ProgressCallback]) -> None:
        self.camera = camera
        self.progress = progress
        self.error: Optional[BaseException] = None

    def __enter__(self) -> "_Transfer":
        if self.progress is not None:
            self.camera._subscribe(EventKind.PROGRESS)
            self.camera._progress.transfer = self
        return self

    def report(self, done: int, total: int) -> None:
        if self.progress is None or self.error is not None:
            return
        try:
            self.progress(done, total)
        except BaseException as error:
            self.error = error
            self.camera.cancel()

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if self.progress is not None:
            self.camera._progress.transfer = None
        if self.error is not None:
            raise self.error


# ---- files -----------------------------------------------------------------


def _file_type(number: int) -> FileType:
    return FileType(number) if number in FileType._value2member_map_ else FileType.OTHER


def _make_fh(path: str) -> FH:
    raw = path.encode()
    if len(raw) > 63:
        raise ValueError(f"path name too long: {path!r}")
    drive = int(path.split(":", 1)[0]) if ":" in path else 0
    return FH(1, 0, drive, raw)


class CameraFile:
    """A file or directory on the camera, named by its path name such as
    ``"2:DCIM/IMG0001.JPG"`` (a directory's ends with ``/``)."""

    def __init__(self, camera: Camera, fh: FH) -> None:
        self.camera = camera
        self._fh = fh

    @property
    def path(self) -> str:
        return self._fh.path.decode("utf-8", "replace")

    @property
    def is_dir(self) -> bool:
        return self.path.endswith("/")

    @property
    def name(self) -> str:
        """The file's own name (a directory's without the ``/``)."""
        buffer = ctypes.create_string_buffer(80)
        self.camera._call("TaveloGetFileDisplayName", byref(self._fh), buffer)
        return buffer.value.decode("utf-8", "replace")

    @property
    def parent(self) -> Optional["CameraFile"]:
        """The directory that holds this one, or None at the root."""
        return self.camera._take_one("TaveloGetParentHandle", byref(self._fh))

    @property
    def size(self) -> int:
        value = c_uint32()
        self.camera._call("TaveloGetFileSize", byref(self._fh), byref(value), detail=self.path)
        return value.value

    @property
    def type(self) -> FileType:
        value = c_uint32()
        self.camera._call("TaveloGetFileType", byref(self._fh), byref(value))
        return _file_type(value.value)

    @property
    def image_info(self) -> ImageInfo:
        info = _native.IMAGE_INFO()
        self.camera._call("TaveloGetImageInfo", byref(self._fh), byref(info), detail=self.path)
        kind = info.fileType
        return ImageInfo(
            is_image=bool(info.isImage),
            type=_file_type(kind),
            size=info.fileSize,
            taken=_systemtime_to_datetime(info.created),
            bits_per_pixel=info.bitsPerPixel,
            width=info.width,
            height=info.height,
            has_sound=bool(info.sdss),
        )

    @property
    def tags(self) -> "FileTags":
        """The file's tags as a mutable mapping of four-character names."""
        return FileTags(self)

    @property
    def script_description(self) -> str:
        """A script's description (its first comment line)."""
        buffer = ctypes.create_string_buffer(64)
        self.camera._call("TaveloGetScriptDescription", byref(self._fh), buffer)
        return buffer.value.decode("utf-8", "replace")

    def read(
        self, kind: DataKind = DataKind.FILE, progress: Optional[ProgressCallback] = None
    ) -> bytes:
        """The file's data, its sound (SOUND), or its preview JPEG (PREVIEW)."""
        data = c_void_p()
        size = c_uint32()
        with self.camera._transfer(progress):
            try:
                self.camera._call(
                    "TaveloGetFileData", byref(self._fh), int(kind), byref(data), byref(size),
                    detail=self.path,
                )  # fmt: skip
            finally:
                block = self.camera._block(data, size.value)
        return block

    def open(self, mode: str = "rb", progress: Optional[ProgressCallback] = None) -> BinaryIO:
        """The file's data as a read-only binary file object: ``read(n)``,
        ``readinto``, ``seek``, iteration, and ``with``. The data is fetched
        into an unnamed host temporary file (the camera has no partial reads),
        so a large file never has to fit in memory."""
        if mode not in ("r", "rb"):
            raise ValueError("camera files open for reading only, in binary: 'rb'")
        folder = tempfile.mkdtemp(prefix="tavelocam-")
        try:
            path = self.download(os.path.join(folder, "data"), progress)
            stream = io.open(path, "rb")
        finally:
            shutil.rmtree(folder, ignore_errors=True)  # the open file stays readable
        return stream

    def thumbnail(self) -> Thumbnail:
        """The thumbnail as the bytes of a BMP file."""
        return _bmp_file(self.read(DataKind.THUMBNAIL))

    def download(
        self, path: Union[str, os.PathLike], progress: Optional[ProgressCallback] = None
    ) -> str:
        """Copies the file to a host file (or into a host folder, under its own
        name); returns the host path."""
        target = os.fspath(path)
        if os.path.isdir(target):
            target = os.path.join(target, self.name)
        with self.camera._transfer(progress):
            self.camera._call(
                "TaveloCopyFileFromCamera", os.fsencode(target), byref(self._fh), detail=self.path
            )
        return target

    def write(self, data: bytes, progress: Optional[ProgressCallback] = None) -> None:
        """Replaces the file's whole content."""
        with self.camera._transfer(progress):
            self.camera._call("TaveloWriteFile", byref(self._fh), data, len(data))

    def delete(self) -> None:
        """Deletes the file, or the directory with everything in it."""
        self.camera._call("TaveloDeleteFile", byref(self._fh), detail=self.path)

    def run(self) -> None:
        """Runs the file as a camera script."""
        self.camera._call("TaveloRunApp", byref(self._fh), detail=self.path)

    def same_file(self, other: "CameraFile") -> bool:
        """Whether the library takes both for the same file."""
        result = self.camera._call("TaveloIsEqualFileHandle", byref(self._fh), byref(other._fh))
        return result == 0

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CameraFile):
            return NotImplemented
        return self.path == other.path

    def __hash__(self) -> int:
        return hash(self.path)

    def __repr__(self) -> str:
        return f"<CameraFile {self.path}>"


class FileTags(MutableMapping[str, Any]):
    """A file's tags. Reading a tag the file lacks raises KeyError (as
    :class:`DataNotFound`). The camera cannot list or remove tags: iteration
    covers the standard tags the file has, and deletion is refused."""

    STANDARD = ("imcn", "flty", "imwd", "imht", "impn", "date", "time", "sdss")

    def __init__(self, file: CameraFile) -> None:
        self._file = file

    def __getitem__(self, tag: str) -> Any:
        variant = VARIANT()
        camera = self._file.camera
        camera._call("TaveloGetFileTag", byref(self._file._fh), tag_code(tag), byref(variant))
        return lib().variant_value(variant)

    def __setitem__(self, tag: str, value: Any) -> None:
        variant = lib().make_variant(value)
        try:
            file = self._file
            file.camera._call("TaveloSetFileTag", byref(file._fh), tag_code(tag), variant)
        finally:
            lib().rt.VariantClear(byref(variant))

    def __delitem__(self, tag: str) -> None:
        raise TypeError("the camera cannot remove a tag")

    def __iter__(self) -> Iterator[str]:
        return iter([t for t in self.STANDARD if t in self])

    def __contains__(self, tag: object) -> bool:
        try:
            self[tag]  # type: ignore[index]
        except DataNotFound:
            return False
        return True

    def __len__(self) -> int:
        return len(list(iter(self)))


class Parameters(MutableMapping[str, Any]):
    """The camera's parameters by four-character tag, with Python values:
    int, float, bool or str. A value the camera refuses raises (for instance
    :class:`Incapable` or :class:`BadRequestData`)."""

    FACTORY = 0
    USER = 1

    def __init__(self, camera: Camera) -> None:
        self._camera = camera

    def __getitem__(self, tag: str) -> Any:
        variant = VARIANT()
        self._camera._call("TaveloGetParameter", tag_code(tag), byref(variant))
        return lib().variant_value(variant)

    def __setitem__(self, tag: str, value: Any) -> None:
        variant = lib().make_variant(value)
        try:
            self._camera._call("TaveloSetParameter", tag_code(tag), variant)
        finally:
            lib().rt.VariantClear(byref(variant))

    def __delitem__(self, tag: str) -> None:
        raise TypeError("parameters cannot be removed; use restore()")

    def __iter__(self) -> Iterator[str]:
        count = c_uint32()
        tags = ctypes.POINTER(c_uint32)()
        try:
            self._camera._call("TaveloListAllParameters", byref(count), byref(tags))
            names = [tag_name(tags[i]) for i in range(count.value)] if tags else []
        finally:
            if tags:
                lib().rt.CoTaskMemFree(tags)
        return iter(names)

    def __len__(self) -> int:
        return len(list(iter(self)))

    def describe(self, tag: str) -> str:
        """The parameter's description text."""
        buffer = ctypes.create_string_buffer(32)
        self._camera._call("TaveloGetParameterDesc", tag_code(tag), buffer)
        return buffer.value.decode("utf-8", "replace")

    def capability(self, tag: str) -> Capability:
        """What values the parameter accepts."""
        code = tag_code(tag)
        kind = c_uint32()
        self._camera._call("TaveloGetParamCapType", code, byref(kind))
        if kind.value == 1:
            list_value, count = c_uint32(), c_uint32()
            items = ctypes.POINTER(_native.CAP_ITEM)()
            try:
                self._camera._call(
                    "TaveloGetParamCapList", code, byref(list_value), byref(count), byref(items)
                )
                choices = tuple(
                    Choice(_text(bytes(items[i].data)), items[i].value) for i in range(count.value)
                ) if items else ()  # fmt: skip
            finally:
                if items:
                    lib().rt.CoTaskMemFree(items)
            return Capability("list", choices=choices, list_value=list_value.value)
        if kind.value == 2:
            low, high, step = c_uint32(), c_uint32(), c_uint32()
            self._camera._call("TaveloGetParamCapRange", code, byref(low), byref(high), byref(step))
            bounds = [low.value, high.value, step.value]
            # The camera compares signed parameters (read as VT_I4) signed.
            variant = VARIANT()
            self._camera._call("TaveloGetParameter", code, byref(variant))
            if variant.vt == _native.VT_I4:
                bounds = [b - (1 << 32) if b >= 1 << 31 else b for b in bounds]
            lib().variant_value(variant)
            return Capability("range", low=bounds[0], high=bounds[1], step=bounds[2])
        variant = VARIANT()
        self._camera._call("TaveloGetParamCapValue", code, byref(variant))
        return Capability("single", value=lib().variant_value(variant))

    def default(self, tag: str, selector: int = FACTORY) -> Any:
        """The parameter's default: the factory one, or the USER one."""
        variant = VARIANT()
        self._camera._call("TaveloGetParameterDefault", tag_code(tag), selector, byref(variant))
        return lib().variant_value(variant)

    def set_default(self, tag: str, value: Any, selector: int = USER) -> None:
        """Sets the parameter's user default."""
        variant = lib().make_variant(value)
        try:
            self._camera._call("TaveloSetParameterUserDefault", tag_code(tag), selector, variant)
        finally:
            lib().rt.VariantClear(byref(variant))

    def restore(self, tag: Optional[str] = None, selector: int = FACTORY) -> None:
        """Restores a parameter (all of them without a tag) to a default."""
        self._camera._call("TaveloRestoreParameterDefault", tag_code(tag) if tag else 0, selector)


# ---- finding and opening cameras -------------------------------------------


def _enumerate() -> tuple[list[CameraInfo], list[bytes]]:
    """Enumerates cameras; returns their descriptions and raw records."""
    native = lib()
    native.initialize_thread()
    count = c_uint32()
    records = ctypes.POINTER(_native.DEVICE_INFO)()
    result = native.cam.TaveloEnumCameras(byref(count), byref(records))
    infos: list[CameraInfo] = []
    raws: list[bytes] = []
    try:
        if result == error_code("CAM_E_NO_CAMERA"):
            return [], []
        _check(result, "TaveloEnumCameras")
        for i in range(count.value):
            record = records[i]
            variant = record.deviceId
            device_id = ""
            if variant.vt == _native.VT_BSTR and variant.data:
                length = native.rt.SysStringLen(variant.data)
                device_id = ctypes.string_at(variant.data, 2 * length).decode("utf-16-le")
            infos.append(CameraInfo._from_record(record, device_id))
            raws.append(bytes(record))
    finally:
        if records:
            for i in range(count.value):
                native.rt.VariantClear(byref(records[i].deviceId))
            native.rt.CoTaskMemFree(records)
    return infos, raws


def error_code(name: str) -> int:
    """The signed result code of a named code such as ``"CAM_E_BUSY"``."""
    from .errors import RESULTS

    for code, row in RESULTS.items():
        if row.name == name:
            return code - (1 << 32) if code & 0x80000000 else code
    raise KeyError(name)


def cameras() -> list[CameraInfo]:
    """The cameras the library finds, over every transport component."""
    return _enumerate()[0]


def _bind(transport: str, device_id: str, info: Optional[CameraInfo]) -> Camera:
    native = lib()
    native.initialize_thread()
    record = _native.DEVICE_INFO()
    record.transportClsid = transport.encode()
    record.deviceId = native.make_variant(device_id)
    handle = c_void_p()
    try:
        _check(native.cam.TaveloBindCamera(byref(handle), byref(record)), "TaveloBindCamera")
    finally:
        native.rt.VariantClear(byref(record.deviceId))
    return Camera(handle.value or 0, info)


def open(camera: Union[int, str] = 0) -> Camera:  # noqa: A001 - mirrors io.open
    """Binds a camera by its index in :func:`cameras` or its device id
    (such as ``"virtual:/path/to/store"``). A ``"net:HOST:PORT"`` or
    ``"serial:DEVICE@BAUD"`` id is bound at once, without a listing, so no
    environment variable has to name it."""
    if isinstance(camera, str):
        for prefix, transport in (
            ("net:", _native.NET_TRANSPORT),
            ("serial:", _native.SERIAL_TRANSPORT),
        ):
            if camera.startswith(prefix):
                lib()  # sets TAVELO_COMPONENT_PATH for a build tree
                return _bind(transport, camera, CameraInfo("", "", "", "", 0, camera))
    infos = cameras()
    if isinstance(camera, int):
        if not 0 <= camera < len(infos):
            raise error_class(error_code("CAM_E_NO_CAMERA"))(
                error_code("CAM_E_NO_CAMERA") & 0xFFFFFFFF, "CAM_E_NO_CAMERA",
                f"no camera {camera}; {len(infos)} found", "open",
            )  # fmt: skip
        info = infos[camera]
    else:
        matches = [i for i in infos if i.device_id == camera]
        if not matches:
            raise error_class(error_code("CAM_E_NO_CAMERA"))(
                error_code("CAM_E_NO_CAMERA") & 0xFFFFFFFF, "CAM_E_NO_CAMERA",
                f"no camera {camera!r}", "open",
            )  # fmt: skip
        info = matches[0]
    return _bind(info.transport, info.device_id, info)


def open_virtual(store_dir: Union[str, os.PathLike]) -> Camera:
    """Binds the virtual camera over a store folder (see ``tavelo-mkstore``).

    The virtual camera component is found through TAVELO_COMPONENT_PATH,
    which the package sets to the components folder beside the library when
    it is unset. The store is also added to TAVELO_VIRTUAL_CAMERAS so that
    :func:`cameras` lists it.
    """
    lib()  # sets TAVELO_COMPONENT_PATH for a build tree
    store = os.path.abspath(os.fspath(store_dir))
    listed = [s for s in os.environ.get("TAVELO_VIRTUAL_CAMERAS", "").split(";") if s]
    if store not in listed:
        os.environ["TAVELO_VIRTUAL_CAMERAS"] = ";".join(listed + [store])
    device_id = "virtual:" + store
    return _bind(_native.VIRTUAL_TRANSPORT, device_id, CameraInfo("", "", "", "", 0, device_id))
