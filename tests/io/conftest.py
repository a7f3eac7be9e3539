"""Shared by the tests of files in and out."""

import os
import subprocess

import pytest


@pytest.fixture
def small_disk(tmp_path):
    """A file system of 1 MiB of our own (root only)."""
    mnt = tmp_path / "disk"
    mnt.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mnt)],
                                           capture_output=True).returncode != 0:
        pytest.skip("mounting a small tmpfs needs root")
    try:
        yield mnt
    finally:
        subprocess.run(["umount", "-l", str(mnt)], capture_output=True)
