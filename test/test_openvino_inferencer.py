"""The OpenVINO back-end: checkpoint pointers, unpacking of pickled and zipped checkpoints (with the
restricted record reader and the folder clean-up), OpenVinoInferencer's loading, errors, shapes,
prediction and benchmark, and the load road through ostrel.load."""
import logging
import os
import pickle
import re
import shutil
import tempfile
import threading
import types
import zipfile
from pathlib import Path

import numpy as np
import onnx
import onnxruntime
import openvino as ov
import pytest
from onnx import TensorProto, helper, numpy_helper

import ostrel
import ostrel.frameworks.openvino_inferencer as ov_module
from ostrel.common import exceptions as exc
from ostrel.frameworks.engines.engine_utils import openvino_checkpoint as ckpt
from ostrel.frameworks.openvino_inferencer import OpenVinoInferencer

IR_B1 = "openvino/convnet_batch_1.xml"
IR_B16 = "openvino/convnet_batch_16.xml"
IR_FP16 = "openvino/convnet_fp16_batch_1.xml"
IR_TWO = "openvino/two_inputs_batch_1.xml"
PKL_B1 = "resnet50_batchsize_1_mac_i5_openvino.pkl"
ZIP_B64 = "cpu_optimized_models/resnet50_batch=64.zip"
MARKER = "ostrel-openvino-record-was-run.txt"  # what the hostile sample's record would create
NEEDED = [IR_B1, IR_B16, IR_FP16, IR_TWO, PKL_B1, ZIP_B64] + [f"openvino/{n}" for n in (
    "plain_xml_record.pkl", "with_mapping.pkl", "one_record.pkl", "empty.pkl", "names_a_global.pkl",
    "in_subfolder.zip", "upper_case_name.zip", "parent_member.zip")]
BOTH_INPUT_KINDS = "Please specify explicitly: either use 'x' argument OR pass keyword arguments for multiple inputs."


def path(samples, name):
    return str(samples / name)


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """The process's temporary directory moved to an empty folder, so unpack folders can be seen."""
    d = tmp_path / "system-tmp" / "level"
    d.mkdir(parents=True)
    monkeypatch.setattr(tempfile, "tempdir", str(d))
    monkeypatch.chdir(tmp_path)
    return d


def own_output(xml, x):
    """The compiled model's own output for x (a fresh compilation of the same IR on the CPU)."""
    compiled = ov.Core().compile_model(xml, "CPU")
    return compiled({"input": x})[compiled.outputs[0]]


def image(batch=1, seed=0):
    return np.random.default_rng(seed).random((batch, 3, 224, 224), dtype=np.float32)


# ---- checkpoint pointer ------------------------------------------------------------------------------

@pytest.mark.parametrize("given, kind", [("m.pkl", "pkl"), ("/d/m.tar.zip", "zip"), ("model.xml", "xml"),
                                         ("missing.zip", "zip"), ("d/model.xml/", "xml"), ("d/./m.xml/.//", "xml"),
                                         (Path("d/m.pkl"), "pkl")])
def test_pointer_from_path(given, kind):
    pointer = ckpt.OpenVinoCheckpointPointer.get_openvino_checkpoint_pointer_from_path(given)
    assert type(pointer) is dict and list(pointer.items()) == [("checkpoint_path", given), ("type", kind)]
    assert pointer["type"] == ckpt.OpenVinoCheckpointTypes(kind)


@pytest.mark.parametrize("given", ["model", ".pkl", "model.", "dir.old/model", "..", "d.xml/..", "//"])
def test_pointer_without_suffix(given):
    with pytest.raises(ckpt.OpenVinoCheckpointTypeResolutionError, match="should have a valid file suffix"):
        ckpt.OpenVinoCheckpointPointer.get_openvino_checkpoint_pointer_from_path(given)
    assert not issubclass(ckpt.OpenVinoCheckpointTypeResolutionError, exc.OstrelError)


@pytest.mark.parametrize("given", ["m.onnx", "M.XML"])
def test_pointer_of_another_kind(given):
    with pytest.raises(Exception) as e:
        ckpt.OpenVinoCheckpointPointer.get_openvino_checkpoint_pointer_from_path(given)
    assert type(e.value) is Exception and isinstance(e.value.__cause__, ValueError)
    assert str(e.value) == f"The file type is not supported for OpenVino: {given}. Please use one of ['zip', 'pkl', 'xml']"


def test_checkpoint_kinds_are_their_text():
    T = ckpt.OpenVinoCheckpointTypes
    assert [m.value for m in T] == ["zip", "pkl", "xml"] and T.PICKLE == "pkl" and {T.ZIP: 1}["zip"] == 1
    assert f"{T.XML}" == "xml"
    assert ckpt.OpenVinoCheckpointPointer(checkpoint_path="a.xml").dict() == {"checkpoint_path": "a.xml",
                                                                              "type": T.XML}


# ---- pickled checkpoints -----------------------------------------------------------------------------

def unpack_folders(scratch):
    return sorted(p.name.split("_")[0] for p in scratch.iterdir())


def test_unpickle_writes_the_pair_under_the_checkpoint_stem(samples, scratch, tmp_path):
    source = tmp_path / "net.small.pkl"
    shutil.copyfile(path(samples, PKL_B1), source)
    xml = ckpt.unpickle_openvino_checkpoint_files(str(source))
    folder = Path(xml).parent
    assert folder.parent == scratch and folder.name.startswith("unpickle_")
    assert xml == os.path.join(str(folder), "net.small.xml")
    assert sorted(os.listdir(folder)) == ["net.small.bin", "net.small.xml"]  # two records: no mapping
    assert Path(xml).read_bytes().startswith(b"<?xml version='1.0' encoding='utf8'?>\n<net ")  # decrypted


def test_unpickle_plain_description_and_mapping_records(samples, scratch):
    xml = ckpt.unpickle_openvino_checkpoint_files(path(samples, "openvino/plain_xml_record.pkl"))
    assert Path(xml).read_bytes().startswith(b"<?xml")
    xml = ckpt.unpickle_openvino_checkpoint_files(path(samples, "openvino/with_mapping.pkl"))
    assert Path(xml).with_suffix(".mapping").read_text() == "<mapping>\n</mapping>\n"


@pytest.mark.parametrize("protocol", range(6))  # 0 to 2 store bytes through _codecs.encode
def test_records_of_every_protocol_with_bytes_are_read(scratch, tmp_path, protocol):
    source = tmp_path / "m.pkl"
    mapping = b"" if protocol >= 3 else b"m"  # below 3, empty bytes are written as a call of bytes()
    with open(source, "wb") as f:
        for record in (b"<net/>", b"\x00\xff weights", mapping, b"trailing data is never read"):
            pickle.dump(record, f, protocol=protocol)
    xml = Path(ckpt.unpickle_openvino_checkpoint_files(str(source)))
    assert (xml.read_bytes(), xml.with_suffix(".bin").read_bytes(), xml.with_suffix(".mapping").read_bytes()) == (
        b"<net/>", b"\x00\xff weights", mapping)


@pytest.mark.parametrize("name, error", [
    ("empty.pkl", "Ran out of input"),
    ("one_record.pkl", "Ran out of input"),
    ("names_a_global.pkl", "global 'io.open' is forbidden"),
])
def test_unpickle_failures_are_wrapped_and_leave_nothing(samples, scratch, tmp_path, name, error):
    given = path(samples, f"openvino/{name}")
    with pytest.raises(Exception) as e:
        ckpt.unpickle_openvino_checkpoint_files(given)
    assert type(e.value) is Exception and str(e.value) == f"failed to unpickle file {given}, err: {error}"
    assert e.value.__cause__ is not None
    assert os.listdir(scratch) == []  # the new folder went with the failure
    assert not (tmp_path / MARKER).exists()  # the hostile record ran nothing


def test_records_that_are_not_bytes_or_name_code(scratch, tmp_path):
    source = tmp_path / "m.pkl"
    source.write_bytes(pickle.dumps(["a", {"plain": (1, 2.5, None)}], protocol=4) + pickle.dumps(b"w"))
    with pytest.raises(Exception, match="^failed to unpickle file .*m.pkl, err: ") as e:
        ckpt.unpickle_openvino_checkpoint_files(str(source))
    assert isinstance(e.value.__cause__, TypeError)  # read as plain data, refused when written
    source.write_bytes(pickle.dumps(b"abc", protocol=4)[:-3])
    with pytest.raises(Exception, match="pickle data was truncated"):
        ckpt.unpickle_openvino_checkpoint_files(str(source))
    assert os.listdir(scratch) == []


class Hostile:
    def __init__(self, marker):
        self.marker = marker

    def __reduce__(self):
        return (os.system, (f"touch {self.marker}",))


@pytest.mark.parametrize("protocol", range(6))
def test_a_record_naming_a_callable_runs_nothing(scratch, tmp_path, protocol):
    marker = tmp_path / "ran"
    source = tmp_path / "m.pkl"
    source.write_bytes(pickle.dumps(Hostile(marker), protocol=protocol) + pickle.dumps(b"w"))
    with pytest.raises(Exception, match="global '(posix|os).system' is forbidden") as e:
        ckpt.unpickle_openvino_checkpoint_files(str(source))
    assert isinstance(e.value.__cause__, exc.FailedToLoadCheckpointError)
    assert not marker.exists() and os.listdir(scratch) == []


def test_deep_records_fail_cleanly_whatever_the_recursion_limit(scratch, tmp_path, run_python):
    source = tmp_path / "m.pkl"
    source.write_bytes(b"\x80\x04" + b"]" * 35000 + b"a" * 34999 + b".")  # lists nested 35000 deep
    run_python(f"""
import sys
sys.setrecursionlimit(100000)
from ostrel.frameworks.engines.engine_utils import openvino_checkpoint as ckpt
try:
    ckpt.unpickle_openvino_checkpoint_files({str(source)!r})
except Exception as e:
    assert "nested deeper than 1000 levels" in str(e), str(e)
else:
    raise AssertionError("read")
""")


def test_a_checkpoint_that_shrinks_while_it_loads_fails_and_leaves_nothing(scratch, tmp_path, run_python):
    """1 GiB of weights (a sparse file) cut down while the records are copied out: an exception, no signal."""
    source = tmp_path / "big.pkl"
    with open(source, "wb") as f:
        pickle.dump(b"<net/>", f, protocol=4)
        size = 1 << 30
        f.write(b"\x80\x04\x8e" + size.to_bytes(8, "little"))
        f.truncate(f.tell() + size)
        f.seek(0, 2)
        f.write(b".")
    run_python(f"""
import os, tempfile, threading, time
tempfile.tempdir = {str(scratch)!r}
from ostrel.common.exceptions import FailedToLoadCheckpointError
from ostrel.frameworks.openvino_inferencer import OpenVinoInferencer
def cut():
    # as soon as the weights are being read, most of them go
    while not any(n.endswith(".xml") for d in os.listdir({str(scratch)!r}) for n in os.listdir(os.path.join({str(scratch)!r}, d))):
        time.sleep(0.001)
    os.truncate({str(source)!r}, 1 << 20)
threading.Thread(target=cut, daemon=True).start()
try:
    OpenVinoInferencer({str(source)!r})
except FailedToLoadCheckpointError as e:
    chain = repr(e.__cause__) + repr(e.__cause__.__cause__)
    assert "truncated" in chain, chain
else:
    raise AssertionError("loaded")
assert os.listdir({str(scratch)!r}) == [], os.listdir({str(scratch)!r})
""")


def test_missing_pickle_raises_the_open_error_and_makes_no_folder(scratch):
    with pytest.raises(FileNotFoundError):
        ckpt.unpickle_openvino_checkpoint_files("no-such.pkl")
    assert os.listdir(scratch) == []


# ---- zipped checkpoints ------------------------------------------------------------------------------

def test_ctrl_c_while_a_large_zip_unpacks_leaves_nothing(scratch, tmp_path, run_python):
    source = tmp_path / "big.zip"
    with zipfile.ZipFile(source, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        z.writestr("m.xml", b"<net/>")
        with z.open("m.bin", "w", force_zip64=True) as f:
            chunk = bytes(1 << 24)
            for _ in range(128):  # 2 GiB of weights
                f.write(chunk)
    r = run_python(f"""
import os, signal, tempfile, threading, time
tempfile.tempdir = {str(scratch)!r}
from ostrel.frameworks.engines.engine_utils import openvino_checkpoint as ckpt
threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
started = time.monotonic()
try:
    ckpt.unzip_openvino_checkpoint_file({str(source)!r})
except KeyboardInterrupt:
    print("interrupted after", time.monotonic() - started)
""")
    assert "interrupted" in r.stdout, r.stdout + r.stderr
    assert os.listdir(scratch) == []


def test_unzip_returns_the_last_xml_member(scratch, tmp_path):
    source = tmp_path / "m.zip"
    with zipfile.ZipFile(source, "w") as z:
        for name in ("a.xml", "sub/b.xml", "sub/b.bin", "MODEL.XML"):
            z.writestr(name, b"x")
    xml = ckpt.unzip_openvino_checkpoint_file(str(source))
    folder = Path(xml).parent.parent
    assert folder.parent == scratch and folder.name.startswith("checkpoints_")
    assert xml == os.path.join(str(folder), "sub", "b.xml")
    assert sorted(os.listdir(folder)) == ["MODEL.XML", "a.xml", "sub"]


@pytest.mark.parametrize("name, error", [
    ("openvino/upper_case_name.zip", "No xml file was found in openvino_checkpoint zip {given}"),
    ("openvino/parent_member.zip", None),
    ("openvino/missing.zip", "[Errno 2] No such file or directory: '{given}'"),
    ("openvino/empty.pkl", "File is not a zip file"),
])
def test_unzip_failures_are_wrapped_and_leave_nothing(samples, scratch, tmp_path, name, error):
    given = path(samples, name)
    with pytest.raises(Exception) as e:
        ckpt.unzip_openvino_checkpoint_file(given)
    assert type(e.value) is Exception and str(e.value).startswith(f"Failed to extract file from zip {given}, err: ")
    if error:
        assert str(e.value).endswith(error.format(given=given))
    assert os.listdir(scratch) == [] and not (scratch.parent / "x").exists()


# ---- loading -----------------------------------------------------------------------------------------

def test_ir_loads_with_its_shapes_types_and_batch(samples, monkeypatch):
    removed = []
    monkeypatch.setattr(ov_module, "shutil", type("S", (), {"rmtree": staticmethod(removed.append)}))
    inf = OpenVinoInferencer(path(samples, IR_B1), logging_verbosity=logging.DEBUG)
    assert (inf.input_names, inf.expected_input_shapes) == (["input"], [(1, 3, 224, 224)])
    assert (inf.input_dims, inf.static_batch_size, inf._inference_dtype) == ([(3, 224, 224)], 1, [np.float32])
    assert inf.framework_type == "openvino" and inf.framework_version == ov.get_version()
    assert removed == []  # a plain .xml checkpoint: nothing is removed
    assert inf.deserialize_file_if_needed({"checkpoint_path": "a.xml", "type": "xml"}) == (
        {"checkpoint_path": "a.xml", "type": "xml"}, False)
    inf._dispose_all_resources()
    inf._dispose_all_resources()
    assert not hasattr(inf, "model")


def test_pickled_sample_loads_through_ostrel_load_and_cleans_up(samples, scratch):
    model = ostrel.load(path(samples, PKL_B1), framework_type="openvino")
    inf = model._LoadedModel__inferencer
    assert inf._inference_hardware == "cpu"
    assert (inf.input_dims, inf.static_batch_size) == ([(3, 224, 224)], 1)
    x = image()
    outputs = model.predict(x)
    assert type(outputs) is list and len(outputs) == 1
    np.testing.assert_array_equal(outputs[0], own_output(path(samples, IR_B1), x))
    assert os.listdir(scratch) == []  # no unpickle_ folder left


@pytest.mark.parametrize("name, batch", [
    ("cpu_optimized_models/resnext_101_32x4d_optimized_batch=16.pkl", 16), (ZIP_B64, 64)])
def test_packed_samples_on_the_load_road(samples, scratch, name, batch):
    model = ostrel.load(path(samples, name), framework_type="openvino", inference_hardware="cpu",
                        input_dims=[(3, 224, 224)])
    (y,) = model.predict(image(batch))
    assert y.shape == (batch, 10)
    assert model.benchmark(batch_size=batch, repetitions=2, warmup_calls=1).batch_size == batch
    assert os.listdir(scratch) == []


@pytest.mark.parametrize("name", ["openvino/in_subfolder.zip", ZIP_B64])
def test_zipped_checkpoints_remove_the_whole_unpack_folder(samples, scratch, name):
    for _ in range(2):  # the model in a sub-folder or at the root: nothing stays, load after load
        OpenVinoInferencer(path(samples, name))
        assert os.listdir(scratch) == []


def test_weights_beside_the_xml_and_the_older_name(samples, tmp_path):
    for weights_dir in ("net.xml.d", "net.bin.d"):  # the final suffix first; every ".xml" replaced only as fallback
        d = tmp_path / weights_dir
        d.mkdir()
        shutil.copyfile(path(samples, IR_B1).replace(".xml", ".bin"), d / "m.bin")
    (tmp_path / "net.xml.d" / "m.xml").write_bytes(Path(path(samples, IR_B1)).read_bytes())
    OpenVinoInferencer(str(tmp_path / "net.xml.d" / "m.xml"))
    (tmp_path / "net.xml.d" / "m.bin").unlink()
    OpenVinoInferencer(str(tmp_path / "net.xml.d" / "m.xml"))


@pytest.mark.parametrize("name, error, text", [
    ("openvino/one_record.pkl", exc.FailedToLoadCheckpointError, "failed to unpickle file .*Ran out of input"),
    ("openvino/upper_case_name.zip", exc.FailedToLoadCheckpointError, "No xml file was found"),
    ("openvino/parent_member.zip", exc.FailedToLoadCheckpointError, "Failed to extract file from zip"),
    ("openvino/names_a_global.pkl", exc.FailedToLoadCheckpointError, "global 'io.open' is forbidden"),
    ("openvino/no-suffix", exc.FailedToLoadCheckpointError, "should have a valid file suffix"),
    ("return_model_input.onnx", exc.FailedToLoadCheckpointError, "not supported for OpenVino"),
    ("openvino/missing.xml", exc.ModelFrameworkRuntimeError, "^Framework runtime error: "),
])
def test_load_errors_carry_the_caught_text_and_leave_nothing(samples, scratch, tmp_path, name, error, text):
    with pytest.raises(error, match=text) as e:
        OpenVinoInferencer(path(samples, name))
    assert e.value.__cause__ is not None
    assert os.listdir(scratch) == [] and not (tmp_path / MARKER).exists()


def test_members_climbing_out_load_nothing_and_delete_nothing(samples, scratch):
    outside = scratch.parent / "x"  # where "../../x/m.xml" would land from the extraction folder
    outside.mkdir()
    for suffix in (".xml", ".bin"):
        shutil.copyfile(path(samples, IR_B1)[:-4] + suffix, outside / f"m{suffix}")
    with pytest.raises(exc.FailedToLoadCheckpointError, match="Failed to extract file from zip"):
        OpenVinoInferencer(path(samples, "openvino/parent_member.zip"))
    assert sorted(os.listdir(outside)) == ["m.bin", "m.xml"] and os.listdir(scratch) == []


def test_nothing_outside_an_unpack_folder_is_removed(samples, scratch, tmp_path, monkeypatch, recorded):
    model_dir = tmp_path / "models"
    model_dir.mkdir()
    for suffix in (".xml", ".bin"):
        shutil.copyfile(path(samples, IR_B1)[:-4] + suffix, model_dir / f"m{suffix}")
    monkeypatch.setattr(ov_module, "unzip_openvino_checkpoint_file", lambda p: str(model_dir / "m.xml"))
    inf = recorded(OpenVinoInferencer)("anything.zip")
    assert sorted(os.listdir(model_dir)) == ["m.bin", "m.xml"]
    assert (logging.WARNING, f"Not removing {model_dir}: it is not inside a folder made for unpacking the "
                             "checkpoint.") in inf._logger.records


@pytest.mark.parametrize("raised", [ValueError("bad shape"), OSError("disk"), KeyboardInterrupt()])
def test_a_load_that_fails_in_the_runtime_leaves_no_unpack_folder(samples, scratch, monkeypatch, raised):
    def core():
        raise raised

    monkeypatch.setattr(ov_module, "Core", core)
    with pytest.raises(BaseException):
        OpenVinoInferencer(path(samples, PKL_B1))
    assert os.listdir(scratch) == []


def test_failed_network_load_removes_the_unpack_folder(samples, scratch, tmp_path):
    source = tmp_path / "no_weights.zip"
    with zipfile.ZipFile(source, "w") as z:
        z.writestr("model/m.xml", Path(path(samples, IR_B1)).read_bytes())
    with pytest.raises(exc.ModelFrameworkRuntimeError):
        OpenVinoInferencer(str(source))
    assert os.listdir(scratch) == []


def test_failed_removal_after_a_load_is_a_warning(samples, scratch, monkeypatch, recorded):
    def refuse(folder):
        raise PermissionError(13, "Permission denied", folder)

    monkeypatch.setattr(ov_module, "shutil", type("S", (), {"rmtree": staticmethod(refuse)}))
    inf = recorded(OpenVinoInferencer)(path(samples, PKL_B1))
    assert inf.predict(image())[0].shape == (1, 10)  # the loaded model stays
    (folder,) = scratch.iterdir()
    levels = dict(inf._logger.records)
    assert levels[logging.WARNING] == (f"Failed to remove the unpacked checkpoint folder {folder}: "
                                       f"[Errno 13] Permission denied: '{folder}'")
    assert levels[logging.DEBUG] == (f"Loaded the model {path(samples, PKL_B1)} successfully. "
                                     "Input shape: [(1, 3, 224, 224)]")


def test_unknown_precision_propagates_from_the_dtype_hook(samples, monkeypatch):
    monkeypatch.setattr(ov_module, "format_map", {})
    with pytest.raises(KeyError, match="FP32"):
        OpenVinoInferencer(path(samples, IR_B1))


def test_gpu_refused_and_extra_keywords_rejected(samples):
    with pytest.raises(exc.OstrelError):
        ostrel.load(path(samples, PKL_B1), framework_type="openvino", inference_hardware="gpu")
    with pytest.raises(TypeError):
        OpenVinoInferencer(path(samples, IR_B1), inference_dtype=np.float32)


def test_converter_ir_is_detected(samples):
    model = ostrel.load(path(samples, IR_B1))
    assert model._LoadedModel__inferencer.framework_type == "openvino"


# ---- prediction --------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def b1(samples):
    return OpenVinoInferencer(path(samples, IR_B1))


def test_predict_forms(b1):
    x = image()
    listed = b1.predict(x)
    assert type(listed) is list and listed[0].shape == (1, 10)
    np.testing.assert_array_equal(b1.predict([x])[0], listed[0])
    named = b1.predict(input=x)
    assert type(named) is dict and list(named) == ["output"]
    np.testing.assert_array_equal(named["output"], listed[0])
    np.testing.assert_array_equal(b1(x)[0], listed[0])
    with pytest.raises(ValueError, match=f"^{BOTH_INPUT_KINDS}$"):
        b1.predict(x, input=x)
    with pytest.raises(IndexError):
        b1.predict([x, x])
    for other in ((x,), {"input": x}):  # a tuple and a mapping by input name feed as the array does
        np.testing.assert_array_equal(b1.predict(other)[0], listed[0])
    for bad in ("input", {1}, None.__class__):
        with pytest.raises(TypeError, match=f"got a value of type '{type(bad).__name__}'"):
            b1.predict(bad)
    for call in (lambda: b1.predict(None), lambda: b1.predict(), lambda: b1.predict(x=None)):
        with pytest.raises(TypeError, match="^predict\\(\\) needs the model's inputs: .*got None$"):
            call()


class ShapeFails(np.ndarray):
    @property
    def shape(self):
        raise RuntimeError("no shape")


class PairlessMapping(dict):
    def items(self):
        return [("input",)]


@pytest.mark.parametrize("given, error, text", [
    (np.zeros((1, 3, 224, 224), np.float32).view(ShapeFails), RuntimeError, "no shape"),
    (PairlessMapping(input=image()), TypeError, "the items of a mapping of inputs must be (name, array) pairs"),
    ([], KeyError, "OpenVino's model takes the inputs ['input']; the call gave values for [] only."),
])
def test_a_feed_that_fails_reaches_the_caller(b1, given, error, text):
    with pytest.raises(error, match=re.escape(text)):
        b1.predict(given)
    assert b1.predict(image())[0].shape == (1, 10)


@pytest.mark.parametrize("shape", [(2, 3, 224, 224), (3, 224, 224), (1, 3, 224, 225)])
def test_predict_checks_the_exact_shape(b1, shape):
    with pytest.raises(AssertionError) as e:
        b1.predict(np.zeros(shape, np.float32))
    assert str(e.value) == f"OpenVino's model expects input shape at index 0: (1, 3, 224, 224), received: {shape}."


def test_two_inputs_fed_by_position(samples):
    inf = OpenVinoInferencer(path(samples, IR_TWO))
    assert inf.input_names == ["image", "scale"] and inf.input_dims == [(3, 32, 32), (1,)]
    img = np.random.default_rng(1).random((1, 3, 32, 32), dtype=np.float32)
    scale = np.array([[3.0]], np.float32)
    pooled, doubled = inf.predict([img, scale])
    np.testing.assert_allclose(pooled, img.mean(axis=(2, 3)) * 3, rtol=1e-2)
    np.testing.assert_array_equal(doubled, [[6.0]])
    with pytest.raises(AssertionError, match="^OpenVino's model expects input shape at index 1: \\(1, 1\\), received: \\(1, 2\\)\\.$"):
        inf.predict([img, np.zeros((1, 2), np.float32)])


def test_two_inputs_fed_by_name(samples):
    inf = OpenVinoInferencer(path(samples, IR_TWO))
    img = np.random.default_rng(2).random((1, 3, 32, 32), dtype=np.float32)
    scale = np.array([[0.5]], np.float32)
    listed = inf.predict([img, scale])
    named = inf.predict(image=img, scale=scale)  # keywords: a plain dict keyed by the output names
    assert type(named) is dict and list(named) == ["pooled", "doubled_scale"]
    for got, want in zip(named.values(), listed):
        np.testing.assert_array_equal(got, want)
    for mapping in ({"scale": scale, "image": img}, types.MappingProxyType({"image": img, "scale": scale})):
        by_name = inf.predict(mapping)  # a mapping as x: fed by name, outputs listed like any x
        assert type(by_name) is list
        for got, want in zip(by_name, listed):
            np.testing.assert_array_equal(got, want)
    with pytest.raises(AssertionError, match="^OpenVino's model expects input shape at index 1: \\(1, 1\\), "
                                             "received: \\(2, 1\\)\\.$"):
        inf.predict({"image": img, "scale": np.zeros((2, 1), np.float32)})
    with pytest.raises(KeyError, match="no input named 'scales'; its inputs are \\['image', 'scale'\\]"):
        inf.predict({"image": img, "scales": scale})
    # An input left out never runs on what an earlier call left in the request.
    for left_out in (lambda: inf.predict([img]), lambda: inf.predict({"image": img}), lambda: inf.predict(image=img)):
        with pytest.raises(KeyError, match=re.escape("takes the inputs ['image', 'scale']; the call gave values for "
                                                     "['image'] only.")):
            left_out()


def test_fp16_weights_ir_runs_close_to_the_fp32_one(samples, b1):
    inf = OpenVinoInferencer(path(samples, IR_FP16))
    assert inf._inference_dtype == [np.float32]
    np.testing.assert_allclose(inf.predict(image())[0], b1.predict(image())[0], rtol=5e-2, atol=5e-2)


# ---- benchmark ---------------------------------------------------------------------------------------

def test_benchmark_takes_batch_and_shapes_from_the_network(samples, b1):
    record = ostrel.load(path(samples, IR_B16), framework_type="openvino").benchmark(batch_size=16, repetitions=10)
    assert (record.framework_type, record.framework_version, record.batch_size) == ("openvino", ov.get_version(), 16)
    assert b1.benchmark(repetitions=2, warmup_calls=1).batch_size == 1
    with pytest.raises(AssertionError, match="^OpenVino's model expects input shape at index 0: \\(1, 3, 224, 224\\), "
                                             "received: \\(4, 3, 224, 224\\)\\.$"):
        b1.benchmark(batch_size=4, repetitions=1, warmup_calls=1)
    assert b1.benchmark(repetitions=1, warmup_calls=1, input=image()).batch_size == 1


# ---- dynamic dimensions ------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def dynamic_ir(tmp_path_factory):
    """An IR converted by the runtime's own converter from an ONNX convolution net whose input has the
    dynamic axes ["N", 3, "H", "W"]."""
    folder = tmp_path_factory.mktemp("dynamic")
    weights = np.random.default_rng(3).standard_normal((4, 3, 3, 3)).astype(np.float32)
    graph = helper.make_graph(
        [helper.make_node("Conv", ["x", "w"], ["c"], pads=[1, 1, 1, 1]), helper.make_node("Relu", ["c"], ["y"])],
        "conv", [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", 3, "H", "W"])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 4, "H", "W"])],
        [numpy_helper.from_array(weights, "w")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.save(model, folder / "conv.onnx")
    xml = str(folder / "conv.xml")
    ov.save_model(ov.convert_model(str(folder / "conv.onnx")), xml)
    return xml


def test_model_size_counts_the_weights(tmp_path):
    weights = np.full((1024, 1024), 0.25, np.float32)  # 4 MiB
    graph = helper.make_graph([helper.make_node("MatMul", ["x", "w"], ["y"])], "mm",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 1024])],
                              [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 1024])],
                              [numpy_helper.from_array(weights, "w")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.save(model, tmp_path / "mm.onnx")
    xml = tmp_path / "mm.xml"
    ov.save_model(ov.convert_model(str(tmp_path / "mm.onnx")), str(xml), compress_to_fp16=False)
    bin_size = (tmp_path / "mm.bin").stat().st_size
    assert bin_size >= 4 << 20
    loaded = ostrel.load(str(xml))
    record = loaded.benchmark(batch_size=1, repetitions=1, warmup_calls=0)
    assert record.model_memory_used == pytest.approx((xml.stat().st_size + bin_size) / 1048576)
    assert record.model_memory_used >= 3.5


def test_dynamic_dimensions_take_any_size(dynamic_ir):
    model = ostrel.load(dynamic_ir)
    inf = model._LoadedModel__inferencer
    assert (inf.expected_input_shapes, inf.input_dims, inf.static_batch_size) == ([(-1, 3, -1, -1)], [(3, -1, -1)], None)
    compiled = ov.Core().compile_model(dynamic_ir, "CPU")
    for shape in [(2, 3, 64, 64), (1, 3, 17, 5)]:
        x = np.random.default_rng(4).random(shape, dtype=np.float32)
        np.testing.assert_array_equal(model.predict(x)[0], compiled(x)[0])
    record = model.benchmark(batch_size=2, input_dims=[(3, 64, 64)], repetitions=3)
    assert (record.batch_size, record.framework_type) == (2, "openvino")
    assert inf.benchmark(input_dimensions=[(3, 8, 8)], repetitions=1, warmup_calls=1).batch_size == 1
    with pytest.raises(exc.InputDimensionsNotSpecifiedError, match="dimension -1 has no fixed size"):
        model.benchmark(batch_size=2, repetitions=1)
    with pytest.raises(exc.InputDimensionsNotSpecifiedError):
        inf.example_inputs
    sized = OpenVinoInferencer(dynamic_ir, input_dims=[(3, 20, 20)])
    (example,) = sized.example_inputs  # the given sizes, in a batch of one
    assert example.shape == (1, 3, 20, 20) and sized.predict(example)[0].shape == (1, 4, 20, 20)


def test_fully_static_inputs_behave_as_on_onnx(tmp_path):
    """An IR converted from an ONNX model whose `input [1, 576]` sits beside a recurrent `state [2, 1, 128]`:
    the example and benchmark inputs have the declared shapes; another batch fails where each back-end
    fails it, OpenVINO's shape check before the run and ONNX Runtime's own refusal."""
    tensor = helper.make_tensor_value_info
    graph = helper.make_graph([helper.make_node("Relu", ["input"], ["y"]), helper.make_node("Relu", ["state"], ["h"])],
                              "recurrent", [tensor("input", TensorProto.FLOAT, [1, 576]),
                                            tensor("state", TensorProto.FLOAT, [2, 1, 128])],
                              [tensor("y", TensorProto.FLOAT, [1, 576]), tensor("h", TensorProto.FLOAT, [2, 1, 128])])
    source = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    source.ir_version = 8
    onnx.save(source, tmp_path / "recurrent.onnx")
    xml = str(tmp_path / "recurrent.xml")
    ov.save_model(ov.convert_model(str(tmp_path / "recurrent.onnx")), xml)
    models = {kind: ostrel.load(p, framework_type=kind, inference_hardware="cpu")
              for kind, p in (("openvino", xml), ("onnx", str(tmp_path / "recurrent.onnx")))}
    for kind, model in models.items():
        examples = model.example_inputs
        assert [e.shape for e in examples] == [(1, 576), (2, 1, 128)], kind
        assert [y.shape for y in model.predict(examples)] == [(1, 576), (2, 1, 128)], kind
        assert model.benchmark(batch_size=1, repetitions=3).batch_size == 1
    with pytest.raises(AssertionError, match=r"^OpenVino's model expects input shape at index 0: \(1, 576\), "
                                             r"received: \(2, 576\)\.$"):
        models["openvino"].benchmark(batch_size=2, repetitions=3)
    with pytest.raises(onnxruntime.capi.onnxruntime_pybind11_state.InvalidArgument, match="Got invalid dimensions"):
        models["onnx"].benchmark(batch_size=2, repetitions=3)
    wrong = [np.zeros((1, 576), np.float32), np.zeros((2, 2, 128), np.float32)]
    with pytest.raises(AssertionError) as info:
        models["openvino"].predict(wrong)
    assert str(info.value) == "OpenVino's model expects input shape at index 1: (2, 1, 128), received: (2, 2, 128)."


@pytest.mark.parametrize("shape", [(2, 4, 64, 64), (3, 64, 64), (2, 3, 64, 64, 1)])
def test_static_dimensions_of_a_dynamic_input_are_checked(dynamic_ir, shape):
    inf = OpenVinoInferencer(dynamic_ir)
    with pytest.raises(AssertionError) as e:
        inf.predict(np.zeros(shape, np.float32))
    assert str(e.value) == f"OpenVino's model expects input shape at index 0: (-1, 3, -1, -1), received: {shape}."


# ---- concurrent predicts -----------------------------------------------------------------------------

class CountingModel:
    """A compiled model that counts the inference requests made from it."""

    def __init__(self, compiled):
        self.compiled, self.created = compiled, 0

    def __getattr__(self, name):
        return getattr(self.compiled, name)

    def create_infer_request(self):
        self.created += 1
        return self.compiled.create_infer_request()


def test_threads_on_one_handle_each_get_their_own_answer(samples):
    inf = OpenVinoInferencer(path(samples, IR_B1))
    inf.model = counted = CountingModel(inf.model)
    inputs = [image(seed=s) for s in range(8)]
    expected = [inf.predict(x)[0] for x in inputs]
    assert counted.created == 1  # one caller at a time: one request
    errors, wrong = [], []

    def worker(t):
        try:
            for i in range(200):
                k = (t + i) % len(inputs)
                y = inf.predict(inputs[k])[0] if i % 2 else inf.predict(input=inputs[k])["output"]
                if not np.array_equal(y, expected[k]):
                    wrong.append((t, i))
        except Exception as e:  # noqa: BLE001 - every failure is reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and wrong == []
    assert 1 <= counted.created < 8  # a small pool, not a request per call or per thread
    inf._dispose_all_resources()
    assert not hasattr(inf, "model") and not hasattr(inf, "_infer_requests")


def test_failed_inferences_give_their_request_back(samples):
    inf = OpenVinoInferencer(path(samples, IR_B1))
    done = []

    def calls():
        for _ in range(10):  # more failures than the pool holds requests
            with pytest.raises(RuntimeError):
                inf.predict(input=np.zeros((1, 3, 8), np.float32))
        done.append(inf.predict(image())[0].shape)

    runner = threading.Thread(target=calls, daemon=True)
    runner.start()
    runner.join(timeout=30)
    assert done == [(1, 10)]


def test_a_failed_inference_leaves_the_model_as_it_was(tmp_path):
    """A dynamic batch that the graph cannot take (a reshape fixed at batch 1): the runtime keeps the failed
    shapes in the compiled model, and every later inference on it failed, at batch 1 as well."""
    from openvino import opset8 as ops

    x = ops.parameter([-1, 16], np.float32, name="x")
    fixed = ops.reshape(x, ops.constant(np.array([1, 16], np.int64)), False)
    y = ops.matmul(fixed, ops.constant(np.linspace(-1, 1, 16, dtype=np.float32).reshape(16, 1)), False, False)
    xml = str(tmp_path / "fixed.xml")
    ov.save_model(ov.Model([y], [x], "fixed"), xml)
    model = ostrel.load(xml, framework_type="openvino")
    x = np.random.default_rng(2).random((1, 16), dtype=np.float32)
    [before] = model.predict(x)
    for _ in range(2):
        with pytest.raises(RuntimeError, match="reshape"):
            model.predict(np.ones((2, 16), np.float32))
        np.testing.assert_array_equal(model.predict(x)[0], before)
    assert model.benchmark(batch_size=1, repetitions=3).batch_size == 1


def test_loading_leaves_the_threads_signal_stack_as_it_was(samples, run_python):
    # The runtime puts a signal stack of its own on the compiling thread, which can outlive its memory:
    # Ctrl-C handled there would then crash the interpreter. A load keeps the caller's.
    code = ("import ctypes, os, signal\n"
            "import numpy as np\n"
            "import ostrel\n"
            "class Stack(ctypes.Structure):\n"
            "    _fields_ = [('sp', ctypes.c_void_p), ('flags', ctypes.c_int), ('size', ctypes.c_size_t)]\n"
            "def current():\n"
            "    s = Stack()\n"
            "    assert ctypes.CDLL(None).sigaltstack(None, ctypes.byref(s)) == 0\n"
            "    return s.sp, s.flags, s.size\n"
            "before = current()\n"
            f"model = ostrel.load({str(path(samples, IR_B1))!r}, framework_type='openvino')\n"
            "model.predict(np.zeros((1, 3, 224, 224), np.float32))\n"
            "assert current() == before, (current(), before)\n"
            "try:\n"
            "    os.kill(os.getpid(), signal.SIGINT)\n"
            "except KeyboardInterrupt:\n"
            "    print('interrupted')\n")
    assert run_python(code).stdout.splitlines()[-1] == "interrupted"


def test_a_forked_child_loads_with_a_core_of_its_own_and_a_substitute_core_is_called_per_load(samples, run_python):
    # The runtime's Core is made once, on the first load; a child made by fork after the parent loaded
    # compiles with a Core of its own (the parent's thread pools do not cross the fork) and predicts.
    code = f"""
import os, sys, numpy as np, openvino as ov
made = []
class Counted(ov.Core):
    def __init__(self):
        made.append(1)
        super().__init__()
from ostrel.frameworks import openvino_inferencer as m
x = np.random.default_rng(0).random((1, 3, 224, 224), dtype=np.float32)
first = m.OpenVinoInferencer({path(samples, IR_B1)!r}).predict(x)[0]
m.Core = Counted  # a class in the runtime's place is called for each load
m.OpenVinoInferencer({path(samples, IR_B1)!r}); m.OpenVinoInferencer({path(samples, IR_B1)!r})
print("substitute calls", len(made))
m.Core = ov.Core
pid = os.fork()
if pid == 0:
    out = m.OpenVinoInferencer({path(samples, IR_B1)!r}).predict(x)[0]
    os._exit(0 if np.allclose(out, first) else 3)
_, status = os.waitpid(pid, 0)
print("child", os.waitstatus_to_exitcode(status))
print("parent again", bool(np.allclose(m.OpenVinoInferencer({path(samples, IR_B1)!r}).predict(x)[0], first)))
"""
    out = run_python(code).stdout.splitlines()
    assert out[-3:] == ["substitute calls 2", "child 0", "parent again True"]
