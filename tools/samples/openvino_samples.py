"""OpenVINO samples: IR pairs (".xml" description and ".bin" weights) converted from generated ONNX models,
pickled checkpoints written as our checkpoint producer writes them (the description re-serialised by
ElementTree and encrypted with FilesDataInterface.encrypt_file, the weights, an optional mapping text,
one pickle record each), zipped checkpoints, and damaged or hostile variants of both.

The IR is two files, a sample one file: each pair is two samples built from the same conversion,
which is deterministic, so the two halves built by separate workers belong together (the verifier
converts again and compares)."""
from __future__ import annotations

import zlib
from pathlib import Path

from .core import (ONNX_IR_VERSION, ONNX_OPSET, RECIPE_VERSION, Sample, check_output_shapes, fail,
                   from_ostrel, input_dims, marker_detection, random_feeds, tensor)
from .onnx_samples import initializer

OV_RESNET_B1_PKL = "resnet50_batchsize_1_mac_i5_openvino.pkl"
OV_RESNEXT_B16_PKL = "cpu_optimized_models/resnext_101_32x4d_optimized_batch=16.pkl"
OV_RESNET_B64_ZIP = "cpu_optimized_models/resnet50_batch=64.zip"
# Written by the hostile pickled sample's first record, relative to the working folder of whoever
# unpickles it with the standard unpickler.
OV_UNPICKLE_MARKER = "ostrel-openvino-record-was-run.txt"


def _ov_io(net: str, batch: int) -> tuple[list, list]:
    if net == "convnet":
        return [tensor("input", [batch, 3, 224, 224])], [tensor("output", [batch, 10])]
    if net == "two_inputs":
        return ([tensor("image", [batch, 3, 32, 32]), tensor("scale", [batch, 1])],
                [tensor("pooled", [batch, 3]), tensor("doubled_scale", [batch, 1])])
    raise KeyError(net)


def _ov_contract(form: str, net: str, batch: int, fp16_weights: bool = False, **extra) -> dict:
    inputs, outputs = _ov_io(net, batch)
    c = {"loader": "openvino", "loadable": True, "form": form, "net": net, "fp16_weights": fp16_weights,
         "inputs": inputs, "outputs": outputs, "input_dims": input_dims(inputs), "batch": "static",
         "static_batch_size": batch}
    c.update(extra)
    return c


def _ov_ir_pair(name: str, path_stem: str, net: str, batch: int, description: str,
                fp16_weights: bool = False) -> list[Sample]:
    # The description is recognised by its structure; the weights alone are no model of any framework.
    return [Sample(f"{name}_{part}", f"{path_stem}.{part}", "openvino", build_openvino_ir,
                   _ov_contract(f"ir-{part}", net, batch, fp16_weights), f"{description} ({part} half)",
                   "openvino" if part == "xml" else None, by_structure=part == "xml", reproducible=part == "bin")
            for part in ("xml", "bin")]


def samples() -> list[Sample]:
    bad = {"loader": "openvino", "loadable": False}
    pairs = (_ov_ir_pair("openvino_ir_b1", "openvino/convnet_batch_1", "convnet", 1,
                         "small conv net IR, input 'input' (1,3,224,224)")
             + _ov_ir_pair("openvino_ir_b16", "openvino/convnet_batch_16", "convnet", 16,
                           "small conv net IR, static batch 16")
             + _ov_ir_pair("openvino_ir_b64", "openvino/convnet_batch_64", "convnet", 64,
                           "small conv net IR, static batch 64")
             + _ov_ir_pair("openvino_ir_fp16", "openvino/convnet_fp16_batch_1", "convnet", 1,
                           "small conv net IR with FP16-compressed weights", fp16_weights=True)
             + _ov_ir_pair("openvino_ir_two_inputs", "openvino/two_inputs_batch_1", "two_inputs", 1,
                           "two inputs, two outputs, static batch 1"))
    return pairs + [
        Sample("openvino_pkl_b1", OV_RESNET_B1_PKL, "openvino", build_openvino_pickle,
               _ov_contract("pkl", "convnet", 1, records=2, xml_record="encrypted"),
               "pickled checkpoint (encrypted description, weights), batch 1", None, reproducible=False),
        Sample("openvino_pkl_b16", OV_RESNEXT_B16_PKL, "openvino", build_openvino_pickle,
               _ov_contract("pkl", "convnet", 16, records=2, xml_record="encrypted"),
               "pickled checkpoint, static batch 16", None, reproducible=False),
        Sample("openvino_zip_b64", OV_RESNET_B64_ZIP, "openvino", build_openvino_zip,
               _ov_contract("zip", "convnet", 64, members=["resnet50_batch=64.xml", "resnet50_batch=64.bin"],
                            xml_member="resnet50_batch=64.xml"),
               "zipped checkpoint, description and weights at the archive root, batch 64", None,
               reproducible=False),
        Sample("openvino_pkl_plain_xml", "openvino/plain_xml_record.pkl", "openvino", build_openvino_pickle,
               _ov_contract("pkl", "convnet", 1, records=2, xml_record="plain"),
               "pickled checkpoint whose first record is the description in clear", None, reproducible=False),
        Sample("openvino_pkl_mapping", "openvino/with_mapping.pkl", "openvino", build_openvino_pickle,
               _ov_contract("pkl", "two_inputs", 1, records=3, xml_record="encrypted",
                            mapping="<mapping>\n</mapping>\n"),
               "pickled checkpoint with a third record, the mapping text", "openvino", reproducible=False),
        Sample("openvino_pkl_one_record", "openvino/one_record.pkl", "openvino", build_openvino_pickle,
               dict(bad, form="pkl", net="convnet", batch_size=1, records=1, expect="no weights record"),
               "pickled checkpoint holding the description only", None, reproducible=False),
        Sample("openvino_pkl_empty", "openvino/empty.pkl", "openvino", build_openvino_pickle,
               dict(bad, form="pkl", records=0, expect="empty file"), "an empty .pkl file", None),
        Sample("openvino_pkl_global", "openvino/names_a_global.pkl", "openvino", build_openvino_pickle,
               dict(bad, form="pkl", records=1, expect="global", creates=OV_UNPICKLE_MARKER),
               "first record calls builtins.open when unpickled (creates a file in the working folder)",
               None),
        Sample("openvino_zip_subfolder", "openvino/in_subfolder.zip", "openvino", build_openvino_zip,
               _ov_contract("zip", "convnet", 1, members=["README.txt", "model/ir.xml", "model/ir.bin"],
                            xml_member="model/ir.xml"),
               "zipped checkpoint with the model in a sub-folder beside another member", None,
               reproducible=False),
        Sample("openvino_zip_upper_case", "openvino/upper_case_name.zip", "openvino", build_openvino_zip,
               dict(bad, form="zip", net="convnet", batch_size=1, members=["MODEL.XML", "MODEL.BIN"],
                    expect="no xml member"),
               "zipped checkpoint whose description is named MODEL.XML", None),
        Sample("openvino_zip_parent_member", "openvino/parent_member.zip", "openvino", build_openvino_zip,
               dict(bad, form="zip", net="convnet", batch_size=1, members=["../../x/m.xml", "../../x/m.bin"],
                    expect="member outside"),
               "zipped checkpoint whose members climb out of the extraction folder", None),
    ]


_OV_ONNX_TYPES = {"float32": 1}  # onnx.TensorProto.FLOAT


def _ov_onnx(net: str, batch: int, seed: int):
    """The source ONNX model of a network."""
    import numpy as np
    from onnx import helper

    inputs, outputs = _ov_io(net, batch)
    rng = np.random.default_rng(seed)
    if net == "convnet":
        w1 = (rng.standard_normal((8, 3, 3, 3)) * 0.3).astype(np.float32)
        b1 = (rng.standard_normal(8) * 0.1).astype(np.float32)
        w2 = (rng.standard_normal((10, 8)) * 0.3).astype(np.float32)
        b2 = (rng.standard_normal(10) * 0.1).astype(np.float32)
        inits = [initializer("conv.weight", w1), initializer("conv.bias", b1), initializer("fc.weight", w2),
                 initializer("fc.bias", b2)]
        nodes = [
            helper.make_node("Conv", ["input", "conv.weight", "conv.bias"], ["conv"], name="conv",
                             kernel_shape=[3, 3], strides=[2, 2], pads=[1, 1, 1, 1]),
            helper.make_node("Relu", ["conv"], ["relu"], name="relu"),
            helper.make_node("GlobalAveragePool", ["relu"], ["pool"], name="pool"),
            helper.make_node("Flatten", ["pool"], ["flat"], name="flatten", axis=1),
            helper.make_node("Gemm", ["flat", "fc.weight", "fc.bias"], ["output"], name="fc", transB=1),
        ]
    else:
        inits = []
        nodes = [
            helper.make_node("GlobalAveragePool", ["image"], ["gap"], name="pool"),
            helper.make_node("Flatten", ["gap"], ["flat"], name="flatten", axis=1),
            helper.make_node("Mul", ["flat", "scale"], ["pooled"], name="scale_pooled"),
            helper.make_node("Add", ["scale", "scale"], ["doubled_scale"], name="double_scale"),
        ]
    vi = [[helper.make_tensor_value_info(t["name"], _OV_ONNX_TYPES[t["dtype"]], t["shape"]) for t in ts]
          for ts in (inputs, outputs)]
    graph = helper.make_graph(nodes, net, vi[0], vi[1], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", ONNX_OPSET)],
                              producer_name="ostrel-make-samples", producer_version=str(RECIPE_VERSION))
    model.ir_version = ONNX_IR_VERSION
    return model


def _ov_convert(c: dict, folder: Path, stem: str = "model") -> Path:
    """Writes the IR pair of contract `c` into `folder`; returns the .xml path."""
    import onnx
    import openvino as ov

    batch = c.get("static_batch_size") or c.get("batch_size") or 1
    source = folder / f"{stem}.onnx"
    onnx.save(_ov_onnx(c["net"], batch, zlib.crc32(c["net"].encode())), str(source))
    xml = folder / f"{stem}.xml"
    ov.save_model(ov.convert_model(str(source)), str(xml), compress_to_fp16=bool(c.get("fp16_weights")))
    return xml


def _ov_files_data_interface():
    return from_ostrel("ostrel.common.data_interface.files_data_interface", "FilesDataInterface")


def _ov_description(xml: Path) -> bytes:
    """The description as the checkpoint producer stores it: parsed and re-serialised by ElementTree."""
    import xml.etree.ElementTree as ET

    return ET.tostring(ET.parse(str(xml)).getroot(), encoding="utf8", method="xml")


class _OpenBuiltin:
    """Pickles as a call of builtins.open that creates OV_UNPICKLE_MARKER."""

    def __reduce__(self):
        import builtins

        return builtins.open, (OV_UNPICKLE_MARKER, "w")


def build_openvino_ir(sample: Sample, dest: Path) -> dict:
    import shutil
    import tempfile

    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        xml = _ov_convert(sample.contract, Path(tmp))
        part = sample.contract["form"].split("-")[1]
        shutil.copyfile(xml.with_suffix(f".{part}"), dest)
    return {}


def build_openvino_pickle(sample: Sample, dest: Path) -> dict:
    import pickle
    import tempfile

    c = sample.contract
    if c["records"] == 0:
        dest.write_bytes(b"")
        return {}
    if c.get("expect") == "global":
        dest.write_bytes(pickle.dumps(_OpenBuiltin(), protocol=4))
        return {}
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        xml = _ov_convert(c, Path(tmp))
        description = _ov_description(xml)
        if c.get("xml_record") != "plain":
            description = _ov_files_data_interface().encrypt_file(description)
        records = [description, xml.with_suffix(".bin").read_bytes()]
        if c.get("mapping"):
            records.append(c["mapping"].encode("utf-8"))
        # A Fernet token is printable text: a new one is drawn in the rare case that it happens to hold
        # another framework's detection marker.
        for _ in range(10):
            with open(dest, "wb") as f:
                for record in records[: c["records"]]:
                    pickle.dump(record, f)
            if marker_detection(dest) == sample.marker_match or c.get("xml_record") == "plain":
                break
            records[0] = _ov_files_data_interface().encrypt_file(_ov_description(xml))
    return {}


def build_openvino_zip(sample: Sample, dest: Path) -> dict:
    import tempfile
    import zipfile

    c = sample.contract
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        xml = _ov_convert(c, Path(tmp))
        contents = {".xml": xml.read_bytes(), ".bin": xml.with_suffix(".bin").read_bytes()}
        with zipfile.ZipFile(dest, "w") as z:
            for name in c["members"]:
                data = contents.get(name.lower()[-4:], b"an extra member that stays beside the model\n")
                info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
                info.compress_type = zipfile.ZIP_DEFLATED
                z.writestr(info, data)
    return {}


def _ov_run(sample: Sample, xml: Path, weights: Path) -> dict:
    """Compiles the pair for the CPU, checks inputs and outputs against the contract and the values
    against onnxruntime on the source model."""
    import tempfile

    import numpy as np
    import onnxruntime as ort
    import openvino as ov

    c = sample.contract
    compiled = ov.Core().compile_model(ov.Core().read_model(model=str(xml), weights=str(weights)), "CPU")
    got = [(i.get_any_name(), list(i.get_shape()), i.get_element_type().to_dtype().name) for i in compiled.inputs]
    want = [(t["name"], t["shape"], t["dtype"]) for t in c["inputs"]]
    if got != want:
        fail(sample, f"inputs are {got}, expected {want}")
    feeds = random_feeds(sample, np.random.default_rng(0), c["static_batch_size"], 16)
    result = compiled(dict(zip([t["name"] for t in c["inputs"]], feeds)))
    outputs = [result[t["name"]] for t in c["outputs"]]
    check_output_shapes(sample, outputs, [f.shape for f in feeds])
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        source = Path(tmp) / "source.onnx"
        import onnx

        onnx.save(_ov_onnx(c["net"], c["static_batch_size"], zlib.crc32(c["net"].encode())), str(source))
        sess = ort.InferenceSession(str(source), providers=["CPUExecutionProvider"])
        reference = sess.run(None, dict(zip([t["name"] for t in c["inputs"]], feeds)))
    tol = 1e-2  # the CPU plugin may run in bf16 where the processor has it
    for t, o, r in zip(c["outputs"], outputs, reference):
        if not np.allclose(o, r, rtol=tol, atol=tol):
            fail(sample, f"output {t['name']} differs from onnxruntime on the source model")
    return {"openvino": ov.get_version()}


def _ov_record_ops(data: bytes) -> list[list[str]]:
    """Opcode names of each pickle record in `data`, without unpickling anything."""
    import io
    import pickletools

    f = io.BytesIO(data)
    records = []
    while f.tell() < len(data):
        records.append([op.name for op, _, _ in pickletools.genops(f)])
    return records


def verify_openvino(sample: Sample, path: Path) -> dict:
    import pickle
    import tempfile
    import zipfile

    c = sample.contract
    data = path.read_bytes()
    with tempfile.TemporaryDirectory(prefix="ostrel-ov-") as tmp:
        tmp = Path(tmp)
        if c["form"].startswith("ir-"):
            xml = _ov_convert(c, tmp)
            part = c["form"].split("-")[1]
            # The weights are the same bytes at every conversion; the description's generated node names
            # depend on what the process converted before, its layout does not.
            if part == "bin" and data != xml.with_suffix(".bin").read_bytes():
                fail(sample, "the conversion is not reproducible: the other half of the pair would not match")
            return _ov_run(sample, path if part == "xml" else xml, path if part == "bin" else xml.with_suffix(".bin"))
        if c["form"] == "pkl":
            ops = _ov_record_ops(data)
            if len(ops) != c["records"]:
                fail(sample, f"{len(ops)} records, expected {c['records']}")
            names_global = any(op in ("GLOBAL", "STACK_GLOBAL", "REDUCE") for record in ops for op in record)
            if names_global != (c.get("expect") == "global"):
                fail(sample, "a record names a global" if names_global else "no record names a global")
            if not c["loadable"]:
                return {}
            with open(path, "rb") as f:  # our own file, just written: only bytes records (checked above)
                records = [pickle.load(f) for _ in range(c["records"])]
            if not all(isinstance(r, bytes) for r in records):
                fail(sample, "every record must be a bytes object")
            reference = _ov_convert(c, tmp, "reference")
            description = records[0]
            if c["xml_record"] == "encrypted":
                description = _ov_files_data_interface().decrypt_file(description)
            if not description.startswith(b"<?xml version='1.0' encoding='utf8'?>\n<net "):
                fail(sample, "the description record is not an ElementTree serialisation of a network")
            if records[1] != reference.with_suffix(".bin").read_bytes():
                fail(sample, "the weights record differs from the converted weights")
            if c["records"] == 3 and records[2].decode("utf-8") != c["mapping"]:
                fail(sample, "the mapping record differs")
            (tmp / "unpacked.xml").write_bytes(description)
            (tmp / "unpacked.bin").write_bytes(records[1])
            return _ov_run(sample, tmp / "unpacked.xml", tmp / "unpacked.bin")
        with zipfile.ZipFile(path) as z:
            if z.namelist() != c["members"]:
                fail(sample, f"members {z.namelist()}, expected {c['members']}")
            if not c["loadable"]:
                return {}
            member = c["xml_member"]
            (tmp / "m.xml").write_bytes(z.read(member))
            (tmp / "m.bin").write_bytes(z.read(member[: -len(".xml")] + ".bin"))
        return _ov_run(sample, tmp / "m.xml", tmp / "m.bin")


VERIFIERS = {"openvino": verify_openvino}  # by the contract's loader
