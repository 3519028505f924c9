import pytest

from kelmtools import paramfile

LEAF = (b"Parameters (name, value, remark):\n"
        b"_vmax      50\t->maximum carboxylation rate (umol m-2 s-1)\n"
        b"_vmax2     7    ->a key that only starts like _vmax\n"
        b"_jmax      100    ->remark naming _vmax 3\n"
        b"_g1,9.5, comma form\n"
        b"  _gd   0.1    ->VPD coefficient \r\n"
        b"_vpd      1    ->use VPD\n")


def test_only_the_value_words_of_the_named_lines_change(tmp_path):
    after = paramfile.set_values(LEAF, {"_vmax": "61.25", "_g1": "4", "_gd": "1e-3"})
    assert [(a, b) for a, b in zip(LEAF.split(b"\n"), after.split(b"\n")) if a != b] == [
        (b"_vmax      50\t->maximum carboxylation rate (umol m-2 s-1)",
         b"_vmax      61.25\t->maximum carboxylation rate (umol m-2 s-1)"),
        (b"_g1,9.5, comma form", b"_g1,4, comma form"),
        (b"  _gd   0.1    ->VPD coefficient \r", b"  _gd   1e-3    ->VPD coefficient \r")]
    # a repeated key changes every entry, because the last one counts
    assert paramfile.set_values(b"_dt 10 ->a\n_dt 20 ->b\n", {"_dt": "60"}) == b"_dt 60 ->a\n_dt 60 ->b\n"
    (tmp_path / "p").write_bytes(LEAF)
    paramfile.edit_file(tmp_path / "p", {"_vpd": "0"})
    assert (tmp_path / "p").read_bytes() == LEAF.replace(b"_vpd      1", b"_vpd      0")


@pytest.mark.parametrize("text, values, message", [
    (LEAF, {"_vm": "1"}, "tree.leaf.par: no entry for key _vm"),
    (b"_x 1 ->_remark 2\n", {"_remark": "3"}, "no entry for key _remark"),
    (LEAF, {"_vmax": "5 6"}, "_vmax needs a finite number, not '5 6'"),
    (LEAF, {"_vmax": "$(echo)"}, "_vmax needs a finite number, not '$(echo)'"),
    (LEAF, {"_vmax": "1e999"}, "finite number"),
    (LEAF, {"_vmax": "nan"}, "finite number"),
    (LEAF, {"_vmax": "0x10"}, "finite number"),
    (LEAF, {"_vmax": "../../x"}, "finite number"),
    (LEAF, {"_vmax": "\x1b[2J" + "9" * 300}, "not '?[2J" + "9" * 196 + "...'"),
    (LEAF, {"_vpd": "1.0"}, "_vpd needs an integer, not '1.0'"),
    (LEAF, {"_vpd": "2147483648"}, "integer"),
])
def test_values_that_kelm_would_misread_and_missing_keys_are_errors(text, values, message):
    with pytest.raises((paramfile.KeyNotFound, ValueError)) as e:
        paramfile.set_values(text, values, "tree.leaf.par")
    assert message in str(e.value)
    assert paramfile.set_values(b"_dt 10\n_vmax 1\n", {"_dt": "-2147483648", "_vmax": "+.5e-3"}) == \
        b"_dt -2147483648\n_vmax +.5e-3\n"
