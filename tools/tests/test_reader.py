import numpy as np
import pytest

from conftest import run_kelm
from kelmtools import reader
import make_forcing

# data columns per file, besides day, hour, minute
DATA_COLUMNS = {
    "site.csv": 4, "tree.csv": 7, "tree.foliage.csv": 9, "tree.leaf.csv": 11, "tree.stem.csv": 9,
    "shrub.csv": 7, "shrub.foliage.csv": 9, "shrub.leaf.csv": 11, "shrub.stem.csv": 9,
    "soil.csv": 17, "root.fine.csv": 4, "root.coarse.csv": 4,
}


def test_every_output_file_of_a_shrub_run_across_new_year(kelm, tmp_path):
    forcing = tmp_path / "forcing.txt"
    forcing.write_text("\n".join(make_forcing.generate(365, 2, 30, 3, True)) + "\n")
    status, _ = run_kelm(kelm, forcing, tmp_path / "run", shrub=True)
    assert status == 0
    frames = reader.read_run(tmp_path / "run")
    assert sorted(frames) == sorted(DATA_COLUMNS)
    for name, df in frames.items():
        assert list(df.columns[:4]) == ["day", "hour", "minute", "time"], name
        assert df.shape == (95, 4 + DATA_COLUMNS[name]), name
        assert np.all(np.diff(df["time"]) > 0), name
        first_day_one = df.index[df["day"] == 1][0]
        assert df.loc[first_day_one - 1, ["day", "hour", "minute"]].tolist() == [365, 23, 30]
        assert df.loc[first_day_one, "time"] == 366.0
        assert df["time"].iloc[-1] == pytest.approx(366 + 23.5 / 24)
    site_units = frames["site.csv"].attrs["units"]
    assert site_units["Gross primary production"] == "umol m-2 s-1"
    assert site_units["Letent heat flux"] == "W m-2"
    soil = frames["soil.csv"]
    assert list(soil.columns[5:13]) == ["temperature %d" % i for i in range(1, 9)]
    assert soil.columns[-1] == "water content 8"
    assert soil.attrs["units"]["temperature 3"] == "C"
    assert soil.attrs["units"]["water content 1"] == "m3 m-3"
    leaf = frames["shrub.leaf.csv"].attrs["units"]
    assert leaf["Cv of Av=Vm*(Ci-Gamma)/(Ci+Cv)"] == "umol mol-1"
    assert leaf["Ratio of absorbed VIS to GSR"] == ""


def test_headers_only_file_and_mismatched_line(tmp_path):
    path = tmp_path / "root.fine.csv"
    path.write_text("# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n")
    df = reader.read_output(path)
    assert len(df) == 0 and list(df.columns) == ["day", "hour", "minute", "time", "Life root carbon"]
    path.write_text("# Day of year\n# Hour\n# Minute\n# Life root carbon (kgC m-2)\n185, 1, 0, 0.5, 7\n")
    with pytest.raises(reader.FormatError, match="has 5 values, the header names 4"):
        reader.read_output(path)


def test_forcing_read_like_the_model(tmp_path):
    path = tmp_path / "f.txt"
    path.write_text(
        "# comment 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11\n"
        "185, 0, 0, 20.5, 1.2, 2.3, 0, 350, 0, 99.5, 400, -4.25\n"
        "\n"
        "185 0 30 20 1 2 0 350 0 99.5 400\n"           # 11 columns: no observation
        "185, 1, 0, 20, 1, 2, 0, 350\n"                 # too short: skipped
        "185,1,0,19.5abc,1,2,0,350,1.5,99.5,400,-9999.9,77\n"
        "185, 1, 30, 19, 1, 2, 0, 350, 0, 99.5, 400, 1200\n")
    df = reader.read_forcing(path)
    assert df[["day", "hour", "minute"]].values.tolist() == [[185, 0, 0], [185, 0, 30], [185, 1, 0], [185, 1, 30]]
    assert df["ta"].tolist() == [20.5, 20.0, 19.5, 19.0]
    assert df["precip"].tolist() == [0, 0, 1.5, 0]
    assert df["nep_obs"].iloc[0] == -4.25
    assert df["nep_obs"].iloc[1:].isna().all()
    assert df.attrs["units"]["sw_in"] == "W m-2"
    assert df["time"].tolist() == pytest.approx([185, 185 + 1 / 48, 185 + 2 / 48, 185 + 3 / 48])
