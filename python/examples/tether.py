#!/usr/bin/env python3
"""Tethered shooting: watch a camera and download every new picture.

Each new picture is saved under a date-based name (the time the camera took
it), and one line per picture is printed:

    tether.py OUTDIR                     # the first camera found
    tether.py OUTDIR --camera virtual:/tmp/store
    tether.py OUTDIR --virtual /tmp/store --shoot 3

With --shoot N the script itself takes N pictures (one every few seconds),
handy with the virtual camera; otherwise press the camera's shutter. Stop
with Ctrl-C, or use --idle SECONDS to stop after a quiet spell.
"""

from __future__ import annotations

import argparse
import datetime
import os
import sys
import time

import tavelocam


def target_name(outdir: str, picture: tavelocam.CameraFile) -> str:
    """OUTDIR/YYYY-MM-DD/HHMMSS_NAME, the date and time from the camera."""
    try:
        taken = picture.image_info.taken
    except tavelocam.CameraError:
        taken = None
    taken = taken or datetime.datetime.now()
    folder = os.path.join(outdir, taken.strftime("%Y-%m-%d"))
    os.makedirs(folder, exist_ok=True)
    return os.path.join(folder, f"{taken:%H%M%S}_{picture.name}")


def save(cam: tavelocam.Camera, picture: tavelocam.CameraFile, outdir: str) -> None:
    target = target_name(outdir, picture)
    started = time.monotonic()
    try:
        picture.download(target)
    except tavelocam.CameraError as error:
        print(f"{picture.path}: not downloaded: {error}", file=sys.stderr)
        return
    seconds = time.monotonic() - started
    size = os.path.getsize(target)
    print(f"{picture.path} -> {target} ({size} bytes, {seconds:.2f} s)", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("outdir", help="folder for the pictures")
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--camera", default=0, help="camera index or device id")
    source.add_argument("--virtual", metavar="STORE", help="the virtual camera over STORE")
    parser.add_argument("--shoot", type=int, default=0, metavar="N", help="take N pictures")
    parser.add_argument("--idle", type=float, default=None, metavar="SECONDS",
                        help="stop after SECONDS without a new picture")
    args = parser.parse_args()

    camera = int(args.camera) if str(args.camera).isdigit() else args.camera
    try:
        cam = tavelocam.open_virtual(args.virtual) if args.virtual else tavelocam.open(camera)
    except tavelocam.CameraError as error:
        print(f"tether: no camera: {error}", file=sys.stderr)
        return 1
    with cam:
        info = cam.info
        print(f"watching {info.vendor} {info.product} (serial {info.serial}); Ctrl-C stops")
        to_shoot = args.shoot
        if to_shoot:
            cam.capture()
            to_shoot -= 1
        try:
            # The kind-1 event carries the new files, collected by the library.
            for event in cam.events([tavelocam.EventKind.NEW_FILES], timeout=args.idle):
                for picture in event.files:
                    save(cam, picture, args.outdir)
                if to_shoot:
                    cam.capture()
                    to_shoot -= 1
                elif args.shoot:
                    break
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
