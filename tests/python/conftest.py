import os
import shutil
import subprocess

import pytest
import tavelocam


@pytest.fixture(scope="session")
def demo_store(tmp_path_factory):
    path = tmp_path_factory.mktemp("demo") / "store"
    subprocess.run([os.environ["TAVELO_MKSTORE"], str(path)], check=True, capture_output=True)
    return path


@pytest.fixture
def store(demo_store, tmp_path):
    """A fresh copy of the demo store; camera.conf lines may be added before the camera opens."""
    return shutil.copytree(demo_store, tmp_path / "store")


@pytest.fixture
def cam(store):
    with tavelocam.open_virtual(store) as camera:
        yield camera
