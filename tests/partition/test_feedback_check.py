"""_check_feedback_delay: hop counts on the logical mesh, limits, argument checks."""

from __future__ import annotations

from collections import OrderedDict

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.helpers import Spec
from tests.partition.reference import feedback_violations
from zerav.graph.partition import _check_feedback_delay as check


def spec(limit, mesh=None, cores=6):
    return Spec(max_feedback_delay=limit, core_mesh_topology=mesh, num_cores=cores)


@pytest.mark.parametrize(
    "edges, cores, hw, expected",
    [
        ([("a", "b")], {"a": 0, "b": 1}, spec(0), [("a", "b", 1, 0)]),
        ([("a", "b")], {"a": 0, "b": 1}, spec(1), []),
        ([("a", "b")], {"a": 0, "b": 0}, spec(0), []),
        ([("a", "b")], {"a": 0, "b": 1}, spec(-3), [("a", "b", 1, -3)]),
        ([("a", "b")], {"a": 0, "b": 5}, spec(2, (2, 3)), [("a", "b", 3, 2)]),
        ([("a", "b")], {"a": 0, "b": 5}, spec(3, (2, 3)), []),
        ([("a", "b")], {"a": 1, "b": 4}, spec(0, (2, 3)), [("a", "b", 1, 0)]),
        ([("a", "b")], {"a": 0, "b": 7}, spec(0, (2, 3)), []),  # 7 is off the map: (0, 0)
        ([("a", "b")], {"a": 9, "b": 7}, spec(0, (2, 3)), []),  # both off the map: 0 hops
        ([("a", "b")], {"a": 0, "b": 5}, spec(0, (4, 4), cores=16), [("a", "b", 2, 0)]),  # rows unused
        ([("a", "b")], {"a": 0, "b": 5}, spec(0, (99, 4), cores=16), [("a", "b", 2, 0)]),
        ([("a", "b"), ("a", "b")], {"a": 0, "b": 1}, spec(0), [("a", "b", 1, 0)] * 2),
        ([["a", "b"], iter(("b", "a"))], {"a": 0, "b": 1}, spec(0), [("a", "b", 1, 0), ("b", "a", 1, 0)]),
        ([("a", "b")], {"a": -1, "b": 2}, spec(0, (2, 3)), [("a", "b", 2, 0)]),  # -1 is off the map
        ([("a", "b")], {"a": 1, "b": 2**70}, spec(0, (2, 3), cores=2**80), None),
    ],
)
def test_hops_and_limits(edges, cores, hw, expected):
    got = check(edges, cores, hw)
    if expected is None:  # a core id beyond 64 bits: exact Python arithmetic
        cols = hw.core_mesh_topology[1]
        b = 2**70
        assert got == [("a", "b", abs(0 - b // cols) + abs(1 - b % cols), 0)]
    else:
        assert got == expected


def test_reports_the_objects_it_was_given():
    src, dst, limit = "s" * 3, "d" * 3, 0
    (v,) = check([(src, dst)], {src: 0, dst: 1}, spec(limit))
    assert v[0] is src and v[1] is dst and v[3] is limit


def test_position_map_is_built_without_feedback_edges():
    reads = []

    class Counting(Spec):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    assert check([], {}, Counting(max_feedback_delay=0, core_mesh_topology=(2, 3), num_cores=6)) == []
    assert reads == ["max_feedback_delay", "core_mesh_topology", "num_cores"]
    reads.clear()
    assert check([], {}, Counting(max_feedback_delay=0, core_mesh_topology=None, num_cores=6)) == []
    assert reads == ["max_feedback_delay", "core_mesh_topology"]
    with pytest.raises(ZeroDivisionError):
        check([], {}, spec(0, (2, 0), cores=1))
    assert check([], {}, spec(0, (2, 0), cores=0)) == []
    with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
        check([], {}, spec(0, (2, 3), cores=6.0))


def test_non_int_values_follow_python_semantics():
    # A float column count builds float positions; a float core id finds its int key.
    assert check([("a", "b")], {"a": 0, "b": 5}, spec(0, (2, 3.0))) == [("a", "b", 3.0, 0)]
    assert check([("a", "b")], {"a": 0.0, "b": 5.0}, spec(0, (2, 3))) == [("a", "b", 3, 0)]
    assert check([("a", "b")], {"a": True, "b": 4}, spec(0, (2, 3))) == [("a", "b", 1, 0)]
    # A limit that cannot be compared fails only when a cross-core edge reaches the test.
    assert check([("a", "b")], {"a": 0, "b": 0}, spec(None)) == []
    with pytest.raises(TypeError, match="'<' not supported"):
        check([("a", "b")], {"a": 0, "b": 1}, spec(None))
    with pytest.raises(TypeError, match="'>' not supported"):
        check([("a", "b")], {"a": 0, "b": 1}, spec(None, (2, 3)))


def test_one_core_object_on_both_ends_is_still_compared():
    # The same NaN object differs from itself under `==` and `!=`: the edge is measured.
    nan = float("nan")
    assert check([("a", "b")], {"a": nan, "b": nan}, spec(0)) == [("a", "b", 1, 0)]
    assert check([("a", "b")], {"a": nan, "b": nan}, spec(-1, (2, 3))) == [("a", "b", 0, -1)]


class LoggedCols(int):
    """A column count that records which core ids are divided by it."""

    def __new__(cls, value, log):
        self = super().__new__(cls, value)
        self.log = log
        return self

    def __rfloordiv__(self, cid):
        self.log.append(cid)
        return cid // int(self)


@pytest.mark.parametrize("cols", [2.5, True, LoggedCols(3, [])])
@pytest.mark.parametrize("cores", [2**70, 10**15])
def test_a_position_map_that_cannot_fit_fails_at_once(cols, cores):
    with pytest.raises(MemoryError):
        check([], {}, spec(0, (2, cols), cores=cores))


@pytest.mark.parametrize("edges", [[], [("a", "b")]])
def test_a_column_count_of_another_type_builds_the_whole_map_once(edges):
    log = []
    got = check(edges, {"a": 0, "b": 2}, spec(0, (2, LoggedCols(3, log)), cores=3))
    assert log == [0, 1, 2]
    assert got == ([("a", "b", 2, 0)] if edges else [])


class Logged:
    """A mesh coordinate that records, in order, the arithmetic done on it."""

    def __init__(self, value, log):
        self.value, self.log = value, log

    def _record(self, op, value):
        self.log.append(op)
        return Logged(value, self.log)

    def __sub__(self, other):
        return self._record("-", self.value - other.value)

    def __add__(self, other):
        return self._record("+", self.value + other.value)

    def __abs__(self):
        return self._record("abs", abs(self.value))

    def __gt__(self, limit):
        self.log.append(">")
        return self.value > limit


class LoggingCols:
    """A column count of another type: the positions it divides out are Logged."""

    def __init__(self, cols, log):
        self.cols, self.log = cols, log

    def __rfloordiv__(self, cid):
        return Logged(cid // self.cols, self.log)

    def __rmod__(self, cid):
        return Logged(cid % self.cols, self.log)


def test_hop_arithmetic_runs_in_the_order_of_the_expression():
    native, model = [], []
    edges, cores = [("a", "b")], {"a": 0, "b": 5}
    check(edges, cores, spec(0, (2, LoggingCols(3, native))))
    feedback_violations(edges, cores, spec(0, (2, LoggingCols(3, model))))
    assert native == model == ["-", "abs", "-", "abs", "+", ">"]


@pytest.mark.parametrize(
    "edges, assignments, message",
    [
        ((("a", "b"),), {}, "Argument 'feedback_edges' has incorrect type (expected list, got tuple)"),
        (None, {}, "Argument 'feedback_edges' has incorrect type (expected list, got NoneType)"),
        (
            [],
            OrderedDict(),
            "Argument 'assignments' has incorrect type (expected dict, got collections.OrderedDict)",
        ),
        ((), None, "Argument 'feedback_edges' has incorrect type (expected list, got tuple)"),
    ],
)
def test_argument_types(edges, assignments, message):
    with pytest.raises(TypeError) as info:
        check(edges, assignments, spec(0))
    assert str(info.value) == message
    subclass = isinstance(edges, list) and type(assignments) is not dict
    assert bool(getattr(info.value, "__notes__", None)) == subclass


def test_list_subclass_gets_a_note():
    class Edges(list):
        pass

    with pytest.raises(TypeError) as info:
        check(Edges(), {}, spec(0))
    assert str(info.value) == "Argument 'feedback_edges' has incorrect type (expected list, got Edges)"
    assert "subclass" in info.value.__notes__[0]


@pytest.mark.parametrize(
    "edges, hw, exc, message",
    [
        ([("a", "b", "c")], spec(0), ValueError, "too many values to unpack (expected 2)"),
        ([("a",)], spec(0), ValueError, "need more than 1 value to unpack"),
        ([()], spec(0), ValueError, "need more than 0 values to unpack"),
        ([7], spec(0), TypeError, "'int' object is not iterable"),
        ([("a", "b")], spec(0, (1, 2, 3)), ValueError, "too many values to unpack (expected 2)"),
        ([("a", "b")], spec(0, (3,)), ValueError, "need more than 1 value to unpack"),
        ([("x", "b")], spec(0), KeyError, "'x'"),
        ([("a", "x")], spec(0), KeyError, "'x'"),
        ([("x", "y")], spec(0), KeyError, "'x'"),  # the source is looked up first
    ],
)
def test_failures(edges, hw, exc, message):
    with pytest.raises(exc) as info:
        check(edges, {"a": 0, "b": 1}, hw)
    assert str(info.value) == message


core_ids = st.one_of(
    st.integers(-3, 40), st.just(2**63 - 1), st.just(-(2**63)), st.just(2**70), st.just(True)
)
meshes = st.one_of(
    st.none(), st.tuples(st.integers(1, 9), st.one_of(st.integers(-4, 9).filter(bool), st.just(2**65)))
)


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.tuples(st.sampled_from("abcdef"), st.sampled_from("abcdef")), max_size=8),
    st.fixed_dictionaries({n: core_ids for n in "abcdef"}),
    st.integers(-2, 6),
    meshes,
    st.integers(0, 40),
)
def test_matches_the_model(edges, assignments, limit, mesh, num_cores):
    hw = spec(limit, mesh, num_cores)
    assert check(edges, assignments, hw) == feedback_violations(edges, assignments, hw)
