"""TensorFlow samples: SavedModels (as ".zip" and ".tar.gz" archives of one top-level folder), Keras model
files and TFLite flat buffers. Our own small nets, weights from a NumPy generator seeded per sample."""
from __future__ import annotations

import os
import zlib
from pathlib import Path

from .core import (Sample, batch_variants, check_output_shapes, fail, input_dims, random_feeds, seed_of,
                   tensor)

TF_IMAGE = ["batch", 224, 224, 3]


def _tf_contract(loader, inputs, outputs, **extra):
    first = inputs[0]["shape"][0]
    static = first if isinstance(first, int) else None
    c = {"loader": loader, "loadable": True, "inputs": inputs, "outputs": outputs, "input_dims": input_dims(inputs),
         "batch": "static" if static else "dynamic", "static_batch_size": static}
    c.update(extra)
    return c


def _saved_model_sample(name, path, archive, folder, net, inputs, outputs, description):
    return Sample(name, path, "tf2", build_saved_model_archive,
                  _tf_contract("tf.saved_model", inputs, outputs, archive=archive, folder=folder, net=net,
                               signature="serving_default"),
                  description, None, reproducible=False)


def samples() -> list[Sample]:
    classifier_out = [tensor("output_0", ["batch", 1000])]
    multi_in = [tensor("inputs", ["batch", 32, 32, 3])]
    # In the signature's output order: by name (the mapping the call returns holds "scores" first).
    multi_out = [tensor("embedding", ["batch", 8]), tensor("scores", ["batch", 10])]
    samples = [
        _saved_model_sample(f"tf2_{stem}_{kind}", f"{stem}.{suffix}", suffix, stem, "classifier",
                            [tensor("inputs", TF_IMAGE)], classifier_out,
                            f"SavedModel of a small conv classifier (tf.Module), {suffix} archive")
        for stem, kind, suffix in (("mobilenet_v2", "zip", "zip"), ("mobilenet_v2", "tar", "tar.gz"),
                                   ("efficientnet_b0", "zip", "zip"), ("resnet50", "zip", "zip"))
    ]
    samples += [
        _saved_model_sample("tf2_multi_output", "tf/multi_output.zip", "zip", "multi_output", "multi_output",
                            multi_in, multi_out,
                            "SavedModel whose call returns a mapping of two named outputs"),
        Sample("keras_mobilenetv2_h5", "mobilenetv2.keras.h5", "keras", build_keras,
               _tf_contract("keras", [tensor("input_2", TF_IMAGE)], [tensor(None, ["batch", 1000])], net="classifier"),
               "small conv classifier with a softmax head, Keras HDF5 file", "keras", reproducible=False),
        Sample("keras_mobilenetv2_keras", "keras/mobilenetv2.keras", "keras", build_keras,
               _tf_contract("keras", [tensor("input_2", TF_IMAGE)], [tensor(None, ["batch", 1000])], net="classifier"),
               "the same classifier in the native .keras format", "keras", reproducible=False),
        Sample("keras_two_inputs", "keras/two_inputs.keras", "keras", build_keras,
               _tf_contract("keras", [tensor("image", ["batch", 32, 32, 3]), tensor("extra", ["batch", 10])],
                            [tensor("logits", ["batch", 10]), tensor("features", ["batch", 8])], net="two_inputs"),
               "two inputs (image, extra), two outputs", "keras", reproducible=False),
        Sample("tflite_mobilenet_v2", "mobilenet_v2_1.0_224.tflite", "tflite", build_tflite,
               _tf_contract("tflite", [tensor("input", [1, 224, 224, 3])], [tensor(None, [1, 1000])], net="classifier"),
               "small conv classifier converted to TFLite; input tensor named 'input'", "tflite",
               by_structure=True, reproducible=False),
        Sample("tflite_two_inputs", "tflite/two_inputs.tflite", "tflite", build_tflite,
               _tf_contract("tflite", [tensor("image", [1, 32, 32, 3]), tensor("extra", [1, 10])],
                            [tensor(None, [1, 10]), tensor(None, [1, 8])], net="two_inputs"),
               "two inputs (image, extra), two outputs, TFLite", "tflite", by_structure=True,
               reproducible=False),
    ]
    return samples


def _tf_weights(sample: Sample):
    import numpy as np

    # Archives of one SavedModel folder hold the same weights, whatever their format.
    folder = sample.contract.get("folder")
    rng = np.random.default_rng(zlib.crc32(folder.encode()) if folder else seed_of(sample))
    return lambda *shape: (rng.standard_normal(shape) * 0.1).astype(np.float32)


def _tf_module(sample: Sample):
    """A tf.Module whose __call__ takes the contract's inputs by name (a fixed or free batch)."""
    import tensorflow as tf

    c = sample.contract
    w = _tf_weights(sample)
    specs = [tf.TensorSpec([None if isinstance(d, str) else d for d in t["shape"]], tf.float32, name=t["name"])
             for t in c["inputs"]]

    module = tf.Module()
    if c["net"] == "classifier":
        module.kernel, module.dense = tf.Variable(w(3, 3, 3, 8)), tf.Variable(w(8, 1000))

        def call(inputs):
            y = tf.nn.relu(tf.nn.conv2d(inputs, module.kernel, 4, "SAME"))
            return tf.matmul(tf.reduce_mean(y, [1, 2]), module.dense)
    elif c["net"] == "multi_output":
        module.kernel, module.scores = tf.Variable(w(3, 3, 3, 8)), tf.Variable(w(8, 10))

        def call(inputs):
            features = tf.reduce_mean(tf.nn.relu(tf.nn.conv2d(inputs, module.kernel, 2, "SAME")), [1, 2])
            return {"scores": tf.matmul(features, module.scores), "embedding": features}
    else:
        module.kernel, module.extra = tf.Variable(w(3, 3, 3, 10)), tf.Variable(w(10, 8))

        def call(image, extra):
            features = tf.reduce_mean(tf.nn.relu(tf.nn.conv2d(image, module.kernel, 1, "SAME")), [1, 2])
            return features + extra, tf.matmul(extra, module.extra)
    module.__call__ = tf.function(call, input_signature=specs)
    return module


def _archive_tree(src: Path, dest: Path, kind: str, folder: str) -> None:
    """Writes src's files into a zip or tar.gz archive under `folder/`, in sorted order, fixed times."""
    import tarfile
    import zipfile

    files = sorted(p for p in src.rglob("*") if p.is_file())
    if kind == "zip":
        with zipfile.ZipFile(dest, "w", compression=zipfile.ZIP_DEFLATED) as z:
            for p in files:
                info = zipfile.ZipInfo(f"{folder}/{p.relative_to(src).as_posix()}", date_time=(2020, 1, 1, 0, 0, 0))
                info.external_attr = 0o644 << 16
                z.writestr(info, p.read_bytes(), compress_type=zipfile.ZIP_DEFLATED)
    else:
        def clean(info):
            info.mtime, info.uid, info.gid, info.uname, info.gname = 0, 0, 0, "", ""
            return info

        with tarfile.open(dest, "w:gz") as t:
            for p in files:
                t.add(p, arcname=f"{folder}/{p.relative_to(src).as_posix()}", recursive=False, filter=clean)


def build_saved_model_archive(sample: Sample, dest: Path) -> dict:
    import tempfile

    import tensorflow as tf

    c = sample.contract
    module = _tf_module(sample)
    with tempfile.TemporaryDirectory(prefix="ostrel-saved-model-") as tmp:
        tf.saved_model.save(module, tmp, signatures={"serving_default": module.__call__})
        _archive_tree(Path(tmp), dest, "zip" if c["archive"] == "zip" else "tar", c["folder"])
    return {"tensorflow": tf.version.VERSION}


def _keras_model(sample: Sample):
    import keras

    c = sample.contract
    keras.utils.set_random_seed(seed_of(sample))
    L = keras.layers
    inputs = [keras.Input(shape=tuple(t["shape"][1:]), name=t["name"]) for t in c["inputs"]]
    if c["net"] == "classifier":
        y = L.GlobalAveragePooling2D()(L.Conv2D(8, 3, strides=4, activation="relu")(inputs[0]))
        return keras.Model(inputs[0], L.Dense(1000, activation="softmax")(y))
    image, extra = inputs
    features = L.GlobalAveragePooling2D()(L.Conv2D(10, 3, activation="relu")(image))
    logits = L.Add(name="logits")([features, extra])
    return keras.Model(inputs, [logits, L.Dense(8, name="features")(extra)])


def build_keras(sample: Sample, dest: Path) -> dict:
    import keras

    model = _keras_model(sample)
    # Keras picks the format from the suffix; the temporary name keeps the final one.
    target = dest.with_name(dest.name + Path(sample.path).suffix)
    model.save(target)
    os.replace(target, dest)
    return {"keras": keras.__version__, "parameters": int(model.count_params())}


def build_tflite(sample: Sample, dest: Path) -> dict:
    import tensorflow as tf
    from tensorflow.lite.tools import flatbuffer_utils

    c = sample.contract
    module = _tf_module(sample)
    converter = tf.lite.TFLiteConverter.from_concrete_functions([module.__call__.get_concrete_function()], module)
    model = flatbuffer_utils.convert_bytearray_to_object(bytearray(converter.convert()))
    # The converter names the input tensors after the signature ("serving_default_input:0"); the
    # contract names them as the model's callers know them.
    graph = model.subgraphs[0]
    by_signature = {s.name.decode(): s.tensorIndex for s in model.signatureDefs[0].inputs}
    for t in c["inputs"]:
        graph.tensors[by_signature[t["name"]]].name = t["name"].encode()
    graph.inputs = [by_signature[t["name"]] for t in c["inputs"]]
    outputs = sorted((s.name.decode(), s.tensorIndex) for s in model.signatureDefs[0].outputs)
    graph.outputs = [index for _, index in outputs]  # output_0, output_1, ... as the function returns them
    dest.write_bytes(bytes(flatbuffer_utils.convert_object_to_bytearray(model)))
    return {"tensorflow": tf.version.VERSION}


def _tf_feeds(sample: Sample, batch: int) -> list:
    import numpy as np

    rng = np.random.default_rng(0)
    return random_feeds(sample, rng, batch, 1)


def verify_saved_model(sample: Sample, path: Path) -> dict:
    import tarfile
    import tempfile
    import zipfile

    import numpy as np
    import tensorflow as tf

    c = sample.contract
    with tempfile.TemporaryDirectory(prefix="ostrel-verify-") as tmp:
        if c["archive"] == "zip":
            with zipfile.ZipFile(path) as z:
                names = z.namelist()
                z.extractall(tmp)
        else:
            with tarfile.open(path) as t:
                names = t.getnames()
                t.extractall(tmp, filter="data")
        if {n.split("/")[0] for n in names} != {c["folder"]}:
            fail(sample, f"archive roots {sorted({n.split('/')[0] for n in names})}, expected {c['folder']!r}")
        model = tf.saved_model.load(os.path.join(tmp, c["folder"]))
        signature = model.signatures[c["signature"]]
        usable = [t for t in signature.inputs if t.shape.rank]
        got = [(t.name.split(":")[0], [None if d is None else d for d in t.shape]) for t in usable]
        want = [(t["name"], [None if isinstance(d, str) else d for d in t["shape"]]) for t in c["inputs"]]
        if got != want:
            fail(sample, f"signature inputs {got}, expected {want}")
        for batch, _ in batch_variants(sample):
            feeds = _tf_feeds(sample, batch)
            out = model(**{t["name"]: f for t, f in zip(c["inputs"], feeds)})
            ordered = [out[k] for k in sorted(signature.structured_outputs)] if isinstance(out, dict) else [out]
            check_output_shapes(sample, [o.numpy() for o in ordered], [f.shape for f in feeds])
            again = model(*feeds)
            again = [again[k] for k in sorted(signature.structured_outputs)] if isinstance(again, dict) else [again]
            if not all(np.array_equal(a.numpy(), b.numpy()) for a, b in zip(ordered, again)):
                fail(sample, "calls by name and by position differ")
        names = sorted(signature.structured_outputs)
        if isinstance(out, dict) and names != [t["name"] for t in c["outputs"]]:
            fail(sample, f"signature outputs {names}")
    return {"tensorflow": tf.version.VERSION, "signature_outputs": names}


def verify_keras(sample: Sample, path: Path) -> dict:
    import numpy as np
    import tensorflow as tf

    import tempfile

    c = sample.contract
    with tempfile.TemporaryDirectory(prefix="ostrel-verify-") as tmp:
        # Keras picks the format from the suffix, which the file being built does not carry yet.
        named = Path(tmp) / Path(sample.path).name
        named.symlink_to(Path(path).resolve())
        model = tf.keras.models.load_model(named)
    got = [(t.name, list(t.shape)) for t in model.inputs]
    want = [(t["name"], [None if isinstance(d, str) else d for d in t["shape"]]) for t in c["inputs"]]
    if got != want:
        fail(sample, f"inputs {got}, expected {want}")
    for batch, _ in batch_variants(sample):
        feeds = _tf_feeds(sample, batch)
        out = model.predict(feeds if len(feeds) > 1 else feeds[0], verbose=0)
        out = out if isinstance(out, list) else [out]
        check_output_shapes(sample, out, [f.shape for f in feeds])
        if not all(np.all(np.isfinite(o)) for o in out):
            fail(sample, "non-finite outputs")
    return {"keras": tf.keras.__version__}


def verify_tflite(sample: Sample, path: Path) -> dict:
    import numpy as np
    from ai_edge_litert.interpreter import Interpreter

    c = sample.contract
    interpreter = Interpreter(str(path), num_threads=1)
    interpreter.allocate_tensors()
    details = interpreter.get_input_details()
    got = [(d["name"], d["shape"].tolist(), str(np.dtype(d["dtype"]))) for d in details]
    want = [(t["name"], t["shape"], t["dtype"]) for t in c["inputs"]]
    if got != want:
        fail(sample, f"inputs {got}, expected {want}")
    if Path(path).read_bytes()[4:8] != b"TFL3":
        fail(sample, "no TFL3 file identifier at offset 4")
    feeds = _tf_feeds(sample, 1)
    for d, f in zip(details, feeds):
        interpreter.set_tensor(d["index"], f)
    interpreter.invoke()
    out = [interpreter.get_tensor(d["index"]) for d in interpreter.get_output_details()]
    check_output_shapes(sample, out, [f.shape for f in feeds])
    return {}


VERIFIERS = {"tf.saved_model": verify_saved_model, "keras": verify_keras,  # by the contract's loader
             "tflite": verify_tflite}
