"""The TensorFlow 2 (SavedModel), Keras and TFLite back-ends, on the generated samples.

TensorFlow is slow to import and to load models: every sample is loaded once per module and shared by
the tests that only read it."""
import gc
import logging
import os
import re
import shutil
import types
import zipfile

import numpy as np
import pytest

import ostrel
from ostrel.common import exceptions as exc
from ostrel.common.framework_detection import FrameworkDetector
from ostrel.frameworks import tensorflow_inferencer as tf_module
from ostrel.frameworks.keras_inferencer import KerasInferencer
from ostrel.frameworks.tensorflow_inferencer import TF2Inferencer
from ostrel.frameworks.tflite_inferencer import TFLiteInferencer

import tensorflow as tf  # noqa: E402  (after ostrel: importing ostrel must not need it)

CPU = ostrel.InferenceHardware.CPU
GPU = ostrel.InferenceHardware.GPU
T = ostrel.FrameworkType
BOTH_INPUT_KINDS = "Please specify explicitly: either use 'x' argument OR pass keyword arguments for multiple inputs."
PREFIX = "tf2_saved_model_checkpoints_"
NEEDED = ("mobilenet_v2.zip", "mobilenet_v2.tar.gz", "tf/multi_output.zip", "mobilenetv2.keras.h5",
          "keras/mobilenetv2.keras", "keras/two_inputs.keras", "mobilenet_v2_1.0_224.tflite",
          "tflite/two_inputs.tflite")


def images(batch, seed=0, shape=(224, 224, 3)):
    return np.random.default_rng(seed).random((batch, *shape), dtype=np.float32)


def inferencer(loaded):
    return loaded._LoadedModel__inferencer


class Recorder(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelno, record.getMessage()))

    def texts(self, level):
        return [t for lv, t in self.records if lv == level]


@pytest.fixture
def warnings_of(monkeypatch):
    """Records what the loggers of the named back-end modules handle (their handlers are set per load)."""

    def attach(*names):
        rec = Recorder()
        for name in names:
            logger = logging.getLogger(name)
            real = logger.handle
            monkeypatch.setattr(logger, "handle", lambda record, real=real: (rec.emit(record), real(record)))
        return rec

    return attach


def extraction_folders(folder):
    return [n for n in os.listdir(folder) if n.startswith(PREFIX)]


# ---- TensorFlow 2 SavedModels -------------------------------------------------------------------------


@pytest.fixture(scope="module")
def saved_model(samples):
    return ostrel.load(str(samples / "mobilenet_v2.zip"), framework_type="tf2")


def test_saved_model_archive_loads_predicts_and_benchmarks(saved_model):
    inf = inferencer(saved_model)
    assert saved_model.input_dims == [(224, 224, 3)]
    assert inf.fetch_model_input_dtype() == [np.float32]
    assert inf.fetch_model_batch_size() is None
    assert os.path.basename(inf.checkpoint_file).startswith(PREFIX)
    x = images(2)
    [y] = saved_model.predict(x)
    expected = inf.model.signatures["serving_default"](inputs=tf.constant(x))["output_0"].numpy()
    assert y.shape == (2, 1000) and np.array_equal(y, expected)
    for same in (saved_model.predict([x]), saved_model.predict(inputs=x)):
        assert len(same) == 1 and np.array_equal(same[0], y)
    with pytest.raises(ValueError, match=f"^{BOTH_INPUT_KINDS}$"):
        saved_model.predict(x, inputs=x)
    record = saved_model.benchmark(batch_size=2, repetitions=5)
    assert (record.framework_type, record.framework_version, record.batch_size) == ("tf2", tf.version.VERSION, 2)


def test_tar_archive_and_unpacked_folder_give_the_zip_results(samples, saved_model, tmp_path):
    x = images(3, seed=1)
    [reference] = saved_model.predict(x)
    tar = ostrel.load(str(samples / "mobilenet_v2.tar.gz"), framework_type="tf2")
    assert np.array_equal(tar.predict(x)[0], reference)
    del tar

    folder = tmp_path / "unpacked"
    with zipfile.ZipFile(samples / "mobilenet_v2.zip") as z:
        z.extractall(folder)
    model_dir = str(folder / "mobilenet_v2")
    in_place = ostrel.load(model_dir, framework_type="tf2")
    assert inferencer(in_place).checkpoint_file == model_dir  # loaded where it is, nothing unpacked
    assert np.array_equal(in_place.predict(x)[0], reference)
    del in_place
    gc.collect()
    assert "saved_model.pb" in os.listdir(model_dir)  # the user's own folder is never removed


def test_extraction_folder_goes_with_the_model(samples, tmp_tempdir):
    loaded = ostrel.load(str(samples / "mobilenet_v2.zip"), framework_type="tf2")
    [folder] = extraction_folders(tmp_tempdir)
    assert "saved_model.pb" in os.listdir(tmp_tempdir / folder)
    inf = inferencer(loaded)
    inf._dispose_all_resources()
    assert extraction_folders(tmp_tempdir) == [] and not hasattr(inf, "model")
    inf._dispose_all_resources()  # a second disposal does nothing
    del loaded, inf
    gc.collect()
    assert extraction_folders(tmp_tempdir) == []

    loaded = ostrel.load(str(samples / "mobilenet_v2.tar.gz"), framework_type="tf2")
    assert len(extraction_folders(tmp_tempdir)) == 1
    del loaded
    gc.collect()
    assert extraction_folders(tmp_tempdir) == []


def test_a_model_alive_at_interpreter_exit_removes_its_folder(samples, run_python, tmp_path):
    tmp = tmp_path / "exit-tmp"
    tmp.mkdir()
    r = run_python("import ostrel\n"
                   f"model = ostrel.load({str(samples / 'mobilenet_v2.zip')!r}, framework_type='tf2')\n",
                   env={"TMPDIR": str(tmp)})
    assert "Exception ignored" not in r.stderr, r.stderr
    assert extraction_folders(tmp) == []


def _no_serving_signature(tmp_path):
    module = tf.Module()
    module.f = tf.function(lambda x: x * 2, input_signature=[tf.TensorSpec([None, 3], tf.float32)])
    src = tmp_path / "src" / "other"
    tf.saved_model.save(module, str(src), signatures={"other": module.f})
    archive = tmp_path / "other.zip"
    with zipfile.ZipFile(archive, "w") as z:
        for p in sorted(src.rglob("*")):
            z.write(p, p.relative_to(src.parent))
    return archive


def _renamed(samples, tmp_path, name):
    path = tmp_path / name
    shutil.copy(samples / "mobilenet_v2.zip", path)
    return path


def _garbage(tmp_path, name):
    path = tmp_path / name
    path.write_bytes(b"this is no archive" * 50)
    return path


def _bad_saved_model(tmp_path, name):
    folder = tmp_path / name
    (folder / "variables").mkdir(parents=True)
    (folder / "saved_model.pb").write_bytes(b"\x08\x01\x12\xff garbage")
    return folder


@pytest.mark.parametrize("make,error,message", [
    (lambda s, t: _garbage(t, "garbage.zip"), exc.CorruptedSavedModelZipError, "^Failed to extract file from zip "),
    (lambda s, t: _garbage(t, "garbage.tar.gz"), exc.CorruptedSavedModelZipError, "^Failed to extract file from tar "),
    (lambda s, t: _renamed(s, t, "upper.ZIP"), exc.BadSavedModelZipError,
     r"^Failed to load saved model from provided zip file\.$"),
    (lambda s, t: t / "missing", exc.BadSavedModelZipError, r"^Failed to load the saved model\. The path doesn't exist\.$"),
    (lambda s, t: _no_serving_signature(t), exc.ModelFrameworkRuntimeError,
     r'^Failed to get the input signature of the saved model - please specify a "serving_default" key during '
     r"export\. https://www\.tensorflow\.org/guide/saved_model#specifying_signatures_during_export$"),
    (lambda s, t: _bad_saved_model(t, "bad"), exc.BadSavedModelZipError,
     r"^Failed to load saved model from provided zip file\.$"),
], ids=["corrupt-zip", "corrupt-tar", "upper-case-suffix", "missing", "no-serving-signature", "bad-saved-model"])
def test_saved_model_load_failures_leave_no_extraction_folder(samples, tmp_path, tmp_tempdir, make, error, message):
    path = make(samples, tmp_path)
    with pytest.raises(error) as info:
        TF2Inferencer(str(path), inference_hardware=CPU)
    assert re.search(message, str(info.value)), str(info.value)  # never a bare error: the reason is told
    gc.collect()
    assert extraction_folders(tmp_tempdir) == []


def test_missing_serving_signature_after_load_raises_runtime_error(samples):
    inf = TF2Inferencer(str(samples / "mobilenet_v2.zip"), inference_hardware=CPU)
    dims = inf.fetch_model_input_dimensions()
    assert dims == [(224, 224, 3)] and isinstance(dims[0], tuple)
    inf.model.signatures._signatures.pop("serving_default")
    for fetch in (inf.fetch_model_input_dimensions, inf.fetch_model_input_dtype, inf.fetch_model_batch_size):
        with pytest.raises(exc.ModelFrameworkRuntimeError, match="serving_default"):
            fetch()


def test_multi_output_saved_model_returns_one_array_per_output_in_signature_order(samples):
    loaded = ostrel.load(str(samples / "tf" / "multi_output.zip"), framework_type="tf2")
    x = images(3, shape=(32, 32, 3))
    out = loaded.predict(x)
    direct = inferencer(loaded).model(x)
    assert [o.shape for o in out] == [(3, 8), (3, 10)]  # "embedding" then "scores", as the signature flattens
    assert np.array_equal(out[0], direct["embedding"].numpy()) and np.array_equal(out[1], direct["scores"].numpy())


class Recording:
    """A loaded object stand-in: records how it is called, returns what `result` makes of the call."""

    class Tensor:
        def __init__(self, value):
            self.value = value

        def numpy(self):
            return self.value

    def __init__(self, result=lambda args, kwargs: Recording.Tensor("out")):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result(args, kwargs)


def test_saved_model_predict_passes_inputs_as_given_to_the_current_model(samples):
    inf = TF2Inferencer(str(samples / "mobilenet_v2.zip"), inference_hardware=CPU)
    a, b = images(1), images(1, seed=1)
    inf.model = fake = Recording()
    assert inf.predict(a) == ["out"] and inf.predict([a]) == ["out"]
    assert inf.predict([a, b]) == ["out"] and inf.predict(inputs=a) == ["out"]
    assert inf.predict(x=None, inputs=b) == ["out"]
    with pytest.raises(ValueError, match=f"^{BOTH_INPUT_KINDS}$"):
        inf.predict(a, inputs=a)
    assert [(len(args), sorted(kw)) for args, kw in fake.calls] == [(1, []), (1, []), (2, []), (0, ["inputs"]),
                                                                     (0, ["inputs"])]
    assert fake.calls[0][0][0] is a and fake.calls[2][0][1] is b
    # Several outputs: a sequence in its order, a mapping in the signature's order where it names them all.
    inf.model = Recording(lambda args, kw: (Recording.Tensor(1), Recording.Tensor(2)))
    assert inf.predict(a) == [1, 2]
    inf._output_keys = ("a", "b")
    inf.model = Recording(lambda args, kw: {"b": Recording.Tensor(2), "a": Recording.Tensor(1)})
    assert inf.predict(a) == [1, 2]
    inf.model = Recording(lambda args, kw: {"b": Recording.Tensor(2), "c": Recording.Tensor(3)})
    assert inf.predict(a) == [2, 3]


class FakeConfig:
    def __init__(self, devices, error):
        self.calls = []
        self.error = error
        self.experimental = types.SimpleNamespace(set_memory_growth=self.set_growth)
        self.devices = devices

    def list_physical_devices(self, kind):
        assert kind == "GPU"
        return self.devices

    def set_growth(self, device, enable):
        self.calls.append((device, enable))
        if self.error is not None:
            raise self.error


@pytest.mark.parametrize("devices,error,tolerated", [
    ([], None, True),
    (["gpu0", "gpu1"], None, True),
    (["gpu0", "gpu1"], ValueError("devices already set"), True),
    (["gpu0", "gpu1"], RuntimeError("Physical devices cannot be modified after being initialized"), True),
    (["gpu0"], TypeError("odd"), False),
])
def test_memory_growth(monkeypatch, devices, error, tolerated):
    config = FakeConfig(devices, error)
    monkeypatch.setattr(tf_module, "tf", types.SimpleNamespace(config=config))
    logger = logging.getLogger("ostrel-test-memory-growth")
    rec = Recorder()
    logger.addHandler(rec)
    try:
        if tolerated:
            tf_module.allow_tf_memory_growth(logger)
        else:
            with pytest.raises(TypeError):
                tf_module.allow_tf_memory_growth(logger)
    finally:
        logger.removeHandler(rec)
    if error is None:
        assert config.calls == [(d, True) for d in devices] and rec.records == []
    elif tolerated:
        assert config.calls == [("gpu0", True)]  # the loop ends at the failure
        assert rec.texts(logging.WARNING) == [
            f"Unable to set device to allow memory grow (this could effect memory analysis): {error}"]


def test_a_refused_memory_growth_does_not_stop_the_loads(samples, monkeypatch, warnings_of):
    config = FakeConfig(["gpu0"], RuntimeError("Physical devices cannot be modified after being initialized"))
    fake_tf = types.SimpleNamespace(**{n: getattr(tf, n) for n in ("saved_model", "errors", "version")}, config=config)
    monkeypatch.setattr(tf_module, "tf", fake_tf)
    rec = warnings_of("ostrel.frameworks.tensorflow_inferencer", "ostrel.frameworks.keras_inferencer")
    TF2Inferencer(str(samples / "mobilenet_v2.zip"), inference_hardware=CPU)
    KerasInferencer(str(samples / "mobilenetv2.keras.h5"), inference_hardware=CPU)
    assert len([t for t in rec.texts(logging.WARNING) if t.startswith("Unable to set device")]) == 2


# ---- Keras --------------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def keras_h5(samples):
    return ostrel.load(str(samples / "mobilenetv2.keras.h5"))


def test_keras_model_predicts_one_array_per_sample(keras_h5):
    inf = inferencer(keras_h5)
    assert isinstance(inf, KerasInferencer)
    assert keras_h5.input_dims == [(224, 224, 3)]
    assert inf.fetch_model_input_dtype() == [np.float32] and inf.fetch_model_batch_size() is None
    x = images(8, seed=2)
    out = keras_h5.predict(x)
    rows = inf.model.predict(x, verbose=0)
    assert len(out) == 8 and all(o.shape == (1000,) for o in out)
    assert np.array_equal(np.stack(out), rows)
    assert len(keras_h5.predict(x[:1])) == 1
    assert np.array_equal(np.stack(keras_h5.predict(input_2=x)), rows)
    with pytest.raises(ValueError, match=f"^{BOTH_INPUT_KINDS}$"):
        keras_h5.predict(x, input_2=x)


def test_native_keras_file_matches_its_contract(samples):
    loaded = ostrel.load(str(samples / "keras" / "mobilenetv2.keras"))
    assert isinstance(inferencer(loaded), KerasInferencer) and loaded.input_dims == [(224, 224, 3)]
    assert [o.shape for o in loaded.predict(images(3))] == [(1000,)] * 3


def test_two_input_keras_model_constructs_and_predicts(samples):
    loaded = ostrel.load(str(samples / "keras" / "two_inputs.keras"), framework_type="keras")
    inf = inferencer(loaded)
    assert loaded.input_dims == [(32, 32, 3), (10,)]
    assert inf.fetch_model_input_dtype() == [np.float32, np.float32] and inf.fetch_model_batch_size() is None
    image, extra = images(4, shape=(32, 32, 3)), images(4, seed=3, shape=(10,))
    out = loaded.predict([image, extra])
    assert [o.shape for o in out] == [(4, 10), (4, 8)]  # several outputs: each keeps its batch axis
    for other in (loaded.predict(image=image, extra=extra), inf.model.predict([image, extra], verbose=0)):
        assert all(np.array_equal(a, b) for a, b in zip(out, other))
    assert loaded.benchmark(batch_size=2, repetitions=5).framework_type == "keras"


@pytest.mark.parametrize("name,content,error,text", [
    ("missing.keras", None, exc.ModelValueError, "File not found"),
    ("garbage.h5", b"no hdf5 here" * 20, exc.FailedToLoadCheckpointError, "file signature not found"),
])
def test_keras_load_failures_of_real_files(tmp_path, name, content, error, text):
    path = tmp_path / name
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(error) as info:
        KerasInferencer(str(path), inference_hardware=CPU)
    assert text in str(info.value) and info.value.__cause__ is not None


# ---- TFLite -------------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def tflite(samples):
    return ostrel.load(str(samples / "mobilenet_v2_1.0_224.tflite"), framework_type="tflite")


def test_tflite_predicts_as_the_interpreter_does(samples, tflite):
    from ai_edge_litert.interpreter import Interpreter

    inf = inferencer(tflite)
    assert tflite.input_dims == [(224, 224, 3)] and all(type(d) is int for d in tflite.input_dims[0])
    assert inf.fetch_model_batch_size() == 1 and inf.fetch_model_input_dtype() == [np.float32]
    x = images(1, seed=4)
    out = tflite.predict(x)
    own = Interpreter(str(samples / "mobilenet_v2_1.0_224.tflite"))
    own.allocate_tensors()
    own.set_tensor(own.get_input_details()[0]["index"], x)
    own.invoke()
    expected = own.get_tensor(own.get_output_details()[0]["index"])
    assert len(out) == 1 and out[0].shape == (1, 1000)
    assert np.allclose(out[0], expected, rtol=1e-5, atol=1e-6)
    for same in (tflite.predict([x]), tflite.predict(input=x)):
        assert np.array_equal(same[0], out[0])


@pytest.mark.parametrize("kwargs", [{}, {"wrong": "image"}, {"input": None}], ids=["none", "unknown-name", "none-value"])
def test_tflite_missing_keyword_input(tflite, kwargs):
    kwargs = {k: images(1) if v == "image" else v for k, v in kwargs.items()}
    with pytest.raises(ValueError) as info:
        tflite.predict(**kwargs)
    details = inferencer(tflite)._input_details
    assert str(info.value) == f"Failed to set the TFLite input with id=0. Supported inputs are: {details}"
    cause = info.value.__cause__
    assert type(cause) is RuntimeError and str(cause) == (
        "You have used explicit inputs by passing keyword arguments. The keyword argument (input) 'input' is missing.")
    with pytest.raises(ValueError, match=f"^{BOTH_INPUT_KINDS}$"):
        tflite.predict(images(1), input=images(1))
    assert tflite.predict(images(1))[0].shape == (1, 1000)  # still usable


def test_tflite_errors_of_the_interpreter_pass_unchanged(samples, tflite, tmp_path):
    with pytest.raises(ValueError) as info:
        tflite.predict(images(2))  # the file fixes a batch of one
    assert "Failed to set" not in str(info.value)
    with pytest.raises(IndexError):
        tflite.predict([images(1), images(1)])
    with pytest.raises(exc.FailedToLoadCheckpointError,
                       match="^The tflite model has multiple inputs, which is not currently supported$"):
        TFLiteInferencer(str(samples / "tflite" / "two_inputs.tflite"), inference_hardware=CPU)
    garbage = tmp_path / "garbage.tflite"
    garbage.write_bytes(b"not a flat buffer" * 10)
    with pytest.raises(ValueError):
        TFLiteInferencer(str(garbage), inference_hardware=CPU)
    (tmp_path / "folder.tflite").mkdir()
    with pytest.raises(ValueError) as info:  # the interpreter's own refusal of a folder
        TFLiteInferencer(str(tmp_path / "folder.tflite"), inference_hardware=CPU)
    assert type(info.value) is ValueError and "regular file" not in str(info.value)


def test_tflite_on_the_gpu_runs_on_the_cpu_with_one_warning(samples, warnings_of, gpu_memory):
    rec = warnings_of("ostrel.frameworks.tflite_inferencer")
    inf = TFLiteInferencer(str(samples / "mobilenet_v2_1.0_224.tflite"), inference_hardware=GPU)
    assert inf.inference_hardware == GPU
    assert inf.predict(images(1))[0].shape == (1, 1000)
    [warning] = rec.texts(logging.WARNING)
    assert "CPU" in warning and "GPU" in warning
    inf._dispose_all_resources()
    inf._dispose_all_resources()
    assert not hasattr(inf, "tflite_interpreter")


# ---- all three ----------------------------------------------------------------------------------------


def test_benchmark_records_name_the_framework_and_its_installed_version(saved_model, keras_h5, tflite):
    import importlib.metadata

    expected = [(saved_model, 2, "tf2", tf.version.VERSION),
                (keras_h5, 3, "keras", tf.keras.__version__),
                (tflite, 1, "tflite", importlib.metadata.version("ai-edge-litert"))]
    for loaded, batch, framework, version in expected:
        record = loaded.benchmark(batch_size=batch, repetitions=5)
        assert (record.framework_type, record.framework_version) == (framework, version)
        assert record.batch_size == batch and record.inference_hardware == "CPU"


def test_keras_samples_are_detected_and_a_bare_tfl3_is_not(samples, tmp_path):
    for name in ("mobilenetv2.keras.h5", "keras/mobilenetv2.keras", "keras/two_inputs.keras"):
        assert FrameworkDetector.detect_framework(str(samples / name)) == T.KERAS, name
    text = tmp_path / "notes.txt"
    text.write_text("a text file whose only marker is TFL3, at no structural place\n")
    assert FrameworkDetector.detect_framework(str(text)) is None


def test_tflite_sample_is_detected_by_load(samples):
    path = str(samples / "mobilenet_v2_1.0_224.tflite")
    assert FrameworkDetector.detect_framework(path) == T.TFLITE
    loaded = ostrel.load(path)
    assert isinstance(inferencer(loaded), TFLiteInferencer) and loaded.predict(images(1))[0].shape == (1, 1000)


def test_importing_ostrel_imports_no_framework(run_python):
    r = run_python("import sys, ostrel; print(sorted(m for m in ('tensorflow', 'keras', 'ai_edge_litert', "
                   "'tflite_runtime') if m in sys.modules))")
    assert r.stdout.strip().splitlines()[-1] == "[]"


# ---- models as users make them with the frameworks' own tools ----------------------------------------
#
# Small models built here, once per module each: Keras models written by `export` and by
# `tf.saved_model.save`, hand-written tf.Modules, legacy HDF5 files and converted TFLite flat buffers.

keras = tf.keras


def rows(batch, width, seed=0, dtype=np.float32):
    return np.random.default_rng(seed).random((batch, width)).astype(dtype)


def close(a, b):
    return np.allclose(a, b, rtol=1e-5, atol=1e-6)


@pytest.fixture(scope="module")
def dense_model():
    inputs = keras.Input((6,), name="features")
    hidden = keras.layers.Dense(8, activation="relu")(inputs)
    return keras.Model(inputs, keras.layers.Dense(3)(hidden))


@pytest.fixture(scope="module")
def keras_saved_models(dense_model, tmp_path_factory):
    root = tmp_path_factory.mktemp("keras_saved_models")
    dense_model.export(str(root / "export"), verbose=False)
    tf.saved_model.save(dense_model, str(root / "saved"))
    return root


@pytest.mark.parametrize("form", ["export", "saved"])
def test_keras_saved_models_predict_as_predict_on_batch(dense_model, keras_saved_models, form):
    loaded = ostrel.load(str(keras_saved_models / form), framework_type="tf2")
    assert loaded.input_dims == [(6,)]
    x = rows(5, 6)
    [y] = loaded.predict(x)
    assert y.shape == (5, 3) and close(y, dense_model.predict_on_batch(x))
    [example] = loaded.example_inputs
    assert example.shape == (1, 6) and close(loaded.predict(example)[0], dense_model.predict_on_batch(example))
    assert loaded.benchmark(batch_size=2, repetitions=3).batch_size == 2


class TracedOnce(tf.Module):
    """A module whose call takes a Python flag beside its tensor, as Keras layers do."""

    def __init__(self):
        super().__init__()
        self.w = tf.Variable([[1.0], [2.0], [3.0]])

    @tf.function
    def __call__(self, x, training=False):
        y = tf.matmul(x, self.w)
        return y + 100.0 if training else y


class TwoInputs(tf.Module):
    """A call whose inputs are not in the alphabetical order of their names."""

    @tf.function(input_signature=[tf.TensorSpec([None, 4], tf.float32, name="zeta"),
                                  tf.TensorSpec([None, 2], tf.float32, name="alpha")])
    def __call__(self, zeta, alpha):
        return tf.reduce_sum(zeta, 1, keepdims=True) * 10.0 + tf.reduce_sum(alpha, 1, keepdims=True)


class ScaledInput(tf.Module):
    """A batched input and a scalar one."""

    @tf.function(input_signature=[tf.TensorSpec([None, 3], tf.float32, name="x"),
                                  tf.TensorSpec([], tf.float32, name="scale")])
    def __call__(self, x, scale):
        return x * scale


@pytest.fixture(scope="module")
def modules(tmp_path_factory):
    """SavedModels of hand-written tf.Modules, by name."""
    root = tmp_path_factory.mktemp("modules")
    traced = TracedOnce()
    concrete = traced.__call__.get_concrete_function(tf.TensorSpec([None, 3], tf.float32, name="x"))
    tf.saved_model.save(traced, str(root / "traced_once"), signatures=concrete)
    tf.saved_model.save(TwoInputs(), str(root / "two_inputs"))
    tf.saved_model.save(ScaledInput(), str(root / "scaled_input"))
    return root


def test_module_traced_once_is_called_as_the_loaded_object(modules):
    loaded = ostrel.load(str(modules / "traced_once"), framework_type="tf2")
    model = inferencer(loaded).model
    x = rows(4, 3)
    [y] = loaded.predict(x)
    assert np.array_equal(y, model(x).numpy()) and np.allclose(y, x @ np.array([[1.0], [2.0], [3.0]]))
    assert loaded.input_dims == [(3,)] and loaded.benchmark(batch_size=2, repetitions=3).batch_size == 2
    # An input of another element type is refused as the loaded object refuses it.
    x64 = rows(4, 3, dtype=np.float64)
    with pytest.raises(Exception) as theirs:
        model(x64)
    with pytest.raises(Exception) as ours:
        loaded.predict(x64)
    assert type(ours.value) is type(theirs.value)


def test_two_inputs_follow_the_call_order(modules):
    loaded = ostrel.load(str(modules / "two_inputs"), framework_type="tf2")
    assert loaded.input_dims == [(4,), (2,)]
    assert [a.shape for a in loaded.example_inputs] == [(1, 4), (1, 2)]
    zeta, alpha = rows(3, 4, seed=1), rows(3, 2, seed=2)
    expected = zeta.sum(1, keepdims=True) * 10 + alpha.sum(1, keepdims=True)
    for out in (loaded.predict([zeta, alpha]), loaded.predict(zeta=zeta, alpha=alpha)):
        assert close(out[0], expected)
    example = loaded.example_inputs
    assert close(loaded.predict(example)[0], example[0].sum(1, keepdims=True) * 10 + example[1].sum(1, keepdims=True))
    assert loaded.benchmark(batch_size=2, repetitions=3).batch_size == 2


def test_saved_model_scalar_input_keeps_no_batch_axis(modules):
    loaded = ostrel.load(str(modules / "scaled_input"), framework_type="tf2")
    assert loaded.input_dims == [(3,), ()]
    assert inferencer(loaded).fetch_model_input_dtype() == [np.float32, np.float32]
    x, scale = loaded.example_inputs
    assert (x.shape, scale.shape) == ((1, 3), ())
    assert close(loaded.predict([x, scale])[0], x * scale)
    assert loaded.benchmark(batch_size=4, repetitions=3).batch_size == 4
    given = ostrel.load(str(modules / "scaled_input"), framework_type="tf2", input_dims=[(3,), ()],
                        static_batch_size=2)  # nothing read from the signature but the types
    assert [a.shape for a in given.example_inputs] == [(1, 3), ()]
    assert given.benchmark(batch_size=2, repetitions=3).batch_size == 2


# ---- Keras model files ------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def legacy_h5(tmp_path_factory):
    """An HDF5 file as Keras 2 wrote it: its training configuration names the optimizer's `lr`."""
    import json

    import h5py

    path = tmp_path_factory.mktemp("legacy") / "legacy.h5"
    model = keras.Sequential([keras.Input((5,)), keras.layers.Dense(4, activation="tanh"), keras.layers.Dense(2)])
    model.compile(optimizer="adam", loss="mse")
    model.save(str(path))
    with h5py.File(path, "r+") as f:
        config = json.loads(f.attrs["training_config"])
        config["optimizer_config"] = {"class_name": "Adam", "config": {
            "name": "Adam", "lr": 0.001, "decay": 0.0, "beta_1": 0.9, "beta_2": 0.999, "epsilon": 1e-07,
            "amsgrad": False}}
        f.attrs["training_config"] = json.dumps(config).encode()
    return path


def test_keras2_h5_with_lr_loads_for_inference(legacy_h5):
    with pytest.raises(Exception, match="lr"):
        keras.models.load_model(str(legacy_h5))  # a compiling load refuses the old optimizer entry
    loaded = ostrel.load(str(legacy_h5))
    assert isinstance(inferencer(loaded), KerasInferencer) and loaded.input_dims == [(5,)]
    x = rows(6, 5, seed=3)
    reference = keras.models.load_model(str(legacy_h5), compile=False).predict_on_batch(x)
    assert np.array_equal(np.stack(loaded.predict(x)), reference)


def sequential_without_input():
    model = keras.Sequential([keras.layers.Dense(4, activation="relu"), keras.layers.Dense(2)])
    model(np.zeros((1, 5), np.float32))  # built by its first call
    return model


def mapping_of_one_input():
    inputs = {"pixels": keras.Input((5,), name="pixels")}
    return keras.Model(inputs, keras.layers.Dense(2)(inputs["pixels"]))


def mapping_of_two_inputs():
    inputs = {"wide": keras.Input((5,), name="wide"), "narrow": keras.Input((2,), name="narrow")}
    joined = keras.layers.Concatenate()([inputs["wide"], inputs["narrow"]])
    return keras.Model(inputs, keras.layers.Dense(2)(joined))


@pytest.mark.parametrize("build,dims", [
    (sequential_without_input, [(5,)]),
    (mapping_of_one_input, [(5,)]),
    (mapping_of_two_inputs, None),  # the order of `model.inputs`
], ids=["sequential-without-input", "mapping-of-one-input", "mapping-of-two-inputs"])
def test_keras_model_forms_load_predict_and_benchmark(tmp_path, build, dims):
    model = build()
    path = tmp_path / "model.keras"
    model.save(str(path))
    loaded = ostrel.load(str(path), framework_type="keras")
    expected_dims = dims or [tuple(t.shape[1:]) for t in model.inputs]
    assert loaded.input_dims == expected_dims
    example = loaded.example_inputs
    assert [a.shape for a in example] == [(1, *d) for d in expected_dims]
    names = [t.name for t in model.inputs]
    feed = example[0] if build is sequential_without_input else {k: example[names.index(k)] for k in model.input}
    assert np.allclose(np.stack(loaded.predict(example)), model.predict_on_batch(feed), rtol=1e-5, atol=1e-6)
    assert loaded.benchmark(batch_size=3, repetitions=3).batch_size == 3


def test_keras_dict_outputs_give_their_arrays(tmp_path):
    inputs = keras.Input((5,), name="x")
    feat = keras.layers.Dense(8, activation="relu", name="feat")(inputs)
    model = keras.Model(inputs, {"logits": keras.layers.Dense(3, name="logits")(feat), "feat": feat})
    path = tmp_path / "dict_outputs.keras"
    model.save(str(path))
    loaded = ostrel.load(str(path), framework_type="keras")
    x = rows(4, 5, seed=4)
    out = loaded.predict(x)
    reference = model.predict_on_batch(x)
    assert len(out) == 2 and all(isinstance(a, np.ndarray) for a in out)
    assert sorted(a.shape for a in out) == [(4, 3), (4, 8)]
    assert all(close(a, b) for a, b in zip(out, reference.values()))


# ---- converted TFLite flat buffers -------------------------------------------------------------------


def converted(tmp_path_factory, name, spec, fn):
    function = tf.function(fn, input_signature=[spec])
    converter = tf.lite.TFLiteConverter.from_concrete_functions([function.get_concrete_function()])
    path = tmp_path_factory.mktemp("tflite") / f"{name}.tflite"
    path.write_bytes(converter.convert())
    return path


@pytest.fixture(scope="module")
def tflite_files(tmp_path_factory):
    weights = tf.constant(np.arange(12, dtype=np.float32).reshape(4, 3) / 10)
    return {
        "dynamic": converted(tmp_path_factory, "dynamic", tf.TensorSpec([None, 4], tf.float32),
                             lambda x: tf.matmul(x, weights)),
        "static": converted(tmp_path_factory, "static", tf.TensorSpec([1, 4], tf.float32),
                            lambda x: tf.matmul(x, weights)),
        "scalar": converted(tmp_path_factory, "scalar", tf.TensorSpec([], tf.float32), lambda x: x * 2.0 + 1.0),
        # A dynamic batch that its graph cannot take: the reshape is fixed at batch 1.
        "batch_one_reshape": converted(tmp_path_factory, "batch_one_reshape", tf.TensorSpec([None, 16], tf.float32),
                                       lambda x: tf.matmul(tf.reshape(x, [1, 16]), FRAME_WEIGHTS[:16])),
        # Frames of 320 samples behind a [-1, -1] signature whose tensor holds the placeholder [1, 1].
        "frames": converted(tmp_path_factory, "frames", tf.TensorSpec([None, None], tf.float32),
                            lambda x: tf.matmul(tf.reshape(x, [-1, 320]), FRAME_WEIGHTS)),
    }


FRAME_WEIGHTS = tf.constant(np.linspace(-1, 1, 320, dtype=np.float32).reshape(320, 1))


def interpreter_output(path, x):
    """The interpreter's own output for `x`, its input resized to x's shape."""
    from ai_edge_litert.interpreter import Interpreter

    own = Interpreter(str(path))
    index = own.get_input_details()[0]["index"]
    own.resize_tensor_input(index, list(x.shape))
    own.allocate_tensors()
    own.set_tensor(index, x)
    own.invoke()
    return own.get_tensor(own.get_output_details()[0]["index"])


def test_tflite_dynamic_batch_resizes_to_the_batch_given(tflite_files):
    loaded = ostrel.load(str(tflite_files["dynamic"]), framework_type="tflite")
    inf = inferencer(loaded)
    assert inf.fetch_model_batch_size() is None and loaded.static_batch_size is None
    weights = np.arange(12, dtype=np.float32).reshape(4, 3) / 10
    for batch in (4, 1, 4):
        x = rows(batch, 4, seed=batch)
        [y] = loaded.predict(x)
        assert y.shape == (batch, 3) and close(y, x @ weights)
    assert loaded.benchmark(batch_size=4, repetitions=3).batch_size == 4


def test_tflite_static_model_refuses_another_batch_clearly(tflite_files):
    loaded = ostrel.load(str(tflite_files["static"]), framework_type="tflite")
    assert inferencer(loaded).fetch_model_batch_size() == 1
    name = inferencer(loaded)._input_details[0]["name"]
    with pytest.raises(ValueError, match=rf"^The model's input '{name}' \(index 0\) takes arrays of shape \(1, 4\); "
                                         r"got an array of shape \(2, 4\)\.$"):
        loaded.predict(rows(2, 4))
    assert loaded.predict(rows(1, 4))[0].shape == (1, 3)  # still usable
    with pytest.raises(ValueError, match=rf"^The model's input '{name}' \(index 0\) takes arrays of shape \(1, 4\); "
                                         r"got an array of shape \(2, 4\)\.$"):  # the benchmark's first call
        loaded.benchmark(batch_size=2, repetitions=1)
    assert loaded.benchmark(batch_size=1, repetitions=1).batch_size == 1


def test_tflite_handle_works_again_after_a_call_the_interpreter_fails(tflite_files):
    loaded = ostrel.load(str(tflite_files["batch_one_reshape"]), framework_type="tflite")
    interpreter = inferencer(loaded).tflite_interpreter
    x = rows(1, 16, seed=3)
    [before] = loaded.predict(x)
    with pytest.raises(RuntimeError, match="failed to prepare"):  # the delegate cannot reshape at batch 2
        loaded.predict(rows(2, 16))
    assert interpreter.get_input_details()[0]["shape"].tolist() == [1, 16]  # resized back
    [after] = loaded.predict(x)
    assert np.array_equal(after, before) and close(before, interpreter_output(tflite_files["batch_one_reshape"], x))
    assert loaded.benchmark(batch_size=1, repetitions=3).batch_size == 1


@pytest.mark.parametrize("input_dims", [None, [(1280,)]], ids=["placeholder", "input-dims"])
def test_tflite_model_whose_placeholder_shape_cannot_be_allocated_loads(tflite_files, input_dims):
    path = tflite_files["frames"]
    loaded = ostrel.load(str(path), framework_type="tflite", input_dims=input_dims)
    details = inferencer(loaded)._input_details
    assert details[0]["shape"].tolist() == [1, 1] and details[0]["shape_signature"].tolist() == [-1, -1]
    x = rows(1, 1280, seed=5)
    expected = interpreter_output(path, x)
    assert expected.shape == (4, 1)
    if input_dims is None:  # nothing allocated yet: a first call that fails leaves it so
        with pytest.raises(RuntimeError):
            loaded.predict(rows(1, 7))
    assert np.array_equal(loaded.predict(x)[0], expected)
    assert np.array_equal(loaded.predict(rows(2, 640, seed=5).reshape(1, 1280))[0], expected)


def test_tflite_handle_serves_threads_their_own_results(tflite_files):
    from concurrent.futures import ThreadPoolExecutor

    loaded = ostrel.load(str(tflite_files["static"]), framework_type="tflite")
    inputs = [rows(1, 4, seed=i) for i in range(8)]
    expected = [loaded.predict(x)[0].copy() for x in inputs]

    def worker(i):
        return sum(not np.array_equal(loaded.predict(inputs[i])[0], expected[i]) for _ in range(200))

    with ThreadPoolExecutor(8) as pool:
        assert list(pool.map(worker, range(8))) == [0] * 8


def test_tflite_scalar_input_keeps_no_batch_axis(tflite_files):
    loaded = ostrel.load(str(tflite_files["scalar"]), framework_type="tflite")
    assert loaded.input_dims == [()] and inferencer(loaded).fetch_model_batch_size() is None
    [example] = loaded.example_inputs
    assert example.shape == ()
    assert close(loaded.predict(example)[0], example * 2 + 1)
    assert loaded.benchmark(batch_size=2, repetitions=3).batch_size == 2


# ---- input forms and model size --------------------------------------------------------------------


class Weighted(tf.Module):
    """One MiB of variables."""

    def __init__(self):
        super().__init__()
        self.w = tf.Variable(np.full((256, 1024), 0.5, np.float32))

    @tf.function(input_signature=[tf.TensorSpec([None, 256], tf.float32, name="x")])
    def __call__(self, x):
        return tf.matmul(x, self.w)


class Doubled(tf.Module):
    """A scalar input alone."""

    @tf.function(input_signature=[tf.TensorSpec([], tf.float32, name="s")])
    def __call__(self, s):
        return s * 2.0


def test_every_input_form_feeds_as_one_array_does(samples, modules, tflite, dense_model, tmp_path):
    """One array, a list, a tuple and a mapping by input name give the same outputs; anything else is a
    TypeError naming what was given."""
    image = images(1, seed=5)
    zeta, alpha = rows(3, 4, seed=1), rows(3, 2, seed=2)
    x, scale = rows(2, 3), np.float32(2.0)
    keras_two = ostrel.load(str(samples / "keras" / "two_inputs.keras"), framework_type="keras")
    keras_image, keras_extra = images(2, shape=(32, 32, 3)), images(2, seed=3, shape=(10,))
    dense_model.save(str(tmp_path / "dense.keras"))
    features = rows(4, 6)
    cases = [
        (tflite, image, [image], (image,), {"input": image}),
        (ostrel.load(str(tmp_path / "dense.keras"), framework_type="keras"), features, [features], (features,),
         {"features": features}),
        (ostrel.load(str(modules / "two_inputs"), framework_type="tf2"), [zeta, alpha], (zeta, alpha),
         {"zeta": zeta, "alpha": alpha}, {"alpha": alpha, "zeta": zeta}),
        (ostrel.load(str(modules / "scaled_input"), framework_type="tf2"), [x, scale], (x, 2.0),
         {"x": x, "scale": scale}, {"scale": 2.0, "x": x}),
        (keras_two, [keras_image, keras_extra], (keras_image, keras_extra),
         {"image": keras_image, "extra": keras_extra}, {"extra": keras_extra, "image": keras_image}),
    ]
    for model, first, *others in cases:
        expected = model.predict(first)
        for other in others:
            got = model.predict(other)
            assert len(got) == len(expected) and all(np.array_equal(a, b) for a, b in zip(got, expected)), other
        for bad in ("input", {1, 2}):
            with pytest.raises(TypeError, match=f"got a value of type '{type(bad).__name__}'"):
                model.predict(bad)
    # A name the model lacks is named as such.
    with pytest.raises(KeyError, match="no input named 'beta'"):
        cases[2][0].predict({"zeta": zeta, "beta": alpha})
    with pytest.raises(ValueError, match="Failed to set the TFLite input"):
        tflite.predict({"image": image})

    # A Python number feeds a scalar input of a TFLite model as an array of its element type.
    doubled = Doubled()
    converter = tf.lite.TFLiteConverter.from_concrete_functions([doubled.__call__.get_concrete_function()], doubled)
    (tmp_path / "doubled.tflite").write_bytes(converter.convert())
    scalar_model = ostrel.load(str(tmp_path / "doubled.tflite"), framework_type="tflite")
    name = inferencer(scalar_model)._input_details[0]["name"]
    for given in (3.0, [np.float32(3)], (3,), {name: 3.0}):
        assert scalar_model.predict(given)[0] == np.float32(6.0)

    # The size of a SavedModel is the size of its files.
    tf.saved_model.save(Weighted(), str(tmp_path / "weighted"))
    weighted = ostrel.load(str(tmp_path / "weighted"), framework_type="tf2")
    assert weighted.benchmark(batch_size=1, repetitions=1, warmup_calls=0).model_memory_used >= 0.9
