"""Tavelo cameras from Python.

A pure-Python interface over the C library ``libtavelocam.so``::

    import tavelocam

    with tavelocam.open_virtual("/tmp/store") as cam:
        for image in cam.all_images():
            print(image.path, image.size)
            image.download(image.name)

The library is found through ``TAVELO_LIBRARY`` (the file or its folder, for
a build tree), else in the installed library folders and the dynamic loader's
search path.
"""

from . import errors
from ._native import LibraryNotFound
from .camera import (
    Camera,
    CameraFile,
    CameraInfo,
    Capability,
    CaptureMode,
    Choice,
    DataKind,
    Event,
    EventKind,
    FileTags,
    FileType,
    ImageInfo,
    Parameters,
    ProgressCallback,
    Status,
    Thumbnail,
    cameras,
    open,
    open_virtual,
    tag_code,
    tag_name,
)
from .errors import *  # noqa: F401,F403  (every named exception class)

__all__ = [
    "Camera",
    "CameraFile",
    "CameraInfo",
    "cameras",
    "Capability",
    "CaptureMode",
    "Choice",
    "DataKind",
    "errors",
    "Event",
    "EventKind",
    "FileTags",
    "FileType",
    "ImageInfo",
    "library_path",
    "LibraryNotFound",
    "open",
    "open_virtual",
    "Parameters",
    "ProgressCallback",
    "release_thread",
    "Status",
    "tag_code",
    "tag_name",
    "Thumbnail",
] + errors.__all__

__version__ = "0.1.0"


def library_path() -> str:
    """The path of the loaded ``libtavelocam.so``."""
    from ._native import lib

    return lib().path


def release_thread() -> None:
    """Ends the library's component runtime for the calling thread, which
    the package initialised on the thread's first call. Optional."""
    from ._native import lib

    lib().release_thread()
