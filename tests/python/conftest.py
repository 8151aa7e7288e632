import os
import subprocess

import pytest
import tavelocam


@pytest.fixture
def store(tmp_path):
    """A fresh demo store; camera.conf lines may be added before the camera opens."""
    path = tmp_path / "store"
    subprocess.run([os.environ["TAVELO_MKSTORE"], str(path)], check=True, capture_output=True)
    return path


@pytest.fixture
def cam(store):
    with tavelocam.open_virtual(store) as camera:
        yield camera
