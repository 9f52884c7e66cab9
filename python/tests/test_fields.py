"""Field maps: the refusals the C++ reader gives (the cases both share), a
capture's map beside it as named records, values and export columns."""

import os
import re
import shutil

import numpy as np
import pytest

from conftest import processed_records, write_capture
from test_export import export
from scanmon import FieldMapError, open_capture, read_field_map
from scanmon.fields import parse_field_map

CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "tests",
                     "fields", "refused_maps.txt")


def refused_maps():
    cases = []
    for line in open(CASES, encoding="ascii").read().split("\n"):
        if line.startswith("=== "):
            cases.append([line[4:], ""])
        elif cases:
            cases[-1][1] += re.sub(r"\\x([0-9a-f]{2})", lambda m: chr(int(m[1], 16)),
                                   line.replace("\\t", "\t")) + "\n"
    return cases


def refusal(text):
    with pytest.raises(FieldMapError) as caught:
        parse_field_map(text.encode("latin-1"), "m.fields")
    return str(caught.value)


def test_refuses_what_the_cpp_reader_refuses_with_its_messages():
    cases = refused_maps()
    assert len(cases) >= 20
    for message, text in cases:
        assert refusal(text) == "m.fields" + ("" if message[0] == ":" else " ") + message, text
    head = "scanmon-fields 1\n"
    assert refusal(head + "# " + "x" * 199 + "\n") == "m.fields line 2: longer than 200 characters"
    assert refusal(head + "#" * 65536).endswith(": larger than 64 KiB (a field map is a short text)")
    many = head + "".join(f"b{i} {2 + i if i < 6 else 10 + i} u8 1 -\n" for i in range(55))
    assert refusal(many) == "m.fields line 56: more than 54 fields"


def test_the_map_beside_a_capture_names_its_bytes_in_the_reader_and_the_export(tmp_path):
    records = processed_records(3000)
    records["driver_bytes_16"][:, 8:16] = (np.arange(3000, dtype="<f8") * 4).view(np.uint8) \
        .reshape(3000, 8)
    write_capture(tmp_path / "c.prc", records)
    with open_capture(tmp_path / "c.prc") as capture:
        assert capture.fields is None
        with pytest.raises(Exception, match="no field map: nothing is decoded without one"):
            capture.field("number")
    (tmp_path / "c.fields").write_text("scanmon-fields 1\nnumber 4 u32 1 -\n"
                                       "quarter 24 f64 0.25 in\n")
    with open_capture(tmp_path / "c.prc") as capture:
        named = capture.named_records(100, 200)
        assert list(named["number"][:3]) == [100, 101, 102]
        assert named.dtype.names == ("flags", "angle", "number", "quarter")
        assert np.array_equal(capture.field("quarter"), np.arange(3000.0))
        assert capture.fields["quarter"].unit == "in"
        with pytest.raises(KeyError, match="names no field 'range'"):
            capture.field("range")

    run = export(tmp_path / "c.prc", "-o", tmp_path / "c.npy")
    assert run.returncode == 0, run.stderr
    assert "; 2 fields from " in run.stderr
    table = np.load(tmp_path / "c.npy")
    assert table.dtype["number"] == np.dtype("<u4")
    assert np.array_equal(table["number"], np.arange(3000))
    assert np.array_equal(table["quarter"], np.arange(3000.0))
    run = export(tmp_path / "c.prc", "--no-fields", "-o", tmp_path / "bare.csv")
    assert run.returncode == 0, run.stderr
    assert "number" not in open(tmp_path / "bare.csv").readline()
    run = export(tmp_path / "c.prc", "-o", tmp_path / "c.csv")
    header, first = open(tmp_path / "c.csv").readlines()[:2]
    assert header.rstrip().endswith(",number,quarter") and first.rstrip().endswith(",0,0"), header

    # A bad map is no map to guess from: the export refuses, naming its line.
    (tmp_path / "c.fields").write_text("scanmon-fields 1\nnumber 4 u32 1 -\nnumber 16 f64 1 in\n")
    run = export(tmp_path / "c.prc", "-o", tmp_path / "d.csv")
    assert run.returncode == 1
    assert 'c.fields line 3: the name "number" is taken (line 2)' in run.stderr
    assert not (tmp_path / "d.csv").exists()


def test_the_demo_map_reads_and_a_missing_one_is_an_os_error(tmp_path):
    demo = os.environ.get("SCANMON_DEMO_DIR") or os.path.join(
        os.path.dirname(CASES), os.pardir, os.pardir, "demo")
    shutil.copy(os.path.join(demo, "standin.fields"), tmp_path)
    fields = read_field_map(tmp_path / "standin.fields")
    assert fields["range"].offset == 16 and fields["sample_number"].type == "u32"
    with pytest.raises(OSError):
        read_field_map(tmp_path / "none.fields")
