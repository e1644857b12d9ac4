"""The examples run, and the documentation, the introspected signatures and
the type stubs agree with the module."""

import ast
import importlib.util
import inspect
import os
import pydoc
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import nalo_limiter

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
STUB = ROOT / "src" / "python" / "nalo_limiter" / "nalo_limiter.pyi"


def run(script, *args, block=(), cwd=None):
    """Runs an example with this interpreter; `block` names modules made
    unimportable, as on a machine without them."""
    env = dict(os.environ)
    if block:
        blocker = Path(cwd) / "blocked"
        for name in block:
            (blocker / name).mkdir(parents=True, exist_ok=True)
            (blocker / name / "__init__.py").write_text(f"raise ImportError('no {name} here')\n")
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(blocker), env.get("PYTHONPATH")]))
    return subprocess.run([sys.executable, str(EXAMPLES / script), *args], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=300)


def has(module):
    return importlib.util.find_spec(module) is not None


# ---------------------------------------------------------------- examples


@pytest.mark.parametrize(
    "script, args, block",
    [
        ("normalize_then_limit.py", ["--smoke"], ()),
        ("normalize_then_limit.py", ["--smoke"], ("pyloudnorm", "soundfile")),
        ("batch.py", ["--smoke", "--engine", "threads"], ()),
        pytest.param("batch.py", ["--smoke", "--engine", "both"], (),
                     marks=pytest.mark.skipif(not has("dask"), reason="dask is not installed")),
    ],
)
def test_example_smoke_mode(script, args, block, tmp_path):
    result = run(script, *args, block=block, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "smoke ok" in result.stdout


def test_batch_without_dask_gives_a_hint(tmp_path):
    result = run("batch.py", "--smoke", block=("dask",), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "hint: install dask" in result.stdout and "Traceback" not in result.stderr


def test_demo_smoke_writes_files_and_keeps_the_ceiling(tmp_path):
    sf = pytest.importorskip("soundfile")
    result = run("demo.py", "--smoke", "--out", str(tmp_path / "o"), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "0 after" in result.stdout and "realtime" in result.stdout
    source, rate = sf.read(tmp_path / "o" / "demo_input.wav", dtype="float32", always_2d=True)
    limited, rate2 = sf.read(tmp_path / "o" / "demo_limited.wav", dtype="float32", always_2d=True)
    assert rate == rate2 == 48000 and source.shape == limited.shape == (48000, 2)
    assert np.abs(source).max() > 1.5  # float WAV keeps the overs of the input
    assert np.abs(limited).max() <= 10 ** (-1 / 20) + 1 / 32768
    assert (tmp_path / "o" / "demo.png").exists() == has("matplotlib")


def test_demo_without_matplotlib_gives_a_hint_and_still_writes_audio(tmp_path):
    pytest.importorskip("soundfile")
    result = run("demo.py", "--smoke", "--out", "o", block=("matplotlib",), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    hints = [line for line in result.stdout.splitlines() if line.startswith("hint:")]
    assert len(hints) == 1 and "matplotlib" in hints[0] and "Traceback" not in result.stderr
    assert (tmp_path / "o" / "demo_limited.wav").exists() and not (tmp_path / "o" / "demo.png").exists()


def test_demo_on_a_user_file_with_options(tmp_path):
    sf = pytest.importorskip("soundfile")
    t = np.arange(22050) / 22050
    sf.write(tmp_path / "song.wav", np.sin(2 * np.pi * 100 * t)[:, None] * [1.5, 0.7], 22050, subtype="FLOAT")
    result = run("demo.py", "song.wav", "--threshold", "-3", "--attack", "2", "--release", "10", "--out", "o",
                 block=("matplotlib",), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "44 samples look-ahead" in result.stdout  # 2 ms at 22050 Hz
    limited, _ = sf.read(tmp_path / "o" / "song_limited.wav", dtype="float32", always_2d=True)
    assert limited.shape == (22050, 2) and np.abs(limited).max() <= 10 ** (-3 / 20) + 1 / 32768


@pytest.mark.parametrize(
    "name, subtype, rate, shape",
    [
        ("pcm16.wav", "PCM_16", 44100, (10001, 2)),
        ("ulaw.au", "ULAW", 8000, (7777, 1)),
        ("tiny.flac", "PCM_24", 96000, (3, 2)),
        ("lossy.mp3", "MPEG_LAYER_III", 44100, (30001, 2)),
    ],
)
def test_demo_plots_user_files_of_awkward_lengths_and_formats(name, subtype, rate, shape, tmp_path):
    sf = pytest.importorskip("soundfile")
    pytest.importorskip("matplotlib")
    if not sf.check_format(name.rsplit(".", 1)[1].upper(), subtype):
        pytest.skip(f"this libsndfile cannot write {subtype}")
    frames, channels = shape
    sf.write(tmp_path / name, 0.99 * np.sin(np.arange(frames) * 0.05)[:, None] * [1, 0.5][:channels], rate,
             subtype=subtype)
    result = run("demo.py", name, "--threshold", "-3", "--out", "o", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr and "Warning:" not in result.stderr, result.stderr
    stem = name.split(".")[0]
    assert sf.info(tmp_path / "o" / f"{stem}_limited.{name.split('.')[1]}").frames == frames
    assert (tmp_path / "o" / f"{stem}.png").stat().st_size > 0


def test_demo_reports_invalid_settings_without_a_traceback(tmp_path):
    pytest.importorskip("soundfile")
    result = run("demo.py", "--smoke", "--attack", "0", "--out", "o", cwd=tmp_path)
    assert result.returncode == 2
    assert "attack_ms=0 rounds to zero samples at 48000 Hz" in result.stderr and "Traceback" not in result.stderr


# ---------------------------------------------------------------- documentation, signatures, stubs


def stub_functions():
    tree = ast.parse(STUB.read_text())
    found = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item
        elif isinstance(node, ast.FunctionDef) and node.col_offset == 0:
            found[node.name] = node
    return found


@pytest.mark.parametrize(
    "runtime, stub_name, expected",
    [
        (nalo_limiter.limit, "limit",
         "(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0, axis=Ellipsis)"),
        (nalo_limiter.NaloLimiter, "NaloLimiter.__new__",
         "(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0)"),
        (nalo_limiter.NaloLimiter.process, "NaloLimiter.process", "(self, /, audio, axis=Ellipsis)"),
    ],
)
def test_signatures_match_the_documentation_and_the_stub(runtime, stub_name, expected):
    signature = inspect.signature(runtime)
    assert str(signature) == expected
    stub = stub_functions()[stub_name]
    stub_params = [a.arg for a in stub.args.args if a.arg not in ("self", "cls")]
    assert stub_params == [p for p in signature.parameters if p != "self"]
    stub_defaults = [ast.literal_eval(d) for d in stub.args.defaults]
    runtime_defaults = [p.default for p in signature.parameters.values() if p.default is not p.empty]
    assert stub_defaults == runtime_defaults


def test_stub_declares_every_property_with_its_type():
    runtime = {name: type(getattr(nalo_limiter.NaloLimiter(48000), name))
               for name, value in vars(nalo_limiter.NaloLimiter).items() if isinstance(value, property)
               or type(value).__name__ == "getset_descriptor"}
    stub = {name.split(".")[1]: node.returns.id for name, node in stub_functions().items()
            if any(getattr(d, "id", None) == "property" for d in node.decorator_list)}
    assert stub == {name: kind.__name__ for name, kind in runtime.items()}
    assert len(stub) == 7


def test_help_and_pydoc_render_the_documentation():
    text = pydoc.render_doc(nalo_limiter, renderer=pydoc.plaintext)
    # Python 3.13 puts each parameter of a long signature on a line of its own.
    text = re.sub(r"\(\s+", "(", re.sub(r",\n\s*", ", ", text))
    for needle in ("look-ahead brick-wall audio limiter", "class NaloLimiter",
                   "limit(audio, sample_rate, threshold_dBFS=0.0", "Limit mono or multichannel audio in one call.",
                   "process(self, /, audio, axis=", "int: Look-ahead latency in samples.",
                   "ValueError: If any configuration value is invalid."):
        assert needle in text
    assert "<dl>" in pydoc.render_doc(nalo_limiter.limit, renderer=pydoc.html)


def test_readme_quick_start_runs(capsys):
    readme = (ROOT / "README.md").read_text()
    code = readme.split("## Quick start", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    exec(compile(code, "README.md", "exec"), {})
    printed = capsys.readouterr().out.splitlines()
    assert printed[0] == "(2, 48000) float32 (48000,)"
    assert abs(float(printed[1]) + 1.0) < 1e-5 and abs(float(printed[2]) + 7.02) < 0.01
    assert printed[3] == "221"


def test_stubs_are_installed_where_type_checkers_look():
    module_dir = Path(nalo_limiter.__file__).parent
    if module_dir.name not in ("site-packages", "dist-packages"):
        pytest.skip("nalo_limiter is not installed from a wheel")
    assert (module_dir / "nalo_limiter-stubs" / "__init__.pyi").read_text() == STUB.read_text()


def test_mypy_types_calls_through_the_stubs(tmp_path):
    api = pytest.importorskip("mypy.api")
    (tmp_path / "use.py").write_text(
        "import numpy as np\n"
        "import nalo_limiter\n"
        "audio, gains = nalo_limiter.limit([[0.5, 2.0]], np.int64(48000), -1)\n"
        "reveal_type(gains)\n"
        "limiter = nalo_limiter.NaloLimiter(48000, attack_ms=2)\n"
        "reveal_type(limiter.release_samples)\n"
        "limiter.process(audio, axis=None)\n"
        "limiter.sample_rate = 1\n"
    )
    out, _, status = api.run(["--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(tmp_path / "use.py")])
    assert status == 1, out
    assert re.search(r'Revealed type is "numpy\.ndarray\[.*floating\[[\w.]*32Bit\]', out), out
    assert 'Revealed type is "builtins.float"' in out or 'Revealed type is "float"' in out
    assert 'Argument "axis" to "process" of "NaloLimiter" has incompatible type "None"' in out
    assert "Property \"sample_rate\" defined in \"NaloLimiter\" is read-only" in out
    assert out.count("error:") == 2
