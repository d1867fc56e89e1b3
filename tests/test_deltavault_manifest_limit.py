"""A library's manifest is read whole: one larger than any library writes (over 1 GiB, here a
sparse file that takes no disk space) is refused before it is read, by every reader and writer,
and a save leaves such a directory alone; one that is not a regular file is refused as it is
opened."""

import errno
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from velkor_zuma import deltavault as dv
from waiting import PATIENCE

LIMIT = 1 << 30


def _library(tmp_path):
    rng = np.random.default_rng(0)
    base = {"w": rng.standard_normal((8, 4)).astype(np.float32)}
    lib = dv.ModelLibrary(base_id="b", base=base)
    lib.add_finetune("ft", {"w": base["w"] + 0.01})
    path = tmp_path / "lib"
    lib.save(path)
    return lib, path


def _inflate(manifest, size):
    """Grows the manifest to `size` bytes without writing them (a sparse tail of NULs)."""
    with open(manifest, "r+b") as f:
        f.truncate(size)


@pytest.mark.parametrize("read", [
    pytest.param(lambda p: dv.ModelLibrary.load(p), id="load"),
    pytest.param(lambda p: dv.open_library(p), id="open_library"),
    pytest.param(lambda p: dv.add_finetune_from(p, "x", {"w": np.ones((8, 4), np.float32)}), id="add_finetune_from"),
])
def test_an_oversized_manifest_is_refused_before_it_is_read(tmp_path, read):
    _, path = _library(tmp_path)
    _inflate(path / "manifest.json", LIMIT + 1)
    with pytest.raises(OSError) as info:
        read(path)
    assert info.value.errno == errno.EFBIG
    assert info.value.filename == str(path / "manifest.json")


def test_save_leaves_a_directory_with_an_oversized_manifest_alone(tmp_path):
    lib, path = _library(tmp_path)
    before = sorted(p.name for p in path.iterdir())
    _inflate(path / "manifest.json", LIMIT + 1)
    with pytest.raises(FileExistsError, match="belongs to something else"):
        lib.save(path)
    assert sorted(p.name for p in path.iterdir()) == before
    assert (path / "manifest.json").stat().st_size == LIMIT + 1


def test_a_manifest_of_ordinary_size_round_trips(tmp_path):
    lib, path = _library(tmp_path)
    assert json.loads((path / "manifest.json").read_text())["format"] == "velkor_zuma.deltavault.library"
    again = dv.ModelLibrary.load(path)
    np.testing.assert_array_equal(again.reconstruct("ft")["w"], lib.reconstruct("ft")["w"])


_OPEN_ALL = """
import sys
import numpy as np
from velkor_zuma import deltavault as dv
path = sys.argv[1]
for name, read in [("load", lambda: dv.ModelLibrary.load(path)), ("open_library", lambda: dv.open_library(path)),
                   ("add_finetune_from", lambda: dv.add_finetune_from(path, "x", {"w": np.ones((8, 4), np.float32)}))]:
    try:
        read()
    except OSError as e:
        print(name, e.errno, e.filename)
"""


@pytest.mark.parametrize("replace", [
    pytest.param(lambda p: os.mkfifo(p), id="fifo"),
    pytest.param(lambda p: os.symlink("/dev/zero", p), id="device"),
])
def test_a_manifest_that_is_not_a_regular_file_is_refused_without_waiting(tmp_path, replace):
    # A FIFO would block a reader (holding the writers' lock) until something wrote to it; a
    # device would be read up to the size limit. Both are refused as they are opened.
    _, path = _library(tmp_path)
    (path / "manifest.json").unlink()
    replace(path / "manifest.json")
    res = subprocess.run([sys.executable, "-c", _OPEN_ALL, str(path)], capture_output=True, text=True, timeout=PATIENCE)
    assert res.returncode == 0, res.stderr
    assert res.stdout.split("\n")[:3] == [f"{name} {errno.EINVAL} {path / 'manifest.json'}"
                                          for name in ("load", "open_library", "add_finetune_from")]
