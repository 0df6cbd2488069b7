"""The engine builder `tests.test_utils.onnx_to_trt` over the TensorRT, pycuda and GPUtil stand-ins.

The builder exists only where the machine probe sees a GPU, so everything runs in child interpreters:
the command line as `python -m`, the module's API through snippets, both with the stand-ins on the path.
"""
import os
import pickle
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
PLATFORM = REPO / "platform"
GPU = [PLATFORM / "tensorrt", PLATFORM / "pycuda", PLATFORM / "GPUtil"]
MODULE = "tests.test_utils.onnx_to_trt"


def _onnx(path, inputs):
    """A small ONNX model: `inputs` are (name, shape) with "batch" for a symbolic axis; every node is a
    Relu of one input into an output of the same shape."""
    import onnx
    from onnx import TensorProto, helper

    ins = [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in inputs]
    outs = [helper.make_tensor_value_info(f"y_{n}", TensorProto.FLOAT, s) for n, s in inputs]
    graph = helper.make_graph([helper.make_node("Relu", [n], [f"y_{n}"], name=f"relu_{n}") for n, _ in inputs],
                              path.stem, ins, outs)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.save(model, str(path))
    return path


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    folder = tmp_path_factory.mktemp("models")
    corrupt = folder / "corrupt.onnx"
    corrupt.write_bytes(b"\x08\x07 this is not a model")
    return {
        "two_inputs": _onnx(folder / "two_inputs.onnx", [("a", ["batch", 3]), ("b", ["batch", 2, 5])]),
        "static": _onnx(folder / "static.onnx", [("x", [1, 4])]),
        "corrupt": corrupt,
    }


@pytest.fixture
def run(tmp_path):
    """Runs `python -m` of the builder (code None) or a snippet, with `paths` as PYTHONPATH."""
    home = tmp_path / "home"
    home.mkdir()

    def go(argv=(), code=None, paths=GPU):
        env = dict(os.environ, HOME=str(home), PYTHONPATH=os.pathsep.join(str(p) for p in paths))
        cmd = [sys.executable, "-m", MODULE] if code is None else [sys.executable, "-c", textwrap.dedent(code)]
        return subprocess.run(cmd + [str(a) for a in argv], env=env, cwd=tmp_path, capture_output=True, text=True)

    return go


def test_command_line_writes_a_checkpoint_per_level(run, models, tmp_path):
    src = models["two_inputs"]
    engines = {}
    for level, precision in [("fp32", "FP32"), ("FP16", "FP16"), ("fP16", "FP16"), ("Int8", "INT8"),
                             ("hybrid", "Hybrid"), ("HYBRID", "Hybrid")]:
        out = tmp_path / f"{level}.pkl"
        r = run([src, out, level, "6"])
        assert r.returncode == 0, r.stderr
        lines = r.stdout.splitlines()
        assert f"Building engine from file {src}" in lines
        assert lines[-1] == (f"Successfully converted {src} to {out} with max batch size 6 and {precision} "
                             "quantization."), r.stdout
        data = out.read_bytes()
        assert data[:2] == b"\x80\x04"  # one protocol-4 record
        record = pickle.loads(data)
        assert list(record) == ["engine", "compiler", "precision"]
        assert record["compiler"] == "trt" and record["precision"] == precision
        assert type(record["engine"]) is bytes
        engines[level] = record["engine"]
    # only FP16 changes the engine
    assert engines["fp32"] == engines["Int8"] == engines["hybrid"] == engines["HYBRID"]
    assert engines["FP16"] == engines["fP16"] != engines["fp32"]


def test_module_api(run, models):
    r = run(code=f"""
        import warnings
        import tensorrt as trt
        import pycuda.autoinit
        from tests.test_utils import onnx_to_trt as m
        Q = m.QuantizationLevel

        assert [(q.name, q.value) for q in Q] == [("FP32", "FP32"), ("FP16", "FP16"), ("INT8", "INT8"),
                                                  ("HYBRID", "Hybrid")]
        assert Q.HYBRID == "Hybrid" and isinstance(Q.FP16, str) and f"{{Q.HYBRID}}" == "Hybrid"
        for text, want in [("fp32", Q.FP32), ("Fp16", Q.FP16), ("INT8", Q.INT8), ("hybrid", Q.HYBRID),
                           ("HYBRID", Q.HYBRID)]:
            assert Q.from_string(text) is want, text
        for text in ("FP64", "", "fp 16"):
            try:
                Q.from_string(text)
            except NotImplementedError as e:
                assert str(e) == 'Quantization Level: "' + text.lower() + '" is not supported', e
            else:
                raise AssertionError(text)

        build = m.build_trt_engine_from_onnx_ckpt
        assert build.__doc__.lstrip().startswith("A function for building a trt.ICudaEngine graph from an ONNX")
        assert "Currently supported FP32 and FP16." in build.__doc__
        engine = build({str(models["two_inputs"])!r}, 6)
        assert engine.num_optimization_profiles == 1
        assert [list(map(tuple, engine.get_profile_shape(0, n))) for n in ("a", "b")] == [
            [(1, 3), (6, 3), (6, 3)], [(1, 2, 5), (6, 2, 5), (6, 2, 5)]]
        # the member equals its text, so the plain text "FP16" selects half precision and "fp16" does not
        blob = lambda *a: bytes(build({str(models["two_inputs"])!r}, 6, *a).serialize())
        assert blob("FP16") == blob(Q.FP16) != blob("fp16") == blob(Q.FP32) == bytes(engine.serialize())
        assert m.logger.name == "onnx-to-trt-converter"
        print("ok")
        """)
    assert r.returncode == 0 and r.stdout.endswith("ok\n"), r.stdout + r.stderr


def test_failures_write_nothing(run, models, tmp_path):
    out = tmp_path / "out.pkl"
    out.write_bytes(b"old")
    src = models["two_inputs"]
    cases = [
        # (argv, exit status or None for any error status, text in stderr, anything printed)
        ([models["corrupt"], out, "fp32", "4"], 1, "failed to parse the ONNX model", True),
        ([models["static"], out, "fp32", "4"], None, "could not build an engine", True),
        ([src, out, "fp64", "4"], None, 'Quantization Level: "fp64" is not supported', False),
        ([src, out, "fp32", "four"], None, "invalid literal for int()", False),
        ([src, out, "fp32"], None, "IndexError", False),
        (["", out, "fp32", "4"], None, "Please specify an onnx input file as first argument", False),
        ([src, "", "fp32", "4"], None, "Please specify a trt output file as second argument", False),
        ([tmp_path / "missing.onnx", out, "fp32", "4"], None, "The input file does not exist.", False),
    ]
    for argv, status, text, printed in cases:
        r = run(argv)
        assert r.returncode != 0 and (status is None or r.returncode == status), (argv, r.returncode, r.stderr)
        assert text in r.stderr, (argv, r.stderr)
        assert ("Building engine from file" in r.stdout) == printed, (argv, r.stdout)
        assert out.read_bytes() == b"old"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["home", "out.pkl"]
    # the static model builds when its batch is the model's own
    assert run([models["static"], out, "fp32", "1"]).returncode == 0 and out.read_bytes() != b"old"

    # a model that does not parse is an error of the function, not an exit of the caller's process
    r = run(code=f"""
        from tests.test_utils import onnx_to_trt as m
        try:
            m.build_trt_engine_from_onnx_ckpt({str(models["corrupt"])!r}, 4)
        except ValueError as e:
            assert isinstance(e, m.OnnxParseError) and "failed to parse the ONNX model" in str(e), e
        else:
            raise AssertionError("parsed")
        assert m.build_trt_engine_from_onnx_ckpt({str(models["static"])!r}, 4) is None
        print("still running")
        """)
    assert r.returncode == 0 and "still running" in r.stdout, r.stderr


@pytest.mark.parametrize("paths, error", [([], None), ([PLATFORM / "GPUtil", PLATFORM / "pycuda"], "NameError")],
                         ids=["no GPU", "GPU without TensorRT"])
def test_without_a_gpu_or_tensorrt(run, models, tmp_path, paths, error):
    out = tmp_path / "out.pkl"
    r = run([models["two_inputs"], out, "fp32", "4"], paths=paths)
    warning = 'problem importing package: "tensorrt" (this will effect execution only if using tensorrt)'
    assert warning in r.stdout, r.stdout
    assert not out.exists()
    if error is None:
        assert r.returncode == 0 and "Building engine" not in r.stdout, r.stdout + r.stderr
        r = run(code=f"""
            from tests.test_utils import onnx_to_trt as m
            assert not hasattr(m, "QuantizationLevel") and not hasattr(m, "build_trt_engine_from_onnx_ckpt")
            assert not hasattr(m, "trt") and m.logger.name == "onnx-to-trt-converter"
            """, paths=paths)
        assert r.returncode == 0, r.stderr
    else:
        assert r.returncode == 1 and error in r.stderr, r.stderr
