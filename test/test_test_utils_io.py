"""tests.test_utils: sample downloads and the pickled OpenVINO checkpoint producer."""
import http.server
import os
import pathlib
import pickle
import re
import socketserver
import stat
import tempfile
import textwrap
import threading
import xml.etree.ElementTree as ET

import pytest

from ostrel.common.data_interface.files_data_interface import FilesDataInterface
from tests.test_utils import downloads_helpers
from tests.test_utils.downloads_helpers import download_temporary_test_file
from tests.test_utils.onnx_to_openvino import pickle_openvino_checkpoint_files

UUID = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"

# ---- downloads -------------------------------------------------------------------------------------------


@pytest.fixture
def private_tmp(tmp_path, monkeypatch):
    """The system temporary directory moved into the test's folder; returns the download folder."""
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    return tmp_path / f"ostrel-downloads-{os.getuid()}"


class _Handler(http.server.BaseHTTPRequestHandler):
    body = b"x" * 1000

    def do_GET(self):  # noqa: N802 - the server's naming
        if self.path == "/short":
            self.send_response(200)
            self.send_header("Content-Length", "100000")
            self.end_headers()
            self.wfile.write(b"partial")
            self.wfile.flush()
            self.connection.shutdown(2)  # the connection ends before the announced length
            self.close_connection = True
        elif self.path == "/unannounced":  # no length: read until the server closes
            self.send_response(200)
            self.end_headers()
            self.wfile.write(b"y" * 100_000)
            self.close_connection = True
        elif self.path == "/ok":
            self.send_response(200)
            self.send_header("Content-Length", str(len(self.body)))
            self.end_headers()
            self.wfile.write(self.body)
        else:
            self.send_error(404)

    def log_message(self, *args):
        pass


@pytest.fixture
def server():
    httpd = socketserver.TCPServer(("127.0.0.1", 0), _Handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()
    thread.join()


def test_download_names_and_private_folder(private_tmp, server, tmp_path):
    source = tmp_path / "model.onnx"
    source.write_bytes(b"abc")
    first = download_temporary_test_file(source.as_uri(), "test-detection-")
    second = download_temporary_test_file(source.as_uri(), "test-detection-")
    assert first != second
    assert re.fullmatch(re.escape(str(private_tmp)) + "/test-detection-" + UUID, first)
    assert open(first, "rb").read() == b"abc"
    bare = download_temporary_test_file(f"{server}/ok")
    assert re.fullmatch(UUID, os.path.basename(bare)) and open(bare, "rb").read() == _Handler.body
    assert stat.S_IMODE(os.stat(private_tmp).st_mode) == 0o700
    assert sorted(os.listdir(private_tmp)) == sorted(os.path.basename(p) for p in (first, second, bare))


def test_download_cut_short_raises_and_leaves_nothing(private_tmp, server):
    with pytest.raises(Exception, match="^File download did not finish correctly <urlopen error retrieval incomplete: got only 7 out of 100000") as info:
        download_temporary_test_file(f"{server}/short", "photo-")
    assert type(info.value) is Exception
    assert type(info.value.__context__).__name__ == "ContentTooShortError"
    assert os.listdir(private_tmp) == []


def test_download_errors_propagate_unchanged_and_leave_nothing(private_tmp, server, tmp_path):
    import urllib.error

    with pytest.raises(urllib.error.HTTPError):
        download_temporary_test_file(f"{server}/missing")
    with pytest.raises(urllib.error.URLError):
        download_temporary_test_file((tmp_path / "absent").as_uri())
    assert os.listdir(private_tmp) == []


def test_download_refuses_sources_that_never_end(private_tmp, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for source in (fifo, "/dev/zero", tmp_path):
        with pytest.raises(ValueError, match="^Refusing to download file://.* is not a regular file$"):
            download_temporary_test_file(pathlib.Path(source).as_uri())
    assert not private_tmp.exists() or os.listdir(private_tmp) == []


@pytest.mark.parametrize("limit, source, message", [
    ("999", "/ok", "its announced 1000 bytes exceed the limit of 999 bytes"),
    ("10000", "/unannounced", "it grew past the limit of 10000 bytes"),
    ("999", "file", "Refusing to download file://.*: its 1000 bytes exceed the limit of 999 bytes"),
])
def test_download_stops_past_the_size_limit(private_tmp, server, tmp_path, monkeypatch, limit, source, message):
    local = tmp_path / "sample.bin"
    local.write_bytes(b"z" * 1000)
    url = local.as_uri() if source == "file" else server + source
    monkeypatch.setenv("OSTREL_MAX_DOWNLOAD_BYTES", limit)
    with pytest.raises(ValueError, match=message + r" \(OSTREL_MAX_DOWNLOAD_BYTES\)"):
        download_temporary_test_file(url)
    assert not private_tmp.exists() or os.listdir(private_tmp) == []
    monkeypatch.setenv("OSTREL_MAX_DOWNLOAD_BYTES", "1000")
    if source != "/unannounced":
        assert pathlib.Path(download_temporary_test_file(url)).read_bytes() == (
            local.read_bytes() if source == "file" else _Handler.body)
    monkeypatch.setenv("OSTREL_MAX_DOWNLOAD_BYTES", "lots")
    with pytest.raises(ValueError, match="OSTREL_MAX_DOWNLOAD_BYTES must be a positive number of bytes, not 'lots'"):
        download_temporary_test_file(url)


def test_download_refuses_a_folder_others_can_enter(private_tmp, tmp_path):
    private_tmp.mkdir(mode=0o777)
    os.chmod(private_tmp, 0o777)
    with pytest.raises(PermissionError, match="mode 0700"):
        download_temporary_test_file((tmp_path / "x").as_uri())
    private_tmp.rmdir()
    private_tmp.symlink_to(tmp_path)
    with pytest.raises(PermissionError):
        download_temporary_test_file((tmp_path / "x").as_uri())


def test_sample_base_url_from_the_environment(monkeypatch, tmp_path):
    monkeypatch.delenv("OSTREL_SAMPLES_URL", raising=False)
    monkeypatch.setenv("OSTREL_SAMPLES_DIR", str(tmp_path))
    assert downloads_helpers.sample_base_url() == tmp_path.as_uri()
    monkeypatch.setenv("OSTREL_SAMPLES_URL", "http://samples.invalid/base/")
    assert downloads_helpers.sample_base_url() == "http://samples.invalid/base/"


# ---- OpenVINO checkpoint producer ----------------------------------------------------------------------

XML = '<?xml version="1.0"?>\n<!-- a comment --><net name="tiny" version="11"><layers><layer id="0"/></layers></net>\n'


def make_ir(folder, stem="model", mapping=None):
    folder.mkdir(parents=True, exist_ok=True)
    (folder / f"{stem}.xml").write_text(XML)
    (folder / f"{stem}.bin").write_bytes(bytes(range(256)) * 3)
    if mapping is not None:
        (folder / f"{stem}.mapping").write_text(mapping)
    return folder / f"{stem}.xml"


def records(path):
    out = []
    with open(path, "rb") as f:
        while True:
            try:
                out.append(pickle.load(f))
            except EOFError:
                return out


@pytest.mark.parametrize("mapping, count", [(None, 2), ("", 2), ("<mapping>é</mapping>\n", 3)])
def test_checkpoint_records(tmp_path, mapping, count):
    xml = make_ir(tmp_path, mapping=mapping)
    out = pickle_openvino_checkpoint_files(str(xml))
    assert out == str(tmp_path / "model.pkl")
    recs = records(out)
    assert len(recs) == count and all(type(r) is bytes for r in recs)
    description = FilesDataInterface.decrypt_file(recs[0])
    expected = ET.tostring(ET.parse(xml).getroot(), encoding="utf8", method="xml")
    assert description == expected and b"a comment" not in description
    assert recs[1] == (tmp_path / "model.bin").read_bytes()
    if count == 3:
        assert recs[2] == mapping.encode("utf-8")
    assert oct(os.stat(out).st_mode & 0o777) == oct(0o666 & ~_umask())
    # A second run gives another token and replaces the file.
    assert pickle_openvino_checkpoint_files(str(xml)) == out
    assert records(out)[0] != recs[0]
    assert sorted(os.listdir(tmp_path)) == sorted(["model.xml", "model.bin", "model.pkl"]
                                                  + (["model.mapping"] if mapping is not None else []))


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_output_name_comes_from_the_final_suffix_only(tmp_path):
    xml = make_ir(tmp_path / "ir.xml.d", stem="net.xml.v2")
    out = pickle_openvino_checkpoint_files(xml)
    assert out == str(tmp_path / "ir.xml.d" / "net.xml.v2.pkl")
    assert len(records(out)) == 2


@pytest.mark.parametrize("damage", ["no_bin", "bad_xml", "not_xml_suffix", "mapping_dir"])
def test_failures_name_the_file_and_write_nothing(tmp_path, damage):
    xml = make_ir(tmp_path)
    existing = tmp_path / "model.pkl"
    existing.write_bytes(b"previous")
    path = str(xml)
    if damage == "no_bin":
        (tmp_path / "model.bin").unlink()
    elif damage == "bad_xml":
        xml.write_text("<net>")
    elif damage == "not_xml_suffix":
        path = str(tmp_path / "model.bin")
    else:
        (tmp_path / "model.mapping").mkdir()
    before = (tmp_path / "model.bin").read_bytes() if damage != "no_bin" else None
    with pytest.raises(Exception, match="^failed to pickle file " + re.escape(path) + ", err: ") as info:
        pickle_openvino_checkpoint_files(path)
    assert type(info.value) is Exception and info.value.__cause__ is not None
    assert existing.read_bytes() == b"previous"
    if before is not None:
        assert (tmp_path / "model.bin").read_bytes() == before
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


def test_checkpoint_loads_through_the_openvino_backend(tmp_path):
    ov = pytest.importorskip("openvino")
    try:
        from ostrel.frameworks.openvino_inferencer import OpenVinoInferencer
    except ModuleNotFoundError:
        pytest.skip("the OpenVINO back-end is not in this build")
    import numpy as np

    param = ov.opset8.parameter([1, 3, 8, 8], ov.Type.f32, name="input")
    weights = ov.opset8.constant(np.full((1, 3, 8, 8), 0.5, np.float32))
    model = ov.Model([ov.opset8.multiply(param, weights)], [param], "scale")
    xml = tmp_path / "scale.xml"
    ov.save_model(model, str(xml), compress_to_fp16=False)
    x = np.random.default_rng(0).random((1, 3, 8, 8), dtype=np.float32)
    direct = OpenVinoInferencer(str(xml)).predict(x)
    packed = OpenVinoInferencer(pickle_openvino_checkpoint_files(str(xml))).predict(x)
    np.testing.assert_array_equal(packed[0], direct[0])


def test_demonstration_uses_the_model_shapes(run_python, tmp_path):
    """The demonstration program, with a stand-in back-end that records what it was given."""
    xml = make_ir(tmp_path)
    code = textwrap.dedent("""
        import runpy, sys, types
        import numpy as np
        import ostrel.frameworks
        seen = {}
        class OpenVinoInferencer:
            def __init__(self, checkpoint_file):
                seen["path"] = checkpoint_file
                self._input_dims, self._static_batch_size = [(3, 8, 6)], 2
            def predict(self, x):
                assert x.dtype == np.float32 and x.shape == (2, 3, 8, 6), x.shape
                return [x[:, :1]]
        stub = types.ModuleType("ostrel.frameworks.openvino_inferencer")
        stub.OpenVinoInferencer = OpenVinoInferencer
        sys.modules[stub.__name__] = stub
        runpy.run_module("tests.test_utils.onnx_to_openvino", run_name="__main__")
        print(seen["path"])
    """)
    r = run_python(code, env={"OSTREL_OPENVINO_DEMO_MODEL": str(xml)})
    assert r.stdout.splitlines()[-2:] == ["Ran inference successfully, model output: (2, 1, 8, 6)",
                                          str(tmp_path / "model.pkl")]
