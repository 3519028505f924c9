import pytest

from kelmtools import paramfile

LEAF = (b"Parameters (name, value, remark):\n"
        b"_vmax      50\t->maximum carboxylation rate (umol m-2 s-1)\n"
        b"_vmax2     7    ->a key that only starts like _vmax\n"
        b"_jmax      100    ->remark naming _vmax 3\n"
        b"_g1,9.5, comma form\n"
        b"  _gd   0.1    ->VPD coefficient \r\n"
        b"_vpd      1    ->use VPD\n")


def changed_lines(before, after):
    a, b = before.split(b"\n"), after.split(b"\n")
    assert len(a) == len(b)
    return [(x, y) for x, y in zip(a, b) if x != y]


def test_only_the_value_words_of_the_named_lines_change():
    after = paramfile.set_values(LEAF, {"_vmax": "61.25", "_g1": "4", "_gd": "1e-3"})
    assert changed_lines(LEAF, after) == [
        (b"_vmax      50\t->maximum carboxylation rate (umol m-2 s-1)",
         b"_vmax      61.25\t->maximum carboxylation rate (umol m-2 s-1)"),
        (b"_g1,9.5, comma form", b"_g1,4, comma form"),
        (b"  _gd   0.1    ->VPD coefficient \r", b"  _gd   1e-3    ->VPD coefficient \r"),
    ]


def test_repeated_key_changes_every_entry_because_the_last_one_counts():
    text = b"_dt 10 ->a\n_dt 20 ->b\n"
    assert paramfile.set_values(text, {"_dt": "60"}) == b"_dt 60 ->a\n_dt 60 ->b\n"


def test_missing_key_and_bad_value_are_errors(tmp_path):
    with pytest.raises(paramfile.KeyNotFound, match="tree.leaf.par: no entry for key _vm"):
        paramfile.set_values(LEAF, {"_vm": "1"}, "tree.leaf.par")
    with pytest.raises(paramfile.KeyNotFound, match="_remark"):
        paramfile.set_values(b"_x 1 ->_remark 2\n", {"_remark": "3"})
    with pytest.raises(ValueError, match="bad value"):
        paramfile.set_values(LEAF, {"_vmax": "5 6"})
    path = tmp_path / "tree.leaf.par"
    path.write_bytes(LEAF)
    paramfile.edit_file(path, {"_vpd": "0"})
    assert path.read_bytes() == LEAF.replace(b"_vpd      1", b"_vpd      0")
