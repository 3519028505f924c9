import numpy as np
import pytest

from conftest import run_kelm
from kelmtools import reader
import make_forcing

# data columns per file, besides day, hour, minute
DATA_COLUMNS = {"site.csv": 4, "tree.csv": 7, "tree.foliage.csv": 9, "tree.leaf.csv": 11, "tree.stem.csv": 9,
                "shrub.csv": 7, "shrub.foliage.csv": 9, "shrub.leaf.csv": 11, "shrub.stem.csv": 9,
                "soil.csv": 17, "root.fine.csv": 4, "root.coarse.csv": 4}


def test_every_output_file_of_a_shrub_run_across_new_year(kelm, tmp_path):
    (tmp_path / "f.txt").write_text("\n".join(make_forcing.generate(365, 2, 30, 3, True)) + "\n")
    assert run_kelm(kelm, tmp_path / "f.txt", tmp_path / "run", shrub=True)[0] == 0
    frames = reader.read_run(tmp_path / "run")
    assert sorted(frames) == sorted(DATA_COLUMNS)
    for name, df in frames.items():
        assert list(df.columns[:4]) == ["day", "hour", "minute", "time"], name
        assert df.shape == (95, 4 + DATA_COLUMNS[name]) and np.all(np.diff(df["time"]) > 0), name
        assert np.allclose(df.loc[46:47, ["day", "hour", "minute", "time"]].values,
                           [[365, 23, 30, 365 + 47 / 48], [1, 0, 0, 366]]), name
    units = {**frames["site.csv"].attrs["units"], **frames["soil.csv"].attrs["units"],
             **frames["shrub.leaf.csv"].attrs["units"]}
    assert list(frames["soil.csv"].columns[5:]) == ["temperature %d" % i for i in range(1, 9)] + \
        ["water content %d" % i for i in range(1, 9)]
    assert [units[k] for k in ("Letent heat flux", "temperature 3", "water content 1",
                               "Cv of Av=Vm*(Ci-Gamma)/(Ci+Cv)", "Ratio of absorbed VIS to GSR")] == \
        ["W m-2", "C", "m3 m-3", "umol mol-1", ""]


@pytest.mark.parametrize("text, message", [
    ("", None),
    ("185, 1, 0, 0.5, 7\n", "has 5 values, the header names 4"),
    ("185, 1, 0, \x1b[2J" + "x" * 300 + "\n", r"not a number in '185, 1, 0, \?\[2J" + "x" * 185 + r"\.\.\.'"),
    ("185, 1, 0, 0.5\n" + "9" * 70000 + "\n", "Line too long at line 6 of"),
])
def test_output_file_layout_and_bounds(tmp_path, text, message):
    path = tmp_path / "root.fine.csv"
    path.write_text("# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n" + text)
    if message is None:
        assert list(reader.read_output(path).columns) == ["day", "hour", "minute", "time", "Life root carbon"]
    else:
        with pytest.raises(reader.FormatError, match=message):
            reader.read_output(path)


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"])
def test_forcing_read_like_the_model(tmp_path, end):
    (tmp_path / "f.txt").write_bytes(end.join([
        "# comment 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11",
        "185, 0, 0, 20.5, 1.2, 2.3, 0, 350, 0, 99.5, 400, -4.25", "",
        "185 0 30 20 1 2 0 350 0 99.5 400",               # 11 columns: no observation
        "185, 1, 0, 20, 1, 2, 0, 350",                     # too short: skipped
        "185,1,0,19.5abc,1,2,0,350,1.5,99.5,400,-9999.9,77",
        "185, 1, 30, 19, 1, 2, 0, 350, 0, 99.5, 400, 1200", ""]).encode())
    df = reader.read_forcing(tmp_path / "f.txt")
    assert df[["day", "hour", "minute", "ta", "precip"]].values.tolist() == [
        [185, 0, 0, 20.5, 0], [185, 0, 30, 20, 0], [185, 1, 0, 19.5, 1.5], [185, 1, 30, 19, 0]]
    assert df["nep_obs"].iloc[0] == -4.25 and df["nep_obs"].iloc[1:].isna().all()
    assert df["time"].tolist() == pytest.approx([185, 185 + 1 / 48, 185 + 2 / 48, 185 + 3 / 48])
    assert len(reader.read_forcing(tmp_path / "f.txt", max_records=2)) == 2
