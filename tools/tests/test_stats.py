import math

import numpy as np
import pytest

from conftest import EXAMPLE_FORCING, run_kelm, tool
from kelmtools import reader, stats

SITE_HEAD = ("#Day of the year\n#Hour\n#Minute\n#Gross primary production (umol m-2 s-1)\n"
             "#Total resperiation (umol m-2 s-1)\n#Sensible heat flux (W m-2)\n#Letent heat flux (W m-2)\n")


def forcing_text(stamps, obs):
    return "".join("%d, %d, %d, 20, 1, 2, 100, 350, 0, 99.5, 400, %s\n" % (d, h, m, o)
                   for (d, h, m), o in zip(stamps, obs))


def test_fit_worked_by_hand():
    # o = 1 2 3 4, s = 2 2 4 5; the pair with a NaN is left out.
    r = stats.fit([1, 2, np.nan, 3, 4], [2, 2, 9, 4, 5])
    assert r["n"] == 4
    assert r["r2"] == pytest.approx(1.890625 / 2.109375, rel=1e-12)   # cov^2 / (var o * var s)
    assert r["rmse"] == pytest.approx(math.sqrt(0.75))
    assert r["bias"] == pytest.approx(0.75)
    assert r["mae"] == pytest.approx(0.75)
    assert r["nse"] == pytest.approx(1 - 3 / 5)
    assert r["slope"] == pytest.approx(1.1)
    assert r["intercept"] == pytest.approx(0.5)


def test_fit_undefined_cases():
    one = stats.fit([2.0], [3.0])
    assert one["n"] == 1 and one["rmse"] == 1.0
    assert math.isnan(one["r2"]) and math.isnan(one["nse"]) and math.isnan(one["slope"])
    assert stats.fit([], [])["n"] == 0
    assert math.isnan(stats.fit([1, 2, 3], [5, 5, 5])["r2"])


def test_pairing_by_position_and_daily_means_at_midnight(tmp_path):
    stamps = [(365, 23, 0), (365, 23, 30), (1, 0, 0), (1, 0, 30)]
    (tmp_path / "f.txt").write_text(forcing_text(stamps, [9, 1, -9999.9, 3]))
    (tmp_path / "site.csv").write_text(SITE_HEAD + "365, 23, 30, 5, 2, 0, 0\n1, 0, 0, 1, 2, 0, 0\n"
                                       "1, 0, 30, 0, 2.5, 0, 0\n")
    pairs = stats.pair_nep(reader.read_output(tmp_path / "site.csv"), reader.read_forcing(tmp_path / "f.txt"))
    assert pairs["sim"].tolist() == [3, -1, -2.5]
    assert pairs["obs"].tolist()[0] == 1 and math.isnan(pairs["obs"][1]) and pairs["obs"][2] == 3
    daily = stats.daily_means(pairs)
    # 1 00:00 closes the last span of day 365; its observation is missing
    assert daily["day"].tolist() == [365, 1]
    assert daily["obs"].tolist() == [1, 3] and daily["sim"].tolist() == [3, -2.5]


def test_pairing_refuses_files_that_do_not_belong_together(tmp_path):
    (tmp_path / "f.txt").write_text(forcing_text([(185, 0, 0), (185, 0, 30)], [1, 2]))
    forcing = reader.read_forcing(tmp_path / "f.txt")
    (tmp_path / "site.csv").write_text(SITE_HEAD + "185, 1, 0, 5, 2, 0, 0\n")
    with pytest.raises(stats.PairingError, match="185/1/0 in site.csv, 185/0/30 in the forcing"):
        stats.pair_nep(reader.read_output(tmp_path / "site.csv"), forcing)
    (tmp_path / "site.csv").write_text(SITE_HEAD + "185, 0, 30, 5, 2, 0, 0\n185, 1, 0, 5, 2, 0, 0\n")
    with pytest.raises(stats.PairingError, match="2 data lines"):
        stats.pair_nep(reader.read_output(tmp_path / "site.csv"), forcing)


def test_agreement_to_six_digits():
    assert stats.agrees_with_printed(0.948826584, 0.948826)
    assert not stats.agrees_with_printed(0.948828, 0.948826)
    assert stats.agrees_with_printed(0.01234561, 0.0123456)
    assert not stats.agrees_with_printed(0.0123458, 0.0123456)
    assert stats.printed_correlation("day 185\nCorrelation: 0.734521\n\nFinished.") == 0.734521
    assert stats.printed_correlation("no statistic") is None


def test_example_run_r2_matches_the_program(kelm, tmp_path):
    run = tmp_path / "run"
    status, console = run_kelm(kelm, EXAMPLE_FORCING, run)
    assert status == 0, console
    printed = stats.printed_correlation(console)
    assert printed is not None, console
    result = stats.run_statistics(run, EXAMPLE_FORCING)
    assert result["records"]["n"] == 141   # 143 spans, two observations missing
    assert result["daily"]["n"] == 3
    assert stats.agrees_with_printed(result["records"]["r2"], printed), (result["records"]["r2"], printed)

    (run / "kelm.log").write_text(console)
    p = tool("kelm-stats", run, EXAMPLE_FORCING, "--csv", tmp_path / "s.csv")
    assert p.returncode == 0, p.stderr
    assert "R2 from kelm" in p.stdout and "(agrees)" in p.stdout
    assert p.stdout.splitlines()[2].split() == ["n", "141", "3"]
    csv_lines = (tmp_path / "s.csv").read_text().splitlines()
    assert csv_lines[0] == "scale,n,r2,rmse,bias,mae,nse,slope,intercept"
    assert csv_lines[1].startswith("records,141,%.6g," % result["records"]["r2"])
    assert csv_lines[2].startswith("daily,3,")


def test_stats_tool_reports_a_missing_run(tmp_path):
    p = tool("kelm-stats", tmp_path, EXAMPLE_FORCING)
    assert p.returncode == 1 and "site.csv" in p.stderr
