"""The sample-model generator (python -m tools.samples): manifest, caching, contracts, detection, safety."""
import contextlib
import dataclasses
import hashlib
import importlib
import io
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent

# Object keys under which the verification package fetches its samples, with their framework.
FETCHED_KEYS = {
    "return_model_input.onnx": "onnx",
    "models_for_platform_testing/segmentation_models/onnx/decoder.onnx": "onnx",
    "resnet18.pt": "pytorch",
    "mobilenet_v2.pth": "torchscript",
    "mobilenet_v2.zip": "tf2",
    "mobilenet_v2.tar.gz": "tf2",
    "efficientnet_b0.zip": "tf2",
    "resnet50.zip": "tf2",
    "mobilenetv2.keras.h5": "keras",
    "mobilenet_v2_1.0_224.tflite": "tflite",
    "mobilenet_v2_bs1_fp32.mlmodel": "coreml",
    "resnet50_batchsize_1_mac_i5_openvino.pkl": "openvino",
    "cpu_optimized_models/resnext_101_32x4d_optimized_batch=16.pkl": "openvino",
    "cpu_optimized_models/resnet50_batch=64.zip": "openvino",
}


def run_tool(*args, env=None):
    e = {k: v for k, v in os.environ.items() if k != "OSTREL_SAMPLES_DIR"}
    e.update(env or {})
    return subprocess.run([sys.executable, "-m", "tools.samples", *map(str, args)], env=e, cwd=REPO,
                          capture_output=True, text=True, timeout=600)


@pytest.fixture
def tool(monkeypatch):
    """The generator's modules, imported from the checkout."""
    monkeypatch.syspath_prepend(str(REPO))
    return {name: importlib.import_module(f"tools.samples.{name}") for name in ("registry", "runner", "onnx_samples")}


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def snapshot(root):
    """path -> (inode, mtime_ns) of every file under root."""
    return {str(p.relative_to(root)): (p.stat().st_ino, p.stat().st_mtime_ns)
            for p in root.rglob("*") if p.is_file()}


@pytest.fixture(scope="session")
def samples(tmp_path_factory):
    out = tmp_path_factory.mktemp("samples")
    r = run_tool("--out", out)
    assert r.returncode == 0, r.stdout + r.stderr
    return out


@pytest.fixture(scope="session")
def manifest(samples):
    return json.loads((samples / "manifest.json").read_text())


def test_manifest_lists_every_file_with_its_hash(samples, manifest, tool):
    entries = manifest["samples"]
    on_disk = {str(p.relative_to(samples)) for p in samples.rglob("*") if p.is_file()} - {"manifest.json"}
    assert on_disk == {e["path"] for e in entries.values()}
    assert {e["path"] for e in entries.values()} == {s.path for s in tool["registry"].all_samples()}
    for e in entries.values():
        f = samples / e["path"]
        assert (sha256(f), f.stat().st_size) == (e["sha256"], e["size"]), e["path"]
    for key, framework in FETCHED_KEYS.items():
        assert [e["framework"] for e in entries.values() if e["path"] == key] == [framework], key
    assert sum(f.stat().st_size for f in samples.rglob("*")) < 20 * 2**20


def test_second_run_is_a_no_op(samples):
    before = snapshot(samples)
    manifest_before = (samples / "manifest.json").read_bytes()
    r = run_tool(env={"OSTREL_SAMPLES_DIR": str(samples)})  # the folder taken from the environment
    assert r.returncode == 0, r.stdout + r.stderr
    assert "up to date" in r.stdout and "built" not in r.stdout
    assert snapshot(samples) == before
    assert (samples / "manifest.json").read_bytes() == manifest_before


def test_stale_and_missing_samples_are_rebuilt_to_the_same_bytes(samples, manifest, tmp_path):
    out = tmp_path / "copy"
    shutil.copytree(samples, out)  # keeps the modification times
    decoder = "models_for_platform_testing/segmentation_models/onnx/decoder.onnx"
    with open(out / decoder, "ab") as f:
        f.write(b"tampered")
    (out / "mobilenet_v2.pth").unlink()
    (out / "resnet18.pt").unlink()
    before = snapshot(out)

    r = run_tool("--out", out)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "building 3," in r.stdout
    after = snapshot(out)
    changed = {p for p in after if after[p] != before.get(p)}
    assert changed == {decoder, "mobilenet_v2.pth", "resnet18.pt"}  # the manifest's content did not change
    # Built in a fresh process each, from fixed seeds: the same bytes as in the first run.
    recorded = {e["path"]: e["sha256"] for e in manifest["samples"].values()}
    for path in (decoder, "mobilenet_v2.pth", "resnet18.pt"):
        assert sha256(out / path) == recorded[path], path
    assert json.loads((out / "manifest.json").read_text()) == manifest
    assert not [p for p in out.rglob(".*tmp-*")]


def test_files_not_listed_in_the_manifest_are_never_overwritten(tmp_path):
    (tmp_path / "resnet18.pt").write_bytes(b"somebody's model")
    r = run_tool("--out", tmp_path)
    assert r.returncode != 0
    assert "resnet18.pt" in r.stderr and "--force" in r.stderr
    assert (tmp_path / "resnet18.pt").read_bytes() == b"somebody's model"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["resnet18.pt"]


def test_foreign_manifest_is_refused(tmp_path):
    (tmp_path / "manifest.json").write_text('{"samples": {}}')
    r = run_tool("--out", tmp_path)
    assert r.returncode != 0 and "not a manifest of this generator" in r.stderr
    assert (tmp_path / "manifest.json").read_text() == '{"samples": {}}'


def test_a_sample_that_breaks_its_contract_fails_loudly_and_replaces_nothing(tmp_path, monkeypatch, tool):
    registry, runner = tool["registry"], tool["runner"]
    add = registry.sample_by_name("onnx_add_1x4")
    monkeypatch.setattr(registry, "SAMPLE_SETS", [lambda: [add]])
    log = []
    assert runner.generate(tmp_path, jobs=0, log=log.append) == 0
    good = (tmp_path / add.path).read_bytes()
    manifest_before = (tmp_path / "manifest.json").read_text()

    # An identity of the first input in place of the sum: loads fine, but its values are wrong.
    broken = dataclasses.replace(add, builder=tool["onnx_samples"].build_onnx_identity)
    monkeypatch.setattr(registry, "SAMPLE_SETS", [lambda: [broken]])
    log.clear()
    assert runner.generate(tmp_path, force=True, jobs=0, log=log.append) == 1
    assert any("FAILED" in line and "not a + b" in line for line in log), log
    assert (tmp_path / add.path).read_bytes() == good
    assert (tmp_path / "manifest.json").read_text() == manifest_before
    assert sorted(p.name for p in (tmp_path / "onnx").iterdir()) == ["add_1x4.onnx"]


def test_recipe_digests_do_not_depend_on_the_code_layout(tool):
    """Digests as manifests written before record them: a tree generated earlier stays current."""
    recorded = {"return_model_input": "ffe7fc34d165f3f4", "mobilenet_v2": "4f4795920c183a82",
                "tflite_mobilenet_v2": "2aad33126771450f", "coreml_int32_input": "bc9a549773cdf53c",
                "openvino_ir_b1_xml": "928eb7233dfc7120", "trt_empty": "b160565efe5a7530"}
    got = {name: tool["registry"].sample_by_name(name).recipe_digest() for name in recorded}
    assert got == recorded


def test_the_earlier_command_line_still_runs_the_generator(tmp_path, tool):
    by_module = run_tool("--list")
    by_path = subprocess.run([sys.executable, str(REPO / "tools" / "make_samples.py"), "--list"], cwd=tmp_path,
                             capture_output=True, text=True, timeout=120)
    assert by_module.returncode == 0 and by_path.returncode == 0, by_module.stderr + by_path.stderr
    assert by_module.stdout == by_path.stdout
    listed = [line.split()[0] for line in by_module.stdout.splitlines()]
    assert listed == [s.path for s in tool["registry"].all_samples()]  # engine samples included


def test_onnx_samples_match_their_contracts(samples, manifest):
    ort = pytest.importorskip("onnxruntime")
    types = {"float32": "tensor(float)", "float64": "tensor(double)", "int64": "tensor(int64)"}
    for e in manifest["samples"].values():
        c = e["contract"]
        if c["loader"] != "onnxruntime":
            continue
        path = str(samples / e["path"])
        if not c["loadable"]:
            with pytest.raises(Exception):
                ort.InferenceSession(path, providers=["CPUExecutionProvider"])
            continue
        sess = ort.InferenceSession(path, providers=["CPUExecutionProvider"])
        got = [(i.name, list(i.shape), i.type) for i in sess.get_inputs()]
        assert got == [(t["name"], t["shape"], types[t["dtype"]]) for t in c["inputs"]], e["path"]
        assert [o.name for o in sess.get_outputs()] == [t["name"] for t in c["outputs"]], e["path"]
        assert [list(i.shape[1:]) for i in sess.get_inputs()] == c["input_dims"]

    main = manifest["samples"]["return_model_input"]["contract"]
    assert main["inputs"] == [{"name": "output", "shape": ["batch_size", 3, 224, 224], "dtype": "float32"}]
    assert main["batch"] == "dynamic" and main["static_batch_size"] is None
    decoder = manifest["samples"]["decoder"]
    assert decoder["contract"]["input_dims"] == [
        [243, 30, 40], [172, 60, 80], [102, 120, 160], [64, 240, 320], [153, 15, 20]]
    assert decoder["contract"]["static_batch_size"] == 1
    assert decoder["facts"]["profiled_layers"] >= 22
    assert decoder["size"] < 4 * 2**20


@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore:TypedStorage is deprecated")
def test_torch_samples_load_as_the_back_ends_load_them(samples):
    torch = pytest.importorskip("torch")
    from torch.package import PackageImporter

    model = PackageImporter(str(samples / "resnet18.pt")).load_pickle("tamsor_user_model", "model.pkl")
    assert isinstance(model, torch.nn.Module)
    state = PackageImporter(str(samples / "torch/state_dict_package.pt")).load_pickle("tamsor_user_model",
                                                                                       "model.pkl")
    assert isinstance(state, dict) and not isinstance(state, torch.nn.Module)
    x = torch.rand(3, 3, 224, 224)
    with torch.no_grad():
        assert model.eval()(x).shape == (3, 1000)
        for name in ("mobilenet_v2.pth", "torch/mobilenet_v2_traced.pth"):
            script = torch.jit.load(str(samples / name), map_location="cpu")
            assert isinstance(script, torch.jit.RecursiveScriptModule)
            assert script.eval()(x).shape == (3, 1000)
        two = torch.jit.load(str(samples / "torch/two_inputs_tuple.pth"))
        pair = two(torch.rand(2, 3, 32, 32), torch.rand(2, 10))
        assert isinstance(pair, tuple) and [t.shape for t in pair] == [(2, 10), (2, 8)]
    for name in ("torch/corrupt.pt", "onnx/corrupt.onnx"):
        with pytest.raises(Exception):
            torch.jit.load(str(samples / name))


def _runtime_detection(path):
    from ostrel.common.framework_detection import FrameworkDetector

    with contextlib.redirect_stdout(io.StringIO()):  # the detector prints its answer
        found = FrameworkDetector.detect_framework(str(path))
    return None if found is None else found.value


def test_manifest_records_what_the_runtime_detects(samples, manifest):
    entries = manifest["samples"]
    for e in entries.values():
        assert _runtime_detection(samples / e["path"]) == e["detected_as"], e["path"]
    pinned = {
        "tflite_mobilenet_v2": ("tflite", "structure"),  # a flat buffer without the marker
        "coreml_int32_input": ("coreml", "structure"),  # no converter metadata
        "coreml_mobilenet_v2": ("coreml", "markers"),
        "openvino_ir_b1_xml": ("openvino", "structure"),
        "openvino_ir_b1_bin": (None, None),
        "mobilenet_v2": ("torchscript", "markers"),
        "resnet18": (None, None),
    }
    assert {n: (entries[n]["detected_as"], entries[n]["detected_by"]) for n in pinned} == pinned


def test_expected_detection_matches_strings_and_grep(samples, manifest):
    """The marker table's answer, recomputed the way the runtime scans: `strings FILE | grep MARKER`.
    Files recognised by their structure hold no marker."""
    if not (shutil.which("strings") and shutil.which("grep")):
        pytest.skip("strings/grep not installed")
    markers = manifest["detection_markers"]
    for e in manifest["samples"].values():
        detected = None
        for framework, marker in markers.items():
            strings = subprocess.run(["strings", str(samples / e["path"])], capture_output=True,
                                     check=True).stdout
            grep = subprocess.run(["grep", marker], input=strings, capture_output=True)
            if grep.returncode == 0 and marker in grep.stdout.decode():
                detected = framework
                break
        assert detected == (e["detected_as"] if e["detected_by"] == "markers" else None), e["path"]


def test_a_manifest_written_before_gets_the_detection_without_any_rebuild(samples, manifest, tmp_path):
    out = tmp_path / "earlier"
    shutil.copytree(samples, out)
    earlier = json.loads(json.dumps(manifest))
    earlier.update(format=1, generator="tools/make_samples.py")
    for e in earlier["samples"].values():  # the marker table's answer only, as such manifests hold it
        if e.pop("detected_by") == "structure":
            e["detected_as"] = None
    (out / "manifest.json").write_text(json.dumps(earlier, indent=2) + "\n")
    before = snapshot(out)

    r = run_tool("--out", out)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "building 0," in r.stdout and f"detection of {len(manifest['samples'])} " in r.stdout
    after = snapshot(out)
    assert {p for p in after if after[p] != before.get(p)} == {"manifest.json"}
    assert json.loads((out / "manifest.json").read_text()) == manifest
    assert "up to date" in run_tool("--out", out).stdout
