"""The NaloLimiter class: configuration, properties, text form, type traits and
docstrings."""
import ast
import inspect
import math
import weakref
from pathlib import Path

import numpy as np
import pytest

import nalo_limiter
from nalo_limiter import NaloLimiter, limit
from support import loud

PROPERTIES = ["sample_rate", "threshold", "threshold_dBFS", "lookahead_samples", "attack_samples",
              "hold_samples", "release_samples"]


# ---------------------------------------------------------------- properties


@pytest.mark.parametrize("rate, times, lookahead, hold, release", [
    (48000, (), 240, 720, 1920.0),
    (44100, (), 221, 661, 1764.0),
    (96000, (), 480, 1440, 3840.0),
    (22050, (), 110, 331, 882.0),
    (8000, (), 40, 120, 320.0),
    (48000, (1.0, 0.0, 0.0), 48, 0, 0.0),
    (1000, (0.5, 15.0, 40.0), 1, 15, 40.0),
    (44100, (175.0, 0.0, 0.0), 7718, 0, 0.0),
])
def test_derived_counts(rate, times, lookahead, hold, release):
    limiter = NaloLimiter(rate, 0.0, *times)
    assert limiter.sample_rate == rate
    assert limiter.lookahead_samples == limiter.attack_samples == lookahead
    assert limiter.hold_samples == hold
    assert limiter.release_samples == release


def test_property_types_and_values(limiter):
    values = {name: getattr(limiter, name) for name in PROPERTIES}
    assert values == {"sample_rate": 48000, "threshold": 1.0, "threshold_dBFS": 0.0, "lookahead_samples": 240,
                      "attack_samples": 240, "hold_samples": 720, "release_samples": 1920.0}
    for name in ("sample_rate", "lookahead_samples", "attack_samples", "hold_samples"):
        assert type(values[name]) is int
    for name in ("threshold", "threshold_dBFS", "release_samples"):
        assert type(values[name]) is float


def test_threshold_is_linear():
    assert NaloLimiter(48000, -6.0).threshold == pytest.approx(10 ** (-6 / 20), rel=1e-15)
    assert NaloLimiter(48000, -7000.0).threshold == 0.0


def test_negative_zero_is_kept():
    limiter = NaloLimiter(48000, -0.0, release_ms=-0.0, hold_ms=-0.0)
    assert math.copysign(1.0, limiter.threshold_dBFS) == -1.0
    assert limiter.threshold == 1.0
    assert math.copysign(1.0, limiter.release_samples) == -1.0
    assert limiter.hold_samples == 0


@pytest.mark.parametrize("name", PROPERTIES)
def test_properties_are_read_only(limiter, name):
    before = getattr(limiter, name)
    with pytest.raises(AttributeError):
        setattr(limiter, name, 1)
    with pytest.raises(AttributeError):
        delattr(limiter, name)
    assert getattr(limiter, name) == before


def test_property_order():
    own = [name for name in vars(NaloLimiter) if name in PROPERTIES]
    assert own == PROPERTIES


# ---------------------------------------------------------------- text form


def test_repr_of_defaults(limiter):
    assert repr(limiter).split("\n") == [
        "NaloLimiter(",
        "    sample_rate=48000, threshold_dBFS=0, threshold=1,",
        "    lookahead_samples=240, hold_samples=720, release_samples=1920",
        ")",
    ]
    assert str(limiter) == repr(limiter)


def test_repr_examples():
    assert "threshold_dBFS=-0, threshold=1," in repr(NaloLimiter(48000, -0.0))
    assert repr(NaloLimiter(sample_rate=48000, release_ms=0)).endswith("release_samples=0\n)")
    assert "release_samples=1764," not in repr(NaloLimiter(44100))
    assert "lookahead_samples=221, hold_samples=661, release_samples=1764\n" in repr(NaloLimiter(44100))


def test_repr_of_minus_20_dBFS():
    limiter = NaloLimiter(48000, -20.0)
    assert "threshold_dBFS=-20, threshold=0.1," in repr(limiter)
    assert limiter.threshold == 0.1


@pytest.mark.parametrize("release_ms, shown", [(0.001, "0.048"), (1e-7, "0.0000048"), (1e12, "48000000000000")])
def test_repr_numbers_are_positional(release_ms, shown):
    assert repr(NaloLimiter(48000, release_ms=release_ms)).endswith(f"release_samples={shown}\n)")


def test_repr_of_tiny_threshold():
    # 1e-300 dBFS prints all its zeros, never with an exponent.
    text = repr(NaloLimiter(48000, -1e-300))
    assert "threshold_dBFS=-0.000000" in text and "e" not in text.split("threshold_dBFS=")[1].split(",")[0]


# ---------------------------------------------------------------- configuration errors

CONFIG_ERRORS = [
    ((48000, 0.5), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 0.5"),
    ((48000, 1.0), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 1"),
    ((48000, math.inf), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got inf"),
    ((48000, -math.inf), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got -inf"),
    ((48000, math.nan), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got NaN"),
    ((48000, 5e-324), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got "
                      "0." + "0" * 323 + "5"),
    ((48000, 1.0, -1.0), "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 1"),
    ((48000, 0.0, -1.0), "attack_ms must be finite and non-negative, got -1"),
    ((48000, 0.0, math.nan), "attack_ms must be finite and non-negative, got NaN"),
    ((48000, 0.0, 5.0, -1.0), "hold_ms must be finite and non-negative, got -1"),
    ((48000, 0.0, 5.0, math.nan), "hold_ms must be finite and non-negative, got NaN"),
    ((48000, 0.0, 5.0, 15.0, -1.0), "release_ms must be finite and non-negative, got -1"),
    ((48000, 0.0, 5.0, 15.0, math.inf), "release_ms must be finite and non-negative, got inf"),
    ((48000, 0.0, 0.01), "attack_ms=0.01 rounds to zero samples at 48000 Hz"),
    ((48000, 0.0, -0.0), "attack_ms=-0 rounds to zero samples at 48000 Hz"),
    ((48000, 0.0, 0.0, -5.0), "hold_ms must be finite and non-negative, got -5"),
]


@pytest.mark.parametrize("args, message", CONFIG_ERRORS)
def test_configuration_errors(args, message):
    with pytest.raises(ValueError) as info:
        NaloLimiter(*args)
    assert type(info.value) is ValueError and info.value.args == (message,)
    with pytest.raises(ValueError) as info:
        limit(loud(100), *args)
    assert type(info.value) is ValueError and info.value.args == (message,)


@pytest.mark.parametrize("times", [(1e300,), (5.0, 1e300), (1e15,), (5.0, 1e15)])
def test_unallocatable_configurations_raise_memory_error(times):
    with pytest.raises(MemoryError, match="^not enough memory for the limiter's buffers$"):
        NaloLimiter(48000, 0.0, *times)
    with pytest.raises(MemoryError):
        limit(loud(100), 48000, 0.0, *times)
    # The process lives on.
    assert NaloLimiter(48000).lookahead_samples == 240


# ---------------------------------------------------------------- type traits


def test_type_identity():
    assert NaloLimiter.__name__ == "NaloLimiter"
    assert NaloLimiter.__qualname__ == "NaloLimiter"
    assert NaloLimiter.__module__ == "nalo_limiter"
    assert nalo_limiter.NaloLimiter is NaloLimiter


def test_not_subclassable():
    with pytest.raises(TypeError):
        class Sub(NaloLimiter):
            pass


def test_no_dict_and_no_weakrefs(limiter):
    with pytest.raises(AttributeError):
        limiter.extra = 1
    assert not hasattr(limiter, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(limiter)


def test_type_is_immutable():
    with pytest.raises(TypeError):
        NaloLimiter.extra = 1
    with pytest.raises(TypeError):
        NaloLimiter.process = None


def test_identity_semantics():
    a, b = NaloLimiter(48000), NaloLimiter(48000)
    assert a == a and a != b
    assert len({a, b}) == 2


def test_members():
    own = {name for name in vars(NaloLimiter) if not name.startswith("__")}
    assert own == set(PROPERTIES) | {"process"}
    assert NaloLimiter.__repr__ is not object.__repr__
    assert NaloLimiter.__init__ is object.__init__
    assert NaloLimiter.__eq__ is object.__eq__


# ---------------------------------------------------------------- docstrings and signatures

STUB = Path(__file__).resolve().parents[3] / "src" / "python" / "nalo_limiter" / "nalo_limiter.pyi"


def stub_docstrings():
    """Every docstring of the type stub by name: "" for the module, "limit",
    "NaloLimiter" and "NaloLimiter.<member>"."""
    tree = ast.parse(STUB.read_text())
    docs = {"": ast.get_docstring(tree)}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            docs[node.name] = ast.get_docstring(node)
        if isinstance(node, ast.ClassDef):
            docs.update({f"{node.name}.{item.name}": ast.get_docstring(item) for item in node.body
                         if isinstance(item, ast.FunctionDef) and ast.get_docstring(item)})
    return docs


def test_docstrings_are_the_stubs():
    runtime = {"": nalo_limiter, "limit": limit, "NaloLimiter": NaloLimiter,
               "NaloLimiter.process": NaloLimiter.process}
    runtime.update({f"NaloLimiter.{name}": getattr(NaloLimiter, name) for name in PROPERTIES})
    assert stub_docstrings() == {name: obj.__doc__ for name, obj in runtime.items()}
    assert nalo_limiter.__doc__ == "Python bindings for the nalo-limiter look-ahead brick-wall audio limiter."


def test_text_signatures():
    assert limit.__text_signature__ == ("(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
                                        "release_ms=40.0, axis=...)")
    assert NaloLimiter.__text_signature__ == ("(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
                                              "release_ms=40.0)")
    assert NaloLimiter.process.__text_signature__ == "($self, audio, axis=...)"


def test_inspect_signatures():
    params = inspect.signature(limit).parameters
    assert list(params) == ["audio", "sample_rate", "threshold_dBFS", "attack_ms", "hold_ms", "release_ms", "axis"]
    assert params["threshold_dBFS"].default == 0.0 and params["axis"].default is Ellipsis
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())
    params = inspect.signature(NaloLimiter).parameters
    assert list(params) == ["sample_rate", "threshold_dBFS", "attack_ms", "hold_ms", "release_ms"]
    assert [params[n].default for n in list(params)[1:]] == [0.0, 5.0, 15.0, 40.0]
    params = inspect.signature(NaloLimiter(48000).process).parameters
    assert list(params) == ["audio", "axis"]
