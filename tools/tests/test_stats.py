import math

import numpy as np
import pytest

from conftest import EXAMPLE_FORCING, run_kelm, tool
from kelmtools import reader, stats

SITE_HEAD = ("#Day of the year\n#Hour\n#Minute\n#Gross primary production (umol m-2 s-1)\n"
             "#Total resperiation (umol m-2 s-1)\n#Sensible heat flux (W m-2)\n#Letent heat flux (W m-2)\n")
NAN = math.nan


def forcing_text(stamps, obs):
    return "".join("%d, %d, %d, 20, 1, 2, 100, 350, 0, 99.5, 400, %s\n" % (d, h, m, o)
                   for (d, h, m), o in zip(stamps, obs))


@pytest.mark.parametrize("obs, sim, expected", [
    # o = 1 2 3 4, s = 2 2 4 5 worked by hand; the pair with a NaN is left out
    ([1, 2, NAN, 3, 4], [2, 2, 9, 4, 5], [4, 1.890625 / 2.109375, math.sqrt(0.75), 0.75, 0.75, 0.4, 1.1, 0.5]),
    ([2.0], [3.0], [1, NAN, 1, 1, 1, NAN, NAN, NAN]),
    ([], [], [0] + [NAN] * 7),
    ([1, 2, 3], [5, 5, 5], [3, NAN, math.sqrt(29 / 3), 3, 3, -13.5, 0, 5]),
])
def test_fit_worked_by_hand_and_undefined_cases(obs, sim, expected):
    r = stats.fit(obs, sim)
    assert [r[k] for k in stats.STAT_NAMES] == pytest.approx(expected, rel=1e-12, nan_ok=True)


def test_pairing_by_position_daily_means_at_midnight_and_refusals(tmp_path):
    stamps = [(365, 23, 0), (365, 23, 30), (1, 0, 0), (1, 0, 30)]
    (tmp_path / "f.txt").write_text(forcing_text(stamps, [9, 1, -9999.9, 3]))
    forcing = reader.read_forcing(tmp_path / "f.txt")
    (tmp_path / "site.csv").write_text(SITE_HEAD + "365, 23, 30, 5, 2, 0, 0\n1, 0, 0, 1, 2, 0, 0\n1, 0, 30, 0, 2.5, 0, 0\n")
    pairs = stats.pair_nep(reader.read_output(tmp_path / "site.csv"), forcing)
    assert pairs[["sim", "obs"]].values.ravel().tolist() == pytest.approx([3, 1, -1, NAN, -2.5, 3], nan_ok=True)
    daily = stats.daily_means(pairs)
    # 1 00:00 closes the last span of day 365; its observation is missing
    assert daily[["day", "obs", "sim"]].values.tolist() == [[365, 1, 3], [1, 3, -2.5]]
    for lines, message in [("365, 23, 0, 5, 2, 0, 0\n", "365/23/0 in site.csv, 365/23/30 in the forcing"),
                           ("365, 23, 30, 5, 2, 0, 0\n" * 4, "4 data lines but the forcing only 3 records")]:
        (tmp_path / "site.csv").write_text(SITE_HEAD + lines)
        with pytest.raises(stats.PairingError, match=message):
            stats.pair_nep(reader.read_output(tmp_path / "site.csv"), forcing)


@pytest.mark.parametrize("value, printed, agrees", [
    (0.948826584, 0.948826, True), (0.948828, 0.948826, False), (0.01234561, 0.0123456, True),
    (0.0123458, 0.0123456, False)])
def test_agreement_to_six_digits(value, printed, agrees):
    assert stats.agrees_with_printed(value, printed) == agrees
    assert stats.printed_correlation("day 185\nCorrelation: %s\n\nFinished." % printed) == printed


def test_example_run_r2_matches_the_program(kelm, tmp_path):
    run = tmp_path / "run"
    status, console = run_kelm(kelm, EXAMPLE_FORCING, run)
    printed = stats.printed_correlation(console)
    assert status == 0 and printed is not None, console
    result = stats.run_statistics(run, EXAMPLE_FORCING)
    assert (result["records"]["n"], result["daily"]["n"]) == (141, 3)   # 143 spans, two observations missing
    assert stats.agrees_with_printed(result["records"]["r2"], printed), (result["records"]["r2"], printed)
    (run / "kelm.log").write_text(console)
    p = tool("kelm-stats", run, EXAMPLE_FORCING, "--csv", tmp_path / "s.csv")
    assert p.returncode == 0 and "(agrees)" in p.stdout and p.stdout.splitlines()[2].split() == ["n", "141", "3"]
    csv_lines = (tmp_path / "s.csv").read_text().splitlines()
    assert csv_lines[0] == "scale,n,r2,rmse,bias,mae,nse,slope,intercept"
    assert csv_lines[1].startswith("records,141,%.6g," % result["records"]["r2"]) and csv_lines[2].startswith("daily,3,")
