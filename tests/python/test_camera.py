import ctypes
import datetime
import os
import pickle
import subprocess
import sys
import threading

import pytest
import tavelocam as tc


def host_files(store):
    """path name -> host path of every camera-visible file of drive 2."""
    out = {}
    for root, _, names in os.walk(store / "2"):
        rel = os.path.relpath(root, store / "2").replace(os.sep, "/")
        for n in names:
            out["2:" + ("" if rel == "." else rel + "/") + n] = os.path.join(root, n)
    return out


def test_listing_matches_the_store_and_files_know_their_place(cam, store):
    listed = {f.path: f for _, _, files in cam.walk() for f in files}
    assert set(listed) == set(host_files(store))
    assert {f.path for f in cam.all_images()} == {
        p for p in listed if p.endswith(".JPG") and "SYSTEM/" not in p
    }
    assert [f.path for f in cam.system_files()] == ["2:SYSTEM/HELLO.CSM", "2:SYSTEM/NIGHT.CSM"]
    assert [g.path for g in cam.groups()] == ["2:HOLIDAY/"]
    sea = listed["2:ALBUM1/SEA0001.JPG"]
    assert (sea.name, sea.parent.path, sea.parent.name, sea.parent.parent) == (
        "SEA0001.JPG", "2:ALBUM1/", "ALBUM1", None)  # fmt: skip
    assert sea.same_file(cam.file("2:ALBUM1/SEA0001.JPG"))
    assert not sea.same_file(listed["2:WELCOME.JPG"])
    assert sea.size == os.path.getsize(store / "2/ALBUM1/SEA0001.JPG")
    info = sea.image_info
    assert (info.is_image, info.size, info.bits_per_pixel) == (True, sea.size, 24)
    assert (sea.type, listed["2:SYSTEM/HELLO.CSM"].type) == (tc.FileType.EXIF, tc.FileType.SCRIPT)
    assert [c.device_id for c in tc.cameras()].count(f"virtual:{store}") == 1
    with tc.open(f"virtual:{store}") as again:
        assert (again.info.product, again.info.serial) == ("Virtual Camera VC-1", cam.info.serial)
    cam.create_group("party", [sea, listed["2:WELCOME.JPG"]])
    assert [g.path for g in cam.groups()] == ["2:HOLIDAY/", "2:PARTY/"]
    assert (store / "2/PARTY/SEA0001.JPG").exists() and (store / "2/PARTY/WELCOME.JPG").exists()


def test_download_and_upload_are_byte_exact(cam, store, tmp_path):
    cam.params["mhbs"] = 1024  # many chunks per file
    for path, host in host_files(store).items():
        data = open(host, "rb").read()
        assert cam.file(path).read() == data, path
    welcome = cam.file("2:WELCOME.JPG")
    saved = welcome.download(tmp_path)
    assert open(saved, "rb").read() == (store / "2/WELCOME.JPG").read_bytes()
    payload = os.urandom(50_000)
    (tmp_path / "up.bin").write_bytes(payload)
    up = cam.upload(tmp_path / "up.bin", "2:ALBUM1/", "UP.BIN")
    assert up.path == "2:ALBUM1/UP.BIN" and up.read() == payload
    assert (store / "2/ALBUM1/UP.BIN").read_bytes() == payload
    made = cam.write_file(cam.mkdir("NEW"), "W.TXT", b"x" * 3000)
    assert (made.path, made.read()) == ("2:NEW/W.TXT", b"x" * 3000)
    made.delete()
    assert not (store / "2/NEW/W.TXT").exists()


def test_thumbnails_are_bmp_files(cam):
    for image in cam.all_images():
        bmp = image.thumbnail()
        assert bmp[:2] == b"BM" and int.from_bytes(bmp[2:6], "little") == len(bmp)
        assert bmp[28] == 24 and 0 < bmp.width <= 80 and 0 < bmp.height <= 60
        row = (bmp.width * 3 + 3) // 4 * 4
        assert len(bmp) == 14 + 40 + row * bmp.height
        picture = bmp.to_pillow()
        assert picture.size == (bmp.width, bmp.height) and picture.getextrema() != ((0, 0),) * 3
    assert cam.viewfinder()[:2] == b"BM"
    with pytest.raises(tc.FileTypeError):
        cam.file("2:SYSTEM/HELLO.CSM").thumbnail()


@pytest.mark.parametrize(
    "tag, value",
    [("iqal", 3), ("expc", -3), ("zoom", 2.0), ("flsh", True), ("ownr", "Ann"),
     ("cnam", "Studio camera number twelve")],
)  # fmt: skip
def test_parameters_round_trip_with_python_types(cam, tag, value):
    factory = cam.params.default(tag)
    cam.params[tag] = value
    assert cam.params[tag] == value and type(cam.params[tag]) is type(value)
    cam.params.restore(tag)
    assert cam.params[tag] == factory


@pytest.mark.parametrize(
    "tag, value, error",
    [("iqal", 7, tc.BadRequestData), ("expc", -7, tc.BadRequestData),
     ("ownr", "x" * 16, tc.BadRequestData), ("batt", 50, tc.Incapable),
     ("zzzz", 1, tc.DataNotFound)],
)  # fmt: skip
def test_refused_parameter_values_raise(cam, tag, value, error):
    with pytest.raises(error):
        cam.params[tag] = value


def test_parameter_descriptions_and_capabilities(cam):
    assert list(cam.params)[:3] == ["mhbs", "iqal", "imsz"] and len(cam.params) == 14
    assert cam.params.describe("iqal") == "Image quality"
    assert cam.params.capability("iqal").choices[2] == tc.Choice("Fine", 3)
    expc = cam.params.capability("expc")
    assert (expc.kind, expc.low, expc.high, expc.step) == ("range", -6, 6, 1)
    assert cam.params.capability("fwvr") == tc.Capability("single", value="TaveloOS 2.1.0")
    cam.params.set_default("iqal", 1)
    assert cam.params.default("iqal", cam.params.USER) == 1 and cam.params.default("iqal") == 2
    assert cam.params.get("nope") is None and "mhbs" in cam.params


def test_file_tags_are_a_mutable_mapping(cam, store):
    sea = cam.file("2:ALBUM1/SEA0001.JPG")
    tags = dict(sea.tags)
    assert (tags["imwd"], tags["imht"]) == (sea.image_info.width, sea.image_info.height)
    assert tc.tag_name(tags["imcn"]) in ("EXIF", "JPEG") and "mine" not in sea.tags
    sea.tags["mine"], sea.tags["numb"] = "kept", 42
    assert (sea.tags["mine"], sea.tags["numb"]) == ("kept", 42)
    with pytest.raises(KeyError):
        sea.tags["none"]
    with pytest.raises(tc.Incapable):
        sea.tags["imwd"] = 1
    with tc.open_virtual(store) as other:  # the camera keeps them
        assert other.file("2:ALBUM1/SEA0001.JPG").tags["mine"] == "kept"


def test_capture_raises_an_event_the_iterator_yields(cam):
    before = cam.status().image_count
    seen = []
    cam.on(tc.EventKind.NEW_FILES, seen.append)
    cam.capture()
    event = next(cam.events(timeout=30))
    assert event.kind == tc.EventKind.NEW_FILES
    assert [f.path for f in event.files] == ["2:DCIM/100TAVEL/IMG0001.JPG"]
    assert event.files[0].read()[:2] == b"\xff\xd8" and cam.status().image_count == before + 1
    assert seen == [event]


def test_cancel_from_the_progress_callback_and_from_another_thread(cam, store, tmp_path):
    cam.params["mhbs"] = 1024
    image = cam.file("2:ALBUM1/SEA0001.JPG")
    calls = []
    with pytest.raises(tc.Aborted):
        image.read(progress=lambda done, total: calls.append(done) or cam.cancel())
    assert calls == [1000] and cam.progress() == (1000, image.size)

    def cancel_elsewhere(done, total):
        calls.append(done)  # first chunk: 944 bytes (mhbs less the request header)
        helper = threading.Thread(target=cam.cancel)
        helper.start()
        helper.join()

    (tmp_path / "up.bin").write_bytes(os.urandom(20_000))
    with pytest.raises(tc.Aborted):
        cam.upload(tmp_path / "up.bin", "2:ALBUM1/", "UP.BIN", progress=cancel_elsewhere)
    assert calls[1:] == [944] and not (store / "2/ALBUM1/UP.BIN").exists()

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        image.download(tmp_path / "x.jpg", progress=stop)
    assert image.read() == (store / "2/ALBUM1/SEA0001.JPG").read_bytes()


def test_errors_map_to_their_classes(store, tmp_path):
    (store / "camera.conf").write_text("busy = 1\n")  # the first request finds the camera busy
    cam = tc.open_virtual(store)
    with pytest.raises(tc.Busy) as raised:
        cam.power_mode
    assert raised.value.message.startswith("相机忙") and cam.power_mode == 1
    cases = [
        (lambda: cam.file("2:NO.JPG").read(), tc.FileNotFound, 0xCFFA0007),
        (lambda: cam.params["zzzz"], tc.DataNotFound, 0xCFFA0008),
        (lambda: cam.mkdir("MUCHTOOLONGNAME16"), tc.BadParameter, 0xCFFA001D),
        (lambda: cam.upload(store / "2/WELCOME.JPG", "2:", "LONGNAME.JPEG"), tc.LongName,
         0xCFFA001E),
        (lambda: cam.file("2:WELCOME.JPG").download(tmp_path / "no/x"), tc.HostError, 0x80070003),
    ]
    for action, error, code in cases:
        with pytest.raises(error) as raised:
            action()
        assert isinstance(raised.value, tc.CameraError) and raised.value.code == code
        assert raised.value.name == tc.code_name(code)
        assert raised.value.function.startswith("Tavelo")
    with pytest.raises(tc.FileNotFound) as raised:
        cam.file("2:NO.JPG").size
    assert "2:NO.JPG" in raised.value.message and "CAM_E_FILE_NOT_FOUND" in str(raised.value)
    cam.close()
    with pytest.raises(tc.CameraClosed):
        cam.status()


def test_link_and_system_errors_are_builtin_exceptions_with_english_texts(monkeypatch, cam, tmp_path):
    monkeypatch.setenv("TAVELO_LINK_TIMEOUT_MS", "2500")
    cases = [  # code, built-in, name, a piece of the text
        (0x800705B4, TimeoutError, "ERROR_TIMEOUT", "no answer from the camera within 2.5 s"),
        (0x8007274D, ConnectionRefusedError, "WSAECONNREFUSED", "refused"),
        (0x80072746, ConnectionResetError, "WSAECONNRESET", "reset"),
        (0x80070026, ConnectionError, "ERROR_HANDLE_EOF", "end of data"),
        (0x80072AF9, ConnectionError, "WSAHOST_NOT_FOUND", "host not found"),
        (0x80070002, FileNotFoundError, "ERROR_FILE_NOT_FOUND", "no such file or device"),
        (0x80070005, PermissionError, "ERROR_ACCESS_DENIED", "access denied"),
        (0x8007007A, tc.HostError, "ERROR_INSUFFICIENT_BUFFER", "too large for the buffer"),
    ]
    for code, builtin, name, text in cases:
        error = tc.error_class(code)(code, tc.code_name(code), "", "TaveloBindCamera")
        assert isinstance(error, builtin) and isinstance(error, tc.CameraError), name
        assert f"{name} (0x{code:08X}): " in str(error) and text in error.text, str(error)
        assert type(pickle.loads(pickle.dumps(error))) is type(error)
    with pytest.raises(FileNotFoundError) as raised:  # a real one: a missing host folder
        cam.file("2:WELCOME.JPG").download(tmp_path / "no/x")
    assert isinstance(raised.value, tc.HostError) and raised.value.text == "no such folder"


def test_listing_is_copied_before_a_close_on_another_thread_can_free_it(cam, monkeypatch):
    closer = threading.Thread(target=cam.close)
    copy = tc.Camera._adopt

    def adopt_while_closing(self, array, count):
        if not closer.is_alive():
            assert self._calls.in_flight == 1  # the close below waits for this copy
            closer.start()
            while not self.closed:
                closer.join(0.001)
        return copy(self, array, count)

    monkeypatch.setattr(tc.Camera, "_adopt", adopt_while_closing)
    images = cam.all_images()
    closer.join()
    assert len(images) == 7 and cam.closed and all(i.path.endswith(".JPG") for i in images)


def test_streaming_read_iteration_and_context_manager(cam, store):
    host = host_files(store)
    with cam.file("2:ALBUM1/SEA0001.JPG").open() as stream:
        pieces = list(iter(lambda: stream.read(4096), b""))
    assert b"".join(pieces) == open(host["2:ALBUM1/SEA0001.JPG"], "rb").read()
    assert len(pieces) == 7 and stream.closed
    with pytest.raises(ValueError):
        cam.file("2:WELCOME.JPG").open("wb")
    every = iter(cam)
    assert next(every).path == "2:WELCOME.JPG"  # listed one directory at a time
    assert sorted([next(every).path] + [f.path for f in every]) == sorted(
        p for p in host if p != "2:WELCOME.JPG")
    cam.close()
    with pytest.raises(tc.CameraClosed):
        with cam:
            pass


def test_clock_status_raw_and_echo(cam):
    cam.clock = datetime.datetime(2030, 1, 2, 3, 4, 5)
    assert abs(cam.clock - datetime.datetime(2030, 1, 2, 3, 4, 5)) < datetime.timedelta(seconds=30)
    with pytest.raises(tc.BadParameter):
        cam.clock = datetime.datetime(2070, 1, 1)
    cam.half_press(True)
    assert cam.status().capture & 2 and cam.power_mode == 1
    answer = cam.raw(bytes.fromhex("000000080100000000190000"))  # power mode
    assert answer[:4] == b"\0\0\0\x0c" and answer[-4:] == b"\0\0\0\x01"
    cam.echo(5000)
    cam.file("2:SYSTEM/HELLO.CSM").run()


def process_usage():
    class Mallinfo2(ctypes.Structure):
        names = "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost"
        _fields_ = [(n, ctypes.c_size_t) for n in names.split()]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    heap = libc.mallinfo2().uordblks
    return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")), heap


def test_open_close_cycles_leave_no_handle_or_memory_behind(store):
    def cycle():
        with tc.open_virtual(store) as cam:
            cam.on(tc.EventKind.NEW_FILES, lambda event: None)
            image = cam.all_images()[0]
            image.read(progress=lambda done, total: None)
            image.thumbnail(), dict(image.tags), dict(cam.params), cam.new_files()
            with pytest.raises(tc.FileNotFound):
                cam.file("2:NO.JPG").read()

    for _ in range(50):
        cycle()
    fds, threads, heap = process_usage()
    for _ in range(300):
        cycle()
    fds_after, threads_after, heap_after = process_usage()
    # The notification thread of the last camera may still be listed while it ends.
    assert fds_after == fds and threads_after - threads in (0, 1)
    assert heap_after - heap < 300 * 40  # a handle (72 bytes) or a block lost per cycle is not


def test_tether_example_saves_a_new_picture_by_date(store, tmp_path):
    example = os.path.join(os.path.dirname(__file__), "../../python/examples/tether.py")
    command = [sys.executable, example, str(tmp_path / "out"), "--virtual", str(store)]
    run = subprocess.run(command + ["--shoot", "1", "--idle", "60"], capture_output=True,
                         text=True, check=True)
    saved = [os.path.join(r, n) for r, _, names in os.walk(tmp_path / "out") for n in names]
    assert len(saved) == 1 and saved[0].endswith("_IMG0001.JPG") and saved[0] in run.stdout
    assert open(saved[0], "rb").read() == (store / "2/DCIM/100TAVEL/IMG0001.JPG").read_bytes()


def test_the_installed_library_is_found_without_tavelo_library(store):
    env = dict(os.environ)
    del env["TAVELO_LIBRARY"], env["TAVELO_COMPONENT_PATH"]
    code = "import tavelocam as t; c = t.open_virtual(%r); print(c.info.product, t.library_path())"
    out = subprocess.run([sys.executable, "-c", code % str(store)], env=env, capture_output=True,
                         text=True, check=True).stdout.split()
    assert out[-1].startswith(sys.prefix + "/lib/") and "VC-1" in out
