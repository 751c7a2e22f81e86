"""The module reaches NumPy's C API without NumPy's headers: the table
positions, the array fields and the flag it copies by hand in
module/src/numpy_access.cpp are checked here against the headers of the NumPy
installed beside it, and the fields against a live array read through ctypes."""

import ctypes
import re
from pathlib import Path

import numpy as np
import pytest

SOURCE = Path(__file__).resolve().parents[1] / "module" / "src" / "numpy_access.cpp"

# The module's constant for each table entry, and NumPy's name for it.
TABLE_NAMES = {
    "api_array_type": "PyArray_Type",
    "api_descr_from_type": "PyArray_DescrFromType",
    "api_new_from_descr": "PyArray_NewFromDescr",
    "api_equiv_types": "PyArray_EquivTypes",
    "api_set_base_object": "PyArray_SetBaseObject",
}


def numpy_header(name: str) -> str:
    found = sorted(Path(np.get_include()).rglob(name))
    if not found:
        pytest.skip(f"NumPy's {name} is not installed beside NumPy")
    return found[0].read_text()


def module_source() -> str:
    if not SOURCE.exists():
        pytest.skip("the module's sources are not beside the tests")
    return SOURCE.read_text()


def fields_in(struct_body: str) -> list[tuple[str, str]]:
    """(type, name) of each field declaration, comments and macros dropped."""
    body = re.sub(r"/\*.*?\*/|//[^\n]*", "", struct_body, flags=re.S)
    body = re.sub(r"^\s*#.*$|PyObject_HEAD|_NPY_OPAQUE_FIRST_FIELD", "", body, flags=re.M)
    return [(m.group(1).replace(" ", ""), m.group(2))
            for m in re.finditer(r"([A-Za-z_][\w\s]*?[\s*]+)(\w+)\s*;", body)]


def module_array_fields() -> list[tuple[str, str]]:
    body = re.search(r"struct ArrayFields \{(.*?)\};", module_source(), re.S)
    assert body, "struct ArrayFields not found in numpy_access.cpp"
    return fields_in(body.group(1))


def test_table_positions_and_writeable_flag_match_numpy_headers():
    source = module_source()
    api = numpy_header("__multiarray_api.h")
    # Definitions continue over backslash-ended lines.
    defines = {m.group(1): int(m.group(2)) for m in re.finditer(
        r"#define (\w+)\s[^#]*?PyArray_API\[(\d+)\]", api.replace("\\\n", " "))}
    ours = {m.group(1): int(m.group(2)) for m in re.finditer(
        r"constexpr std::size_t (api_\w+) = (\d+);", source)}
    assert set(ours) == set(TABLE_NAMES)
    assert {TABLE_NAMES[k]: v for k, v in ours.items()} == {
        name: defines.get(name) for name in TABLE_NAMES.values()}

    flag = re.search(r"#define NPY_ARRAY_WRITEABLE\s+(0x[0-9a-fA-F]+)",
                     numpy_header("ndarraytypes.h"))
    ours_flag = re.search(r"array_writeable = (0x[0-9a-fA-F]+);", source)
    assert flag and ours_flag and int(flag.group(1), 16) == int(ours_flag.group(1), 16)


def test_array_fields_are_numpys_leading_fields():
    header = numpy_header("ndarraytypes.h")
    body = re.search(r"typedef struct tagPyArrayObject_fields \{(.*?)\}", header, re.S)
    assert body, "PyArrayObject_fields not found in ndarraytypes.h"
    theirs = [name for _, name in fields_in(body.group(1))]
    ours = [name for _, name in module_array_fields()]
    assert theirs[:len(ours)] == ours


def test_array_fields_read_a_live_array():
    """The declared layout, put together by ctypes with the platform's sizes,
    finds the data, shape, strides, base, dtype and flags of a real array."""
    types = {"char*": ctypes.c_void_p, "int": ctypes.c_int, "npy_intp*": ctypes.c_void_p,
             "PyObject*": ctypes.c_void_p, "ArrayDescr*": ctypes.c_void_p}
    layout = [("ob_refcnt", ctypes.c_ssize_t), ("ob_type", ctypes.c_void_p)]
    layout += [(name, types[kind]) for kind, name in module_array_fields()]
    fields = type("ArrayFields", (ctypes.Structure,), {"_fields_": layout})

    view = np.arange(24, dtype=np.float32).reshape(4, 6)[1:3]
    view.flags.writeable = False
    for array in (view, np.zeros((3, 5), np.int32)):
        seen = fields.from_address(id(array))
        assert seen.data == array.ctypes.data
        assert seen.nd == array.ndim
        assert list((ctypes.c_ssize_t * 2).from_address(seen.dimensions)) == list(array.shape)
        assert list((ctypes.c_ssize_t * 2).from_address(seen.strides)) == list(array.strides)
        assert seen.base == (id(array.base) if array.base is not None else None)
        assert seen.descr == id(array.dtype)
        assert bool(seen.flags & 0x0400) == array.flags.writeable


def test_element_type_numbers_are_numpys():
    header = (SOURCE.parent / "numpy_access.hpp").read_text()
    ours = dict(re.findall(r"(\w+) = (\d+)", re.search(r"enum class ElementType[^{]*\{(.*?)\}",
                                                       header, re.S).group(1)))
    assert {k: int(v) for k, v in ours.items()} == {
        "boolean": np.dtype(np.bool_).num, "int32": np.dtype(np.int32).num,
        "float32": np.dtype(np.float32).num}
