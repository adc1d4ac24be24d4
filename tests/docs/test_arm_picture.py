"""examples/arm_geometry.py renders the arm picture, and docs/arm_geometry.png is its output."""

from __future__ import annotations

import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "examples" / "arm_geometry.py"
COMMITTED = ROOT / "docs" / "arm_geometry.png"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

pyplot = pytest.importorskip("matplotlib.pyplot")


def png_chunks(data: bytes) -> list[tuple[bytes, bytes]]:
    """The chunks of a PNG file, each checked against its CRC."""
    assert data[:8] == PNG_SIGNATURE, "not a PNG file"
    chunks, offset = [], 8
    while offset < len(data):
        (length,) = struct.unpack(">I", data[offset:offset + 4])
        kind, body = data[offset + 4:offset + 8], data[offset + 8:offset + 8 + length]
        (crc,) = struct.unpack(">I", data[offset + 8 + length:offset + 12 + length])
        assert zlib.crc32(kind + body) == crc, f"chunk {kind!r} fails its CRC"
        chunks.append((kind, body))
        offset += 12 + length
    return chunks


@pytest.fixture(scope="module")
def rendered(tmp_path_factory: pytest.TempPathFactory) -> Path:
    output = tmp_path_factory.mktemp("picture") / "arm_geometry.png"
    completed = subprocess.run([sys.executable, str(SCRIPT), str(output)], capture_output=True,
                               text=True, timeout=300, check=False)
    assert completed.returncode == 0, completed.stderr
    return output


def test_rendering_is_a_complete_png_of_the_expected_size(rendered: Path) -> None:
    chunks = png_chunks(rendered.read_bytes())
    assert [kind for kind, _ in chunks][0] == b"IHDR" and chunks[-1][0] == b"IEND"
    width, height = struct.unpack(">II", chunks[0][1][:8])
    assert (width, height) == (1430, 660)


def test_rendering_is_a_drawing_not_a_blank(rendered: Path) -> None:
    pixels = np.asarray(pyplot.imread(rendered))[..., :3]
    background = np.all(pixels > 0.97, axis=-1)
    assert 0.03 < 1 - background.mean() < 0.6, "the picture is blank or flooded"
    # Both arms' colours are present: the left arm blue, the right arm red.
    blue = (pixels[..., 2] > 0.5) & (pixels[..., 0] < 0.3)
    red = (pixels[..., 0] > 0.6) & (pixels[..., 1] < 0.35) & (pixels[..., 2] < 0.35)
    assert blue.sum() > 2000 and red.sum() > 2000, (blue.sum(), red.sum())


def test_committed_picture_is_the_scripts_output(rendered: Path) -> None:
    fresh = np.asarray(pyplot.imread(rendered))
    committed = np.asarray(pyplot.imread(COMMITTED))
    assert committed.shape == fresh.shape
    # Font rasterisation may differ a little between matplotlib builds; a changed
    # drawing moves far more than that.
    differing = np.any(np.abs(committed - fresh) > 0.1, axis=-1).mean()
    assert differing < 0.002, f"{differing:.2%} of the pixels differ: rerun {SCRIPT.name}"


def test_script_without_an_output_path_prints_its_usage() -> None:
    completed = subprocess.run([sys.executable, str(SCRIPT)], capture_output=True, text=True,
                               timeout=300, check=False)
    assert completed.returncode == 2 and "Usage:" in completed.stderr
