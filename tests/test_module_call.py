"""The sweep_folds_py call frame: binding, conversions, array acceptance,
the checks across arguments, the order of the reports and the result."""

import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _vornak

sweep = _vornak.sweep_folds_py


def one_ray(values):
    return np.array([values], np.float32)


def clear(shape):
    return np.zeros(shape, bool)


V = one_ray([8, 9, -9, -8])
M = clear((1, 4))


def raises_exactly(exc_type, message, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        sweep(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    return info.value


# -- known results ---------------------------------------------------------


def test_known_folds_with_defaults():
    assert sweep(V, M, 10.0, False).tolist() == [[-1, -1, 0, 0]]


def test_excluded_gate_carries_the_centring_shift():
    vel = one_ray([9, -9, 9, 5])
    mask = np.array([[False, False, False, True]])
    assert sweep(vel, mask, 10.0, False).tolist() == [[0, 1, 0, 1]]
    assert sweep(vel, mask, 10.0, False, centered=False).tolist() == [[-1, 0, -1, 0]]


def test_arguments_bind_by_keyword_in_any_order():
    vel = one_ray([9, -9, 9, 5])
    mask = np.array([[False, False, False, True]])
    expected = sweep(vel, mask, 10.0, False, 3, 100, 100, False)
    got = sweep(centered=False, rays_wrap_around=False, nyquist=10.0, mask=mask, vel=vel)
    assert got.tolist() == expected.tolist() == [[-1, 0, -1, 0]]


# -- binding ---------------------------------------------------------------


def test_too_many_positionals_reported_before_keywords():
    raises_exactly(
        TypeError,
        "sweep_folds_py() takes from 4 to 8 positional arguments but 9 were given",
        V, M, 10.0, False, 3, 100, 100, True, None, bogus=1,
    )


def test_unexpected_keyword():
    raises_exactly(
        TypeError, "sweep_folds_py() got an unexpected keyword argument 'nyquist_velocity'",
        V, M, 10.0, False, nyquist_velocity=1,
    )


def test_unencodable_keyword_is_unexpected():
    name = "bad\udcffname"
    raises_exactly(
        TypeError, f"sweep_folds_py() got an unexpected keyword argument '{name}'",
        V, M, 10.0, False, **{name: 1},
    )


def test_keyword_names_match_whole_names_only():
    raises_exactly(
        TypeError, "sweep_folds_py() got an unexpected keyword argument 'vel\x00'",
        mask=M, nyquist=10.0, rays_wrap_around=False, **{"vel\x00": V},
    )


def test_multiple_values():
    raises_exactly(
        TypeError, "sweep_folds_py() got multiple values for argument 'vel'",
        V, M, 8.0, False, vel=V,
    )
    raises_exactly(
        TypeError, "sweep_folds_py() got multiple values for argument 'centered'",
        V, M, 8.0, False, 3, 100, 100, True, centered=True,
    )


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((V, M, 10.0), {}, "missing 1 required positional argument: 'rays_wrap_around'"),
        ((), {"mask": M, "nyquist": 1.0, "rays_wrap_around": True},
         "missing 1 required positional argument: 'vel'"),
        ((V, M), {}, "missing 2 required positional arguments: 'nyquist' and 'rays_wrap_around'"),
        ((V,), {}, "missing 3 required positional arguments: 'mask', 'nyquist', and 'rays_wrap_around'"),
        ((), {"interval_splits": 3},
         "missing 4 required positional arguments: 'vel', 'mask', 'nyquist', and 'rays_wrap_around'"),
        ((V,), {"nyquist": 1.0}, "missing 2 required positional arguments: 'mask' and 'rays_wrap_around'"),
    ],
)
def test_missing_arguments(args, kwargs, message):
    raises_exactly(TypeError, "sweep_folds_py() " + message, *args, **kwargs)


def test_binding_comes_before_any_conversion():
    raises_exactly(
        TypeError, "sweep_folds_py() missing 2 required positional arguments: 'nyquist' and 'rays_wrap_around'",
        [1.0], "not a mask",
    )
    raises_exactly(
        TypeError, "sweep_folds_py() got an unexpected keyword argument 'bogus'",
        None, None, None, None, bogus=1,
    )


# -- scalar conversions ----------------------------------------------------


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    def __index__(self):
        return 4


def test_nyquist_accepts_what_converts_to_a_double():
    expected = [[-1, -1, 0, 0]]
    for nyquist in (10, 10.0, np.float32(10.0), np.float64(10.0), FloatLike(10.0), True * 10):
        assert sweep(V, M, nyquist, False).tolist() == expected
    assert sweep(one_ray([8, 9, -9, -8]), M, 10 ** 1, False).tolist() == expected


def test_nyquist_is_not_checked():
    # The core decides what such values mean; the frame only passes them on.
    # (A zero Nyquist velocity asks for endlessly many intervals here.)
    for nyquist in (0.0, -10.0, float("inf"), float("nan"), FloatLike(-1.0)):
        try:
            result = sweep(V, M, nyquist, False)
        except BaseException as error:
            assert nyquist == 0.0 and error.args == ("capacity overflow",), (nyquist, error)
        else:
            assert result.shape == (1, 4) and result.dtype == np.int32


def test_nyquist_type_error_is_prefixed():
    raises_exactly(TypeError, "argument 'nyquist': must be real number, not str", V, M, "10", False)
    raises_exactly(TypeError, "argument 'nyquist': must be real number, not NoneType", V, M, None, False)


def test_argument_error_keeps_the_cause_and_spares_subclasses():
    class Odd(TypeError):
        pass

    class CausedFloat:
        def __float__(self):
            raise TypeError("no float here") from KeyError("origin")

    class OddFloat:
        def __float__(self):
            raise Odd("subclass passes unchanged")

    class ValueFloat:
        def __float__(self):
            raise ValueError("not a TypeError")

    error = raises_exactly(TypeError, "argument 'nyquist': no float here", V, M, CausedFloat(), False)
    assert isinstance(error.__cause__, KeyError) and error.__cause__.args == ("origin",)
    plain = raises_exactly(TypeError, "argument 'nyquist': must be real number, not str", V, M, "x", False)
    assert plain.__cause__ is None
    raises_exactly(Odd, "subclass passes unchanged", V, M, OddFloat(), False)
    raises_exactly(ValueError, "not a TypeError", V, M, ValueFloat(), False)


def test_flags_take_python_and_numpy_booleans_only():
    vel = one_ray([9, -9, 9, 5])
    mask = np.array([[False, False, False, True]])
    assert sweep(vel, mask, 10.0, np.bool_(True), centered=np.bool_(False)).tolist() == [[-1, 0, -1, 0]]
    assert sweep(vel, mask, 10.0, np.True_, centered=np.True_).tolist() == [[0, 1, 0, 1]]
    raises_exactly(
        TypeError, "argument 'rays_wrap_around': 'int' object cannot be converted to 'PyBool'",
        V, M, 10.0, 1,
    )
    raises_exactly(
        TypeError, "argument 'centered': 'NoneType' object cannot be converted to 'PyBool'",
        V, M, 10.0, False, centered=None,
    )
    raises_exactly(
        TypeError, "argument 'centered': 'int' object cannot be converted to 'PyBool'",
        V, M, 10.0, False, centered=0,
    )
    raises_exactly(
        TypeError, "argument 'rays_wrap_around': 'ndarray' object cannot be converted to 'PyBool'",
        V, M, 10.0, np.array(True),
    )


def fake_numpy_bool(name, namespace):
    return type(name, (), {"__module__": "numpy", **namespace})()


def test_flags_from_numpy_bool_lookalikes_follow_their_bool_slot():
    truthy = fake_numpy_bool("bool_", {"__bool__": lambda self: True})
    vel = one_ray([9, -9, 9, 5])
    mask = np.array([[False, False, False, True]])
    assert sweep(vel, mask, 10.0, False, centered=truthy).tolist() == [[0, 1, 0, 1]]

    no_slot = fake_numpy_bool("bool", {})
    raises_exactly(
        TypeError,
        f"argument 'centered': object of type '{type(no_slot)}' does not define a '__bool__' conversion",
        V, M, 10.0, False, centered=no_slot,
    )
    failing = fake_numpy_bool("bool_", {"__bool__": lambda self: 1 / 0})
    raises_exactly(ZeroDivisionError, "division by zero", V, M, 10.0, failing)
    elsewhere = type("bool_", (), {"__module__": "numpyish", "__bool__": lambda self: True})()
    raises_exactly(
        TypeError, "argument 'rays_wrap_around': 'bool_' object cannot be converted to 'PyBool'",
        V, M, 10.0, elsewhere,
    )


@pytest.mark.parametrize("name", ["interval_splits", "skip_between_rays", "skip_along_ray"])
def test_integer_parameters(name):
    for value in (-1, 0, 7, np.int64(4), np.int32(2), IndexLike(), True, -(2 ** 63), 2 ** 63 - 1):
        try:
            result = sweep(V, M, 10.0, False, **{name: value})
        except BaseException as error:
            # 2^63 - 1 intervals need 2^63 limits.
            assert (name, value) == ("interval_splits", 2 ** 63 - 1), (name, value, error)
            assert error.args == ("capacity overflow",)
        else:
            assert result.shape == (1, 4) and result.dtype == np.int32
    raises_exactly(
        TypeError, f"argument '{name}': 'float' object cannot be interpreted as an integer",
        V, M, 10.0, False, **{name: 2.0},
    )
    raises_exactly(
        TypeError, f"argument '{name}': 'NoneType' object cannot be interpreted as an integer",
        V, M, 10.0, False, **{name: None},
    )
    for big in (2 ** 63, -(2 ** 63) - 1):
        with pytest.raises(OverflowError) as info:
            sweep(V, M, 10.0, False, **{name: big})
        assert type(info.value) is OverflowError
        assert not str(info.value).startswith("argument")


def test_numpy_integer_means_the_same_as_int():
    assert sweep(V, M, 10.0, False, np.int64(4)).tolist() == sweep(V, M, 10.0, False, 4).tolist()


# -- array acceptance ------------------------------------------------------


ARRAY_REFUSAL = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"


@pytest.mark.parametrize(
    "vel, type_name",
    [
        (V.astype(np.float64), "ndarray"),
        (V.astype(np.float16), "ndarray"),
        (V.astype(np.int32), "ndarray"),
        (V.astype(V.dtype.newbyteorder()), "ndarray"),
        (V[0], "ndarray"),
        (V[None], "ndarray"),
        (np.float32(1.0), "float32"),
        ([[8.0, 9.0, -9.0, -8.0]], "list"),
        (None, "NoneType"),
        (memoryview(V), "memoryview"),
    ],
    ids=["float64", "float16", "int32", "swapped", "1d", "3d", "scalar", "list", "none", "memoryview"],
)
def test_vel_refusals(vel, type_name):
    raises_exactly(TypeError, ARRAY_REFUSAL.format("vel", type_name), vel, M, 10.0, False)


@pytest.mark.parametrize(
    "mask, type_name",
    [
        (M.astype(np.uint8), "ndarray"),
        (M.astype(np.int8), "ndarray"),
        (M[0], "ndarray"),
        ([[False] * 4], "list"),
    ],
    ids=["uint8", "int8", "1d", "list"],
)
def test_mask_refusals(mask, type_name):
    raises_exactly(TypeError, ARRAY_REFUSAL.format("mask", type_name), V, mask, 10.0, False)


def test_native_byte_order_spelled_explicitly_is_accepted():
    native = "<" if sys.byteorder == "little" else ">"
    vel = V.astype(native + "f4")
    assert sweep(vel, M, 10.0, False).tolist() == [[-1, -1, 0, 0]]


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_ndarray_subclasses_are_read_as_plain_arrays():
    class Tagged(np.ndarray):
        pass

    result = sweep(V.view(Tagged), M.view(Tagged), 10.0, False)
    assert type(result) is np.ndarray
    assert result.tolist() == [[-1, -1, 0, 0]]
    assert sweep(np.asmatrix(V), np.asmatrix(M), 10.0, False).tolist() == [[-1, -1, 0, 0]]


def test_mask_crosses_as_bytes_any_nonzero_excludes():
    vel = one_ray([9, -9, 9, 5])
    odd_true = np.array([[0, 0, 0, 7]], np.uint8).view(bool)
    assert sweep(vel, odd_true, 10.0, False).tolist() == [[0, 1, 0, 1]]


def test_misaligned_vel_gives_the_same_folds():
    rng = np.random.default_rng(3)
    vel = rng.uniform(-10, 10, (6, 9)).astype(np.float32)
    raw = bytearray(vel.nbytes + 1)
    shifted = np.frombuffer(raw, np.float32, count=vel.size, offset=1).reshape(vel.shape)
    shifted[...] = vel
    assert not shifted.flags.aligned and shifted.flags.c_contiguous
    mask = clear(vel.shape)
    assert sweep(shifted, mask, 10.0, True).tolist() == sweep(vel, mask, 10.0, True).tolist()


def test_read_only_inputs_are_accepted():
    vel, mask = V.copy(), M.copy()
    vel.flags.writeable = False
    mask.flags.writeable = False
    assert sweep(vel, mask, 10.0, False).tolist() == [[-1, -1, 0, 0]]


# -- checks across arguments -----------------------------------------------


def grid(rows, cols):
    return np.arange(rows * cols, dtype=np.float32).reshape(rows, cols) % 7 - 3


def test_shapes_must_match():
    raises_exactly(ValueError, "vel and mask must have the same shape", grid(3, 4), clear((4, 3)), 10.0, False)
    raises_exactly(ValueError, "vel and mask must have the same shape", grid(3, 4), clear((3, 5)), 10.0, False)
    raises_exactly(ValueError, "vel and mask must have the same shape", grid(0, 4), clear((0, 5)), 10.0, False)


@pytest.mark.parametrize(
    "make",
    [lambda a: a[:, ::-1], lambda a: a.T, lambda a: a[:, :2], lambda a: a[::2, :], lambda a: a[:, :1],
     lambda a: np.asfortranarray(a)],
    ids=["reversed", "transposed", "column-slice", "row-step", "single-column", "fortran"],
)
def test_non_contiguous_arrays_are_refused(make):
    vel = make(grid(3, 4))
    mask = clear(vel.shape)
    raises_exactly(ValueError, "vel must be C-contiguous", vel, mask, 10.0, False)
    raises_exactly(ValueError, "mask must be C-contiguous", np.ascontiguousarray(vel), make(clear((3, 4))), 10.0, False)


def test_single_row_slice_is_contiguous():
    vel = grid(3, 4)
    mask = clear((3, 4))
    row = vel[1:2, :]
    assert sweep(row, mask[1:2], 10.0, False).tolist() == sweep(row.copy(), clear((1, 4)), 10.0, False).tolist()
    # Length-1 axes may carry any stride.
    assert sweep(vel[:, 1:2][1:2], mask[:1, :1], 10.0, False).shape == (1, 1)
    assert sweep(vel[::-1][:1], mask[:1], 10.0, False).shape == (1, 4)


@given(
    rows=st.integers(0, 5), cols=st.integers(0, 5),
    row_step=st.sampled_from([1, 2, -1]), col_step=st.sampled_from([1, 2, -1]),
    row_stop=st.integers(0, 5), col_stop=st.integers(0, 5), transpose=st.booleans(),
)
def test_contiguity_matches_numpy(rows, cols, row_step, col_step, row_stop, col_stop, transpose):
    base = grid(rows, cols)
    vel = base[: row_stop : row_step, : col_stop : col_step] if row_step > 0 else base[::row_step, ::col_step]
    if transpose:
        vel = vel.T
    mask = clear(vel.shape)
    if vel.flags.c_contiguous:
        result = sweep(vel, mask, 10.0, False)
        assert result.shape == vel.shape
        assert result.tolist() == sweep(vel.copy(), mask, 10.0, False).tolist()
    else:
        raises_exactly(ValueError, "vel must be C-contiguous", vel, mask, 10.0, False)


def test_order_of_reports():
    # vel before nyquist, mask before rays_wrap_around.
    raises_exactly(TypeError, ARRAY_REFUSAL.format("vel", "list"), [[1.0]], M, "x", False)
    raises_exactly(TypeError, ARRAY_REFUSAL.format("vel", "list"), [[1.0]], [[1]], 10.0, False)
    raises_exactly(TypeError, ARRAY_REFUSAL.format("mask", "list"), V, [[1]], 10.0, 1)
    raises_exactly(
        TypeError, "argument 'nyquist': must be real number, not str", V, M, "x", 1,
    )
    # Every conversion comes before the checks across arguments.
    raises_exactly(
        TypeError, "argument 'centered': 'NoneType' object cannot be converted to 'PyBool'",
        grid(3, 4).T, clear((2, 2)), 10.0, False, centered=None,
    )
    # Shape before contiguity, vel's contiguity before mask's.
    raises_exactly(
        ValueError, "vel and mask must have the same shape", grid(3, 4).T, clear((4, 3)).T, 10.0, False,
    )
    raises_exactly(ValueError, "vel must be C-contiguous", grid(3, 4)[:, ::-1], clear((4, 3)).T, 10.0, False)


# -- the result ------------------------------------------------------------


def test_result_is_a_plain_int32_array_over_the_core_buffer():
    vel = grid(5, 7)
    result = sweep(vel, clear((5, 7)), 10.0, True)
    assert type(result) is np.ndarray
    assert result.dtype == np.dtype(np.int32)
    assert result.shape == (5, 7) and result.strides == (28, 4)
    flags = result.flags
    assert flags.writeable and flags.c_contiguous and flags.aligned and not flags.owndata
    assert type(result.base).__name__ == "PyCapsule"
    assert result.base is not vel and not np.shares_memory(result, vel)


def test_each_call_returns_its_own_writeable_buffer():
    first = sweep(V, M, 10.0, False)
    second = sweep(V, M, 10.0, False)
    first[...] = 42
    assert second.tolist() == [[-1, -1, 0, 0]]
    assert not np.shares_memory(first, second)


def test_views_keep_the_buffer_alive():
    result = sweep(grid(4, 6), clear((4, 6)), 10.0, True)
    expected = result.copy()
    view = result[1:, ::2]
    del result
    junk = [np.full((4, 6), 99, np.int32) for _ in range(50)]
    assert view.tolist() == expected[1:, ::2].tolist()
    del junk


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
def test_empty_sweeps(shape):
    result = sweep(np.zeros(shape, np.float32), clear(shape), 10.0, False)
    assert type(result) is np.ndarray and result.dtype == np.int32
    assert result.shape == shape and result.strides == (0, 0)
    assert result.flags.writeable and not result.flags.owndata
    assert type(result.base).__name__ == "PyCapsule"
