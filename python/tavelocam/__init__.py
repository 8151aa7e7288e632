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
from ._native import LibraryNotFound
from .errors import *  # noqa: F401,F403 - the exception classes
from .errors import CameraClosed, CameraError, code_name, error_class

__all__ = [
    "Camera",
    "CameraClosed",
    "CameraError",
    "CameraFile",
    "CameraInfo",
    "Capability",
    "CaptureMode",
    "Choice",
    "DataKind",
    "Event",
    "EventKind",
    "FileTags",
    "FileType",
    "ImageInfo",
    "LibraryNotFound",
    "Parameters",
    "ProgressCallback",
    "Status",
    "Thumbnail",
    "cameras",
    "code_name",
    "error_class",
    "errors",
    "library_path",
    "open",
    "open_virtual",
    "release_thread",
    "tag_code",
    "tag_name",
] + [name for name in dir(errors) if isinstance(getattr(errors, name), type)
     and issubclass(getattr(errors, name), errors.CameraError)]

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
