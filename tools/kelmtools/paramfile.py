"""Change values in kelm parameter files without touching anything else.

An entry line reads "KEY<blanks>VALUE<blanks>->remark"; some readers also
take "KEY,VALUE".  Only the VALUE word of lines whose first word is exactly
KEY is replaced: the padding, the remark, the line ending and every other
line keep their bytes.

A key ending in "*" is a factor: "_lai*" multiplies the value of every
numbered key "_lai1", "_lai2", ... of the file, so that a whole course is
scaled as one parameter.
"""

import math
import os
import re

from .cli import clean, write_file

SPACE = rb"[ \t\v\f]"
# The keys kelm reads as 32-bit integers; every other key, _lai and _dz
# entries included, holds a real.
INT_KEYS = {"_type", "_restart", "_dt", "_physics", "_dynamic", "_vpd"}
INT_WORD = re.compile(r"[+-]?[0-9]+\Z")
REAL_WORD = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")


class KeyNotFound(ValueError):
    """A parameter file holds no entry for a key."""


def _pattern(key):
    """The entry lines of key; for a factor key "BASE*" those of every
    numbered key BASE1, BASE2, ..."""
    base, number = (key[:-1], rb"\d+") if key.endswith("*") else (key, b"")
    return re.compile(rb"^(" + SPACE + rb"*" + re.escape(base.encode()) + number + rb"(?:" + SPACE
                      + rb"|,)[ \t\v\f,]*)([^ \t\v\f\r\n,]+)", re.M)


def _scaled(factor, file_name):
    def replace(m):
        try:
            old = float(m.group(2))
        except ValueError:
            raise ValueError("%s: %s holds no number" % (file_name, m.group(0).split()[0].decode()))
        return m.group(1) + ("%.6g" % (old * factor)).encode()
    return replace


def check_value(key, value):
    """None when value is a number of the key's kind (a 32-bit integer for
    INT_KEYS, else a finite real in kelm's notation), else the reason."""
    value = str(value)
    if key in INT_KEYS:
        if INT_WORD.match(value) and -2**31 <= int(value) < 2**31:
            return None
        return "%s needs an integer, not '%s'" % (key, clean(value))
    if REAL_WORD.match(value) and math.isfinite(float(value)):
        return None
    return "%s needs a finite number, not '%s'" % (key, clean(value))


def set_values(text, values, file_name="parameter file"):
    """Return text (bytes) with each key of values (dict key -> new value
    text) set; a key ending in "*" scales its numbered keys by the value.
    Raises ValueError for a value that is no number of the key's kind and
    KeyNotFound naming the first key without an entry."""
    for key, value in values.items():
        reason = check_value(key, value)
        if reason:
            raise ValueError("%s: %s" % (file_name, reason))
        value = str(value).encode()
        replace = _scaled(float(value), file_name) if key.endswith("*") else lambda m: m.group(1) + value
        text, count = _pattern(key).subn(replace, text)
        if count == 0:
            raise KeyNotFound("%s: no entry for key %s" % (file_name, key))
    return text


def get_value(path, key):
    """The value text of key in the parameter file at path ("1" for a
    factor key); raises KeyNotFound."""
    with open(path, "rb") as f:
        text = f.read()
    found = _pattern(key).findall(text)
    if not found:
        raise KeyNotFound("%s: no entry for key %s" % (os.path.basename(path), key))
    return "1" if key.endswith("*") else found[-1][1].decode()


def edit_file(path, values, file_name=None):
    """Set values (dict key -> value text) in the parameter file at path;
    messages name the file as file_name (default: the path)."""
    with open(path, "rb") as f:
        text = f.read()
    write_file(path, set_values(text, values, file_name=file_name or str(path)))
