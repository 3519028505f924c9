import os

from conftest import EXAMPLE_FORCING, FAKE_KELM, run_kelm, tool
import make_forcing

FIGURES = ["nep_series.png", "nep_scatter.png", "diurnal.png", "soil.png"]


def assert_png(path, min_bytes=10000):
    with open(path, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n", path
    assert os.path.getsize(path) > min_bytes, path


def test_every_figure_of_the_example_run(kelm, tmp_path):
    status, console = run_kelm(kelm, EXAMPLE_FORCING, tmp_path / "run")
    assert status == 0, console
    p = tool("kelm-plot", tmp_path / "run", EXAMPLE_FORCING, "-o", tmp_path / "fig")
    assert p.returncode == 0, p.stderr
    assert p.stdout.split() == [str(tmp_path / "fig" / f) for f in FIGURES]
    for name in FIGURES:
        assert_png(tmp_path / "fig" / name)


def test_without_observations_only_the_simulated_figures(tmp_path):
    forcing = tmp_path / "f.txt"
    forcing.write_text("\n".join(make_forcing.generate(185, 1, 30, 1, False)) + "\n")
    run_kelm(FAKE_KELM, forcing, tmp_path / "run")
    p = tool("kelm-plot", tmp_path / "run", forcing, "-o", tmp_path / "fig")
    assert p.returncode == 0, p.stderr
    assert sorted(os.listdir(tmp_path / "fig")) == ["diurnal.png", "soil.png"]
    assert_png(tmp_path / "fig" / "diurnal.png")
