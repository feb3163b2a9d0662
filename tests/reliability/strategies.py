"""Hypothesis strategies for arguments of arbitrary type, dtype, shape, memory
layout and value, and for arbitrary arrangements of positional and keyword
arguments."""

import os
from decimal import Decimal
from fractions import Fraction

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from support import EigEstimator, HostileError, Model, NUTSEstimator

# ---------------------------------------------------------------------------
# Values

SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 1e-4, 1e16, 1e308, -1e308, 5e-324, -5e-324,
    2.2250738585072014e-308, 709.79, -745.2, 1e154, float("nan"), float("-nan"),
    float("inf"), float("-inf"), 2.0**64, 2.0**63, 1e-300,
]

floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    st.sampled_from(SPECIAL_FLOATS),
    st.floats(min_value=-10, max_value=10),
)

SPECIAL_INTS = [0, 1, -1, 2, 2**31, 2**32, 2**53 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), 10**30]

ints = st.one_of(st.integers(min_value=-5, max_value=50), st.sampled_from(SPECIAL_INTS), st.integers())


# ---------------------------------------------------------------------------
# Hostile objects: each misbehaves in one way a conversion must survive.


class FloatRaises:
    def __float__(self):
        raise HostileError("__float__")


class FloatReturnsStr:
    def __float__(self):
        return "1.0"


class FloatReturnsSubclass:
    def __float__(self):
        class F(float):
            pass

        return F(2.5)


class IndexRaises:
    def __index__(self):
        raise HostileError("__index__")


class IndexHuge:
    def __index__(self):
        return 2**70


class IndexReturnsFloat:
    def __index__(self):
        return 1.5


class LenRaises:
    def __len__(self):
        raise HostileError("__len__")

    def __getitem__(self, i):
        if i < 2:
            return 1.0
        raise IndexError(i)


class LenLies:
    """Claims a huge length but holds two items."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 2:
            return 1.0
        raise IndexError(i)


class LenNegative:
    def __len__(self):
        return -1

    def __getitem__(self, i):
        raise IndexError(i)


class GetitemRaises:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise HostileError("__getitem__")
        return True


class IterRaisesMidway:
    """A sequence whose iteration fails after one item."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        yield 1.0
        raise HostileError("__iter__")


class FakeNumpyBool:
    """Claims to be numpy.bool_ and returns a non-bool from __bool__."""

    def __bool__(self):
        return 1


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__qualname__ = "bool_"
FakeNumpyBool.__name__ = "bool_"


class FakeNumpyBoolRaises:
    def __bool__(self):
        raise HostileError("__bool__")


FakeNumpyBoolRaises.__module__ = "numpy"
FakeNumpyBoolRaises.__qualname__ = "bool_"


class SubModel(Model):
    pass


class SubEig(EigEstimator):
    pass


class SubNuts(NUTSEstimator):
    pass


class SubArray(np.ndarray):
    pass


def hostile_objects():
    return [
        FloatRaises(), FloatReturnsStr(), FloatReturnsSubclass(), IndexRaises(), IndexHuge(),
        IndexReturnsFloat(), LenRaises(), LenLies(), LenNegative(), GetitemRaises(),
        IterRaisesMidway(), FakeNumpyBool(), FakeNumpyBoolRaises(), object(), type, len,
        iter([1.0, 2.0]), (x for x in [True, False]), range(3), range(2**62), b"ab", bytearray(b"\x01"),
        memoryview(b"\x00\x01"), {1.0: 2.0}, {True}, frozenset(), Ellipsis, NotImplemented,
        Fraction(1, 3), Decimal("1.5"), Decimal("nan"), complex(1, 2), np.float64(1.5), np.float32(2),
        np.int64(-3), np.uint64(2**64 - 1), np.bool_(True), np.bool_(False), np.float64("nan"),
        np.array(1.0), np.array([[True]]), np.datetime64("2020-01-01"), np.ma.masked_array([1.0, 2.0]),
        np.matrix([[1.0, 2.0]]),
    ]


# Instances built once: valid models and estimators of each class (and subclass).
def instances():
    return [
        Model(1.0, 1.0, 0.0, 1.0), Model(-3.0, 0.0, 1e300, -2.0), SubModel(0.5, 2.0, 0.0, 1.0),
        EigEstimator([False, True], 3), SubEig([], 0),
        NUTSEstimator(num_tune=20, num_draws=5, num_chains=1, timeout=0.0, seed=1), SubNuts(timeout=0.0),
    ]


# ---------------------------------------------------------------------------
# Arrays of any dtype, shape and layout

DTYPES = ["f8", ">f8", "f4", "f2", "i8", "u1", "?", "c16", "O", "U3", "f16", "i1"]


def _cast(base, dtype):
    try:
        return base.astype(dtype)
    except (ValueError, TypeError, OverflowError):
        return np.zeros(base.shape, dtype=dtype)


def _unaligned(a):
    if a.dtype == object or a.itemsize <= 1:
        return a
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    return out


def _zero_strides(a):
    if a.ndim == 0 or a.size == 0:
        return a
    return np.lib.stride_tricks.as_strided(a, strides=(0,) * a.ndim, writeable=False)


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def _reversed(a):
    return a[::-1] if a.ndim >= 1 else a


def _reversed_last(a):
    return a[..., ::-1] if a.ndim >= 1 else a


def _stepped(a):
    if a.ndim == 0:
        return a
    return np.repeat(a, 2, axis=0)[::2]


def _stepped_columns(a):
    if a.ndim < 2:
        return a
    return np.repeat(a, 3, axis=-1)[..., ::3]


LAYOUTS = {
    "c": lambda a: np.ascontiguousarray(a),
    "fortran": np.asfortranarray,
    "reversed": _reversed,
    "reversed-last": _reversed_last,
    "stepped": _stepped,
    "stepped-columns": _stepped_columns,
    "transposed": lambda a: a.T,
    "unaligned": _unaligned,
    "zero-strides": _zero_strides,
    "readonly": _readonly,
    "subclass": lambda a: a.view(SubArray),
}


@st.composite
def arrays(draw, dtypes=DTYPES, min_dims=0, max_dims=3, max_side=5):
    dtype = draw(st.sampled_from(dtypes))
    shape = draw(hnp.array_shapes(min_dims=min_dims, max_dims=max_dims, min_side=0, max_side=max_side))
    base = draw(hnp.arrays(np.float64, shape, elements=floats))
    array = _cast(base, dtype)
    layout = draw(st.sampled_from(sorted(LAYOUTS)))
    return LAYOUTS[layout](array)


# AddressSanitizer aborts on an allocation beyond its limit where a plain
# build raises MemoryError: under it, requests stay below the limit.
HUGE_ALLOCATIONS = not os.environ.get("VARNEL_FUZZ_NO_HUGE_ALLOCATIONS")
HUGE_ROW_EXPONENTS = [20, 40, 58] if HUGE_ALLOCATIONS else [20]


def huge_broadcast_matrix(rows_exp=40, cols=1):
    # A matrix of 2**rows_exp rows that takes a few bytes of memory.
    return np.broadcast_to(np.full((1, cols), 0.5), (2**rows_exp, cols))


float_matrices = st.one_of(
    arrays(dtypes=["f8"], min_dims=2, max_dims=2, max_side=6),
    arrays(dtypes=["f8"], min_dims=2, max_dims=2, max_side=6),
    arrays(dtypes=["f8", ">f8", "f4", "O", "i8"], min_dims=1, max_dims=3),
    st.builds(huge_broadcast_matrix, st.sampled_from(HUGE_ROW_EXPONENTS)),
)
float_vectors = st.one_of(
    arrays(dtypes=["f8"], min_dims=1, max_dims=1, max_side=6),
    arrays(dtypes=["f8"], min_dims=1, max_dims=1, max_side=6),
    arrays(dtypes=["f8", ">f8", "f4", "?"], min_dims=0, max_dims=2),
)
bool_vectors = st.one_of(
    arrays(dtypes=["?"], min_dims=1, max_dims=1, max_side=8),
    arrays(dtypes=["?"], min_dims=1, max_dims=1, max_side=8),
    arrays(dtypes=["?", "u1", "i8", "f8"], min_dims=0, max_dims=2),
)

scalars = st.one_of(
    st.none(), st.booleans(), ints, floats, st.text(max_size=3), st.binary(max_size=3),
    st.sampled_from(hostile_objects()),
)

anything = st.recursive(
    st.one_of(scalars, arrays(), st.sampled_from(instances())),
    lambda children: st.one_of(
        st.lists(children, max_size=4), st.tuples(children, children),
        st.dictionaries(st.text(max_size=2), children, max_size=2),
    ),
    max_leaves=8,
)

float_lists = st.one_of(
    st.lists(st.one_of(floats, ints), max_size=4),
    st.tuples(floats, floats),
    arrays(dtypes=["f8", "i8", "O"], min_dims=1, max_dims=1),
)
float_list_lists = st.one_of(
    st.lists(st.lists(floats, min_size=0, max_size=3), max_size=5),
    st.lists(st.tuples(floats, floats), max_size=5),
    arrays(dtypes=["f8", "f8", ">f8", "i8", "O"], min_dims=2, max_dims=2, max_side=5),
    st.builds(huge_broadcast_matrix, st.sampled_from(HUGE_ROW_EXPONENTS), st.sampled_from([1, 2])),
)
bool_lists = st.one_of(
    st.lists(st.booleans(), max_size=4),
    st.lists(st.sampled_from([np.True_, np.False_, True, False]), max_size=4),
    arrays(dtypes=["?"], min_dims=1, max_dims=1, max_side=4),
)

models = st.sampled_from([x for x in instances() if isinstance(x, Model)])


def or_anything(strategy):
    """Mostly well-typed values, now and then anything at all."""
    return st.one_of(strategy, strategy, strategy, anything)


# ---------------------------------------------------------------------------
# Argument arrangements


@st.composite
def arguments(draw, names, values):
    """(args, kwargs) for a callable with parameters `names`: each value drawn
    from values[name]; some passed positionally, some by keyword, some left
    out, with extra positional values, unknown keywords and duplicates now and
    then."""
    chosen = [draw(values[name]) for name in names]
    n_positional = draw(st.integers(min_value=0, max_value=len(names)))
    args = list(chosen[:n_positional])
    kwargs = {name: value for name, value in zip(names[n_positional:], chosen[n_positional:])}
    if kwargs and draw(st.integers(0, 5)) == 0:
        del kwargs[draw(st.sampled_from(sorted(kwargs)))]
    fault = draw(st.integers(0, 9))
    if fault == 0:
        args.extend(draw(st.lists(anything, min_size=1, max_size=2)))
    elif fault == 1:
        kwargs[draw(st.sampled_from(["x", "self", "design ", "seed_", "", "\x00", "é"]))] = draw(anything)
    elif fault == 2 and names:
        kwargs[draw(st.sampled_from(names))] = draw(anything)  # maybe a duplicate of a positional one
    elif fault == 3:
        args = args[: draw(st.integers(0, len(args)))] if args else args
    return tuple(args), kwargs
