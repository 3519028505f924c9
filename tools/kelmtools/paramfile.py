"""Change values in kelm parameter files without touching anything else.

An entry line reads "KEY<blanks>VALUE<blanks>->remark"; some readers also
take "KEY,VALUE".  Only the VALUE word of lines whose first word is exactly
KEY is replaced: the padding, the remark, the line ending and every other
line keep their bytes.
"""

import re

SPACE = rb"[ \t\v\f]"


class KeyNotFound(KeyError):
    def __str__(self):
        return self.args[0]


def _entry_pattern(key):
    return re.compile(rb"^(" + SPACE + rb"*" + re.escape(key.encode()) + rb"(?:" + SPACE
                      + rb"|,)[ \t\v\f,]*)([^ \t\v\f\r\n,]+)", re.M)


def set_values(text, values, file_name="parameter file"):
    """Return text (bytes) with each key of values (dict key -> new value
    text) set.  Raises KeyNotFound naming the first key without an entry."""
    for key, value in values.items():
        value = str(value).encode()
        if not value or re.search(rb"[\s,]", value):
            raise ValueError("%s: bad value %r for %s" % (file_name, value.decode(), key))
        text, count = _entry_pattern(key).subn(lambda m: m.group(1) + value, text)
        if count == 0:
            raise KeyNotFound("%s: no entry for key %s" % (file_name, key))
    return text


def edit_file(path, values, file_name=None):
    """Set values (dict key -> value text) in the parameter file at path;
    messages name the file as file_name (default: the path)."""
    with open(path, "rb") as f:
        text = f.read()
    text = set_values(text, values, file_name=file_name or str(path))
    with open(path, "wb") as f:
        f.write(text)
