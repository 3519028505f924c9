import datetime
import math

import pytest

from conftest import FAKE_KELM, run_kelm, tool
from kelmtools import paramfile, tower
import make_forcing

HEAD = "TIMESTAMP_START,TIMESTAMP_END,TA_F,VPD_F,WS_F,SW_IN_F,LW_IN_F,P_F,PA_F,CO2_F_MDS,NEE_VUT_REF,H_F_MDS,LE_F_MDS\n"


def tower_file(path, stamps, rows, head=HEAD):
    """rows: one list of values per record; stamps: TIMESTAMP_END texts with
    the interval taken from the first two."""
    text = head
    for start, end, row in zip(stamps, stamps[1:], rows):
        text += ",".join([start, end] + [str(v) for v in row]) + "\n"
    path.write_text(text)
    return path


def data_lines(path):
    return [line for line in path.read_text().splitlines() if not line.startswith("#")]


def test_units_stamps_and_new_year(tmp_path):
    stamps = ["201912312300", "201912312330", "202001010000", "202001010030"]
    rows = [[5, 12.5, 2, 0, 300, 0.5, 98, 410, 3, 10, 20],
            [4, 10, 2, 0, 300, 0, 98, 410, -9999, -9999, 21],
            [3, 8, 2, 0, 300, 0, 98, 410, -2.5, 12, 22]]
    src = tower_file(tmp_path / "t.csv", stamps, rows)
    p = tool("kelm-forcing", src, "-o", tmp_path / "f.txt", "--obs", tmp_path / "o.csv")
    assert p.returncode == 0 and p.stderr == "", p.stderr
    assert data_lines(tmp_path / "f.txt") == [
        "365, 23, 30, 5, 1.25, 2, 0, 300, 1, 98, 410, -3",     # VPD hPa -> kPa, rain per 30 min -> per hour
        "1, 0, 0, 4, 1, 2, 0, 300, 0, 98, 410, -9999.9",       # end stamp 00:00 of the new year: day 1
        "1, 0, 30, 3, 0.8, 2, 0, 300, 0, 98, 410, 2.5"]
    assert (tmp_path / "o.csv").read_text().splitlines() == [
        "timestamp,day,hour,minute,nep,h,le", "201912312330,365,23,30,-3,10,20",
        "202001010000,1,0,0,NaN,NaN,21", "202001010030,1,0,30,2.5,12,22"]
    # hourly records: rain per hour is already per hour; 29 February is left out
    stamps = [(datetime.datetime(2020, 2, 28, 22) + datetime.timedelta(hours=i)).strftime("%Y%m%d%H%M")
              for i in range(28)]
    tower_file(tmp_path / "h.csv", stamps, [[1, 1, 1, 0, 300, 0.5, 98, 410, 0, 0, 0]] * 27)
    warnings = []
    forcing, _, _, _ = tower.convert(tmp_path / "h.csv", warn=warnings.append)
    assert forcing[["day", "hour", "precip"]].values.tolist() == [[59, 23, 0.5], [60, 0, 0.5], [60, 1, 0.5]]
    assert warnings == ["kelm-forcing: 24 records of 29 February left out: the model's year has 365 days"]


@pytest.mark.parametrize("missing, status, message", [
    (4, 0, None),
    (5, 1, "kelm-forcing: TA_F: 5 missing records from TIMESTAMP_END 201906010100 to 201906010300, "
           "more than --max-gap 4\n"),
])
def test_gap_rules(tmp_path, missing, status, message):
    stamps = ["2019060100%02d" % m for m in (0, 30)] + ["201906%02d%02d%02d" % (1 + h // 24, h % 24, m)
                                                        for h in range(1, 6) for m in (0, 30)]
    ta = [10.0] + [-9999] * missing + [10.0 + 0.5 * (missing + 1)] * (len(stamps) - 2 - missing)
    rows = [[t, 10, 2, 0, 300, 0, 98, 410, 1, 1, 1] for t in ta]
    src = tower_file(tmp_path / "t.csv", stamps, rows)
    p = tool("kelm-forcing", src, "-o", tmp_path / "f.txt")
    assert p.returncode == status
    if message:
        assert p.stderr == message
    else:
        filled = [float(line.split(", ")[3]) for line in data_lines(tmp_path / "f.txt")][:missing + 2]
        assert filled == [10.0, 10.5, 11.0, 11.5, 12.0, 12.5]


def test_column_fallbacks_and_warnings(tmp_path):
    stamps = ["201906010000", "201906010030", "201906010100"]
    head = "TIMESTAMP_START,TIMESTAMP_END,TA,VPD,WS,SW_IN,LW_IN,NEE\n"
    src = tower_file(tmp_path / "t.csv", stamps, [[20, 10, 2, 100, 300, 1]] * 2, head)
    p = tool("kelm-forcing", src, "-o", tmp_path / "f.txt", "--co2", 380)
    assert p.returncode == 0
    assert p.stderr.splitlines() == [          # no FLUXNET2015 name: read as AmeriFlux BASE
        "kelm-forcing: no PA column: pa set to 101.3",
        "kelm-forcing: no P column: precip set to 0",
        "kelm-forcing: no CO2 column: co2 set to 380",
        "kelm-forcing: no H column: observed H missing",
        "kelm-forcing: no LE column: observed LE missing"]
    assert data_lines(tmp_path / "f.txt")[0] == "152, 0, 30, 20, 1, 2, 100, 300, 0, 101.3, 380, -1"
    tower_file(src, stamps, [[10, 2, 100, 300, 1]] * 2, head.replace("TA,", ""))
    p = tool("kelm-forcing", src, "-o", tmp_path / "f.txt")
    assert p.returncode == 1 and p.stderr == "kelm-forcing: %s: no TA column\n" % src


def test_factor_keys_scale_a_whole_course():
    text = b"Parameters:\n_rt       30    ->x\n_lai1     0.5    ->LAI on day 1\n_lai2\t2\r\n_lai10,3\n"
    assert paramfile.set_values(text, {"_lai*": "1.5", "_rt": "20"}) == \
        b"Parameters:\n_rt       20    ->x\n_lai1     0.75    ->LAI on day 1\n_lai2\t3\r\n_lai10,4.5\n"
    with pytest.raises(paramfile.KeyNotFound):
        paramfile.set_values(text, {"_dz*": "2"})
    with pytest.raises(ValueError, match="needs a finite number"):
        paramfile.set_values(text, {"_lai*": "nan"})


def test_scores_figures_and_export_of_a_converted_year_end(tmp_path):
    netCDF4 = pytest.importorskip("netCDF4")
    src = tmp_path / "t.csv"
    src.write_text("\n".join(make_forcing.generate(365, 2, 30, 4, True, seasonal=True, tower=2019)) + "\n")
    assert tool("kelm-forcing", src, "-o", tmp_path / "f.txt", "--obs", tmp_path / "o.csv").returncode == 0
    run_kelm(FAKE_KELM, tmp_path / "f.txt", tmp_path / "run")
    p = tool("kelm-stats", tmp_path / "run", tmp_path / "f.txt", "--obs", tmp_path / "o.csv")
    assert p.returncode == 0, p.stderr
    assert [line.split()[1:] for line in p.stdout.splitlines() if line.startswith("n ")] == [["92", "2", "48"]] * 3   # three observations missing
    p = tool("kelm-plot", tmp_path / "run", tmp_path / "f.txt", "-o", tmp_path / "fig", "--obs", tmp_path / "o.csv")
    assert p.returncode == 0 and "heat.png" in p.stdout, p.stderr
    p = tool("kelm-export", tmp_path / "run", tmp_path / "f.txt", "-o", tmp_path / "r.nc", "--obs", tmp_path / "o.csv")
    assert p.returncode == 0, p.stderr
    with netCDF4.Dataset(tmp_path / "r.nc") as ds:
        assert ds.Conventions == "CF-1.8"
        t = ds["time"]
        dates = netCDF4.num2date(t[[0, 47, -1]], t.units, t.calendar)
        assert [d.strftime("%Y-%m-%d %H:%M") for d in dates] == ["2019-12-31 00:30", "2020-01-01 00:00",
                                                                  "2020-01-01 23:30"]
        assert t.calendar == "noleap" and ds["time_bnds"][0].tolist() == [364.0, 364.0 + 1 / 48]
        soil = ds["SoilTemp"]
        assert soil.dimensions == ("time", "layer") and soil.units == "K"
        assert ds["depth"][:].tolist()[:3] == pytest.approx([0.025, 0.1, 0.25]) and ds["depth"].units == "m"
        assert ds["root_fine_respiration"].long_name == "root.fine: Respiration as carbon"
        obs = [line.split(",")[4] for line in (tmp_path / "o.csv").read_text().splitlines()[2:]]
        assert ds["NEE_obs"][:].filled(math.nan).tolist() == pytest.approx([-float(v) for v in obs], nan_ok=True)


def test_seasonal_generator_is_cold_in_winter_and_warm_in_summer():
    def mean_ta(day):
        rows = [line.split(", ") for line in make_forcing.generate(day, 3, 60, 2, False, seasonal=True)[2:]]
        return sum(float(r[3]) for r in rows) / len(rows)
    assert mean_ta(20) < 3 and mean_ta(200) > 15
