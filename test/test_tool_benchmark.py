"""Benchmark runner and its log and results CSV."""
import csv
import json
import os
import shutil
import subprocess
import sys
from argparse import Namespace

import pytest

from tests.ostrel_tool.ostrel_tool_benchmarker import ToolBenchmarker
from tests.ostrel_tool.ostrel_tool_logger import ToolLogger

NEEDED = ["return_model_input.onnx", "torch/two_inputs_tuple.pth"]
HEADINGS = ["Batch Size", "Batch Inf Time", "Batch Inf Time Variance", "System Startpoint Memory Used",
            "Model Memory Used", "Post Inference Memory Used", "Total Memory Size", "Throughput", "Sample Inf Time",
            "Include Io", "Framework Type", "Framework Version", "Inference Hardware", "Ostrel Version", "Date",
            "Ctime", "H To D Mean", "D To H Mean", "H To D Variance", "D To H Variance", "Model", "Framework",
            "Repetitions", "Benchmark Date"]


def args(tmp_path, **kw):
    base = dict(model_file=None, model_dir=None, infer_framework=False, framework=None, metadata_file=None,
                is_child_process=False, batch_sizes=["1"], repetitions=None, log_path=str(tmp_path / "log.txt"),
                csv_path=str(tmp_path / "results.csv"), models_per_process=1)
    base.update(kw)
    return Namespace(**base)


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.reader(f))


def tool(tmp_path, *argv):
    env = dict(os.environ, HOME=str(tmp_path / "home"))
    return subprocess.run([sys.executable, "-m", "tests.ostrel_tool.main", *argv], capture_output=True, text=True,
                          env=env, cwd=tmp_path)


def test_result_row_order_and_values(tmp_path):
    from ostrel.common.data_classes.inferencer_benchmark_result import ModelBenchmarks
    record = ModelBenchmarks(batch_size=2, batch_inf_time=1.5, include_io=True, framework_type="onnx",
                             inference_hardware="cpu")
    prep = "_ToolBenchmarker__prep_results_for_logging"
    b = ToolBenchmarker(args(tmp_path, model_file="/m/dir.v2/model.onnx", framework="onnx"), "main.py")
    row = getattr(b, prep)(record, "onnx", "3.10", "CPU")
    assert list(row) == HEADINGS
    assert (row["Inference Hardware"], row["Ostrel Version"], row["Model"], row["Framework"]) == \
        ("CPU", "3.10", "model.onnx", "onnx")
    assert row["Repetitions"] == "OSTREL DEFAULT" and row["Batch Size"] == 2 and row["H To D Mean"] is None
    b._repetitions = "5"
    assert getattr(b, prep)(record, "onnx", "3.10", "CPU")["Repetitions"] == "5"


def test_log_blocks_and_csv_rewrite(tmp_path):
    logger = ToolLogger(str(tmp_path / "log.txt"), str(tmp_path / "r.csv"))
    assert logger.results_dataframe() is None
    row = {h: None for h in HEADINGS}
    row.update({"Batch Size": 1, "Batch Inf Time": 0.1, "Ostrel Version": "3.10", "Framework Version": "1.20",
                "Model": "m.onnx", "Date": "d"})
    logger.log_benchmark_success(row)
    logger.log_benchmark_success(dict(row, **{"Batch Size": 2, "Extra B": 1, "Extra A": "x"}))
    rows = read_csv(tmp_path / "r.csv")
    assert rows[0] == HEADINGS + ["Extra A", "Extra B"]
    assert [r[0] for r in rows[1:]] == ["1", "2"]
    assert {r[13] for r in rows[1:]} == {"3.10"} and {r[11] for r in rows[1:]} == {"1.20"}
    # New headings trail in sorted order, empty in earlier rows; earlier cells are kept as written.
    assert rows[1][-2:] == ["", ""] and rows[2][-2:] == ["x", "1"]
    assert sorted(os.listdir(tmp_path)) == ["log.txt", "r.csv", "r.csv.lock"]  # no temporary file left behind
    logger.add_error_to_logging_buffer("first")
    logger.add_error_to_logging_buffer("second")
    for out in ("o1", "o2"):
        logger.log_benchmark_error(Namespace(stdout=out, stderr="e"))
    del logger
    log = (tmp_path / "log.txt").read_text()
    success = "--------------------- SUCCESS ---------------------\n\n"
    assert log.startswith(success + "--- Batch Size" + " " * 20 + "1\n")
    assert "--- System Startpoint Memory Used None\n" in log
    assert "--- Date" + " " * 26 + "d\n" in log
    assert "\nERROR: first\n\nERROR: second\n" in log
    block = ("--------------------- ERROR ---------------------\n\nEncountered Error: \nfirst\n"
             "Encountered Error: \nsecond\n\nSTDOUT: \n{}\n\nSTDERR: \ne\n\n" + "-" * 51 + "\n\n\n\n")
    assert log.endswith(block.format("o1") + block.format("o2"))


FAKE_MAIN = """
import os, signal, sys
with open(os.environ["ARGV_LOG"], "a") as f:
    f.write(repr(sys.argv[1:]) + "\\n")
model = os.path.basename(sys.argv[sys.argv.index("--model_file") + 1])
print("child output for", model)
if model.startswith("crash"):
    os.kill(os.getpid(), signal.SIGSEGV)
if model.startswith("fail"):
    sys.exit(3)
"""


def test_parent_runs_every_pair_and_records_crashes(tmp_path, monkeypatch, capfd):
    script = tmp_path / "fake_main.py"
    script.write_text(FAKE_MAIN)
    models = tmp_path / "models"
    models.mkdir()
    for name in ("a.onnx", "crash.onnx", "fail.onnx", "meta.json"):
        (models / name).write_text("{}")
    monkeypatch.setenv("ARGV_LOG", str(tmp_path / "argv.txt"))
    b = ToolBenchmarker(args(tmp_path, model_dir=str(models), metadata_file=str(models / "meta.json"),
                             batch_sizes=["1", "4"], repetitions="", models_per_process=2),
                        str(script))
    b.execute()
    calls = [eval(line) for line in (tmp_path / "argv.txt").read_text().splitlines()]
    listed = [n for n in os.listdir(models) if n != "meta.json"]
    assert [(os.path.basename(c[c.index("--model_file") + 1]), c[c.index("--batch_sizes") + 1]) for c in calls] == \
        [(n, bs) for n in listed for bs in ("1", "4")]
    assert calls[0][:4] == ["benchmark", "--is_a_child_process", "--metadata_file", str(models / "meta.json")]
    assert "--repetitions" not in calls[0] and calls[0][-2:] == ["--models_per_process", "2"]
    del b
    log = (tmp_path / "log.txt").read_text()
    assert log.count("- ERROR -") == 4 and "a.onnx" not in log
    assert "STDOUT: \nchild output for crash.onnx\n" in log
    assert "crash.onnx with batch size 4 ended with signal SIGSEGV." in log
    assert "fail.onnx with batch size 1 ended with exit status 3." in log
    err = capfd.readouterr().err
    assert "crash.onnx batch size 1: FAILED (signal SIGSEGV)" in err and "a.onnx batch size 4: ok in" in err
    assert err.endswith("ostrel-tool benchmark: 4 of 6 runs failed\n")


def test_metadata_errors(tmp_path):
    with pytest.raises(FileNotFoundError, match="Could not find provided model metadata file: "):
        ToolBenchmarker(args(tmp_path, model_file="m.onnx", metadata_file=str(tmp_path / "none.json")), "m.py")
    meta = tmp_path / "m.json"
    meta.write_text("{")
    with pytest.raises(json.JSONDecodeError):
        ToolBenchmarker(args(tmp_path, model_file="m.onnx", metadata_file=str(meta)), "m.py")
    meta.write_text("{}")
    b = ToolBenchmarker(args(tmp_path, model_file=str(tmp_path / "x" / "m.json"), metadata_file=str(meta)), "m.py")
    with pytest.raises(ValueError, match="Metadata and model file must be different!"):
        b.execute()


def test_children_that_cannot_resolve_a_framework_write_an_error_line(tmp_path):
    models = tmp_path / "models"
    models.mkdir()
    (models / "model.tflite").write_text("")
    (models / "unknown.onnx").write_text("")
    meta = tmp_path / "meta.json"
    meta.write_text(json.dumps({"unknown.onnx": {"input_dims": [1]}}))
    paths = ("-o", str(tmp_path / "log.txt"), "--csv_path", str(tmp_path / "results.csv"))
    r = tool(tmp_path, "benchmark", "-p", str(models / "model.tflite"), "-i", "--batch_sizes", "1", *paths)
    assert r.returncode == 0
    assert "model.tflite batch size 1: FAILED (ERROR line in the log)" in r.stderr
    assert r.stderr.endswith("1 of 1 runs failed\n")
    r = tool(tmp_path, "benchmark", "-d", str(models), "--metadata_file", str(meta), "--batch_sizes", "1", *paths)
    assert r.returncode == 0
    assert not (tmp_path / "results.csv").exists()
    text = (tmp_path / "log.txt").read_text()
    assert "\nERROR: Failed to infer framework type from path: " + str(models / "model.tflite") + "\n" in text
    assert "\nERROR: Could not get metadata or framework for:\t" + str(models / "unknown.onnx") + "\n" in text


def test_sweep_over_real_models(tmp_path, samples):
    models = tmp_path / "models"
    models.mkdir()
    shutil.copy(samples / "return_model_input.onnx", models)
    shutil.copy(samples / "torch" / "two_inputs_tuple.pth", models)
    (models / "legacy.pb").write_bytes(b"\0")
    meta = tmp_path / "meta.json"
    meta.write_text(json.dumps({"return_model_input.onnx": {"framework": "onnx"},
                                "two_inputs_tuple.pth": {"framework": "torchscript",
                                                         "input_dims": [[3, 32, 32], [10]]},
                                "legacy.pb": {"framework": "tf1"}}))
    log, results = tmp_path / "log.txt", tmp_path / "results.csv"
    r = tool(tmp_path, "benchmark", "-d", str(models), "--metadata_file", str(meta), "--batch_sizes", "1", "2",
             "--repetitions", "2", "-o", str(log), "--csv_path", str(results))
    assert r.returncode == 0, r.stderr
    assert r.stdout == "" and r.stderr.endswith("ostrel-tool benchmark: 2 of 6 runs failed\n")
    rows = read_csv(results)
    assert rows[0] == HEADINGS and len(rows) == 5
    got = sorted((row[20], row[21], row[0], row[22]) for row in rows[1:])
    assert got == [("return_model_input.onnx", "onnx", "1", "2"), ("return_model_input.onnx", "onnx", "2", "2"),
                   ("two_inputs_tuple.pth", "torchscript", "1", "2"), ("two_inputs_tuple.pth", "torchscript", "2", "2")]
    text = log.read_text()
    assert text.count("- SUCCESS -") == 4 and text.count("- ERROR -") == 2
    assert "legacy.pb with batch size 2 ended with exit status 1." in text


def test_a_model_name_that_is_not_utf8_fails_alone(tmp_path, samples):
    models = tmp_path / "models"
    models.mkdir()
    for name in (b"good.onnx", b"also good.onnx", b"bad\xff.onnx"):
        shutil.copy(samples / "return_model_input.onnx", os.path.join(os.fsencode(models), name))
    log, results = tmp_path / "log.txt", tmp_path / "results.csv"
    r = tool(tmp_path, "benchmark", "-d", str(models), "-i", "--batch_sizes", "1", "--repetitions", "1",
             "-o", str(log), "--csv_path", str(results))
    assert r.returncode == 0, r.stderr
    assert r.stderr.endswith("ostrel-tool benchmark: 1 of 3 runs failed\n")
    assert sorted(row[20] for row in read_csv(results)[1:]) == ["also good.onnx", "good.onnx"]
    text = log.read_text(encoding="utf-8")
    assert text.count("- ERROR -") == 1 and text.count("- SUCCESS -") == 2
    assert "The model file name bad\ufffd.onnx is not valid UTF-8" in text
    assert "bad\ufffd.onnx with batch size 1 ended with exit status 1." in text


NOISY_MAIN = """
import sys
out = sys.stdout.buffer
out.write(b"first line\\n" + b"x" * (3 << 20) + b"\\nlatin-1 \\xe9t\\xe9\\n")
out.flush()
sys.stderr.buffer.write(b"\\xff\\xfe broken\\n")
sys.exit(2)
"""


def test_child_output_is_kept_as_a_bounded_tail_with_replacements(tmp_path):
    script = tmp_path / "noisy_main.py"
    script.write_text(NOISY_MAIN)
    b = ToolBenchmarker(args(tmp_path, model_file=str(tmp_path / "m.onnx"), framework="onnx"), str(script))
    spawn = getattr(ToolBenchmarker, "_ToolBenchmarker__spawn_synchronous_child_proc")
    result = spawn(b._ToolBenchmarker__command_parameters("1", "m.onnx"))
    assert result.returncode == 2
    head, tail = result.stdout.split("\n", 1)
    written = len(b"first line\n") + (3 << 20) + len(b"\nlatin-1 \xe9t\xe9\n")
    assert head == f"[... {written - (1 << 20)} bytes of earlier output left out ...]"
    assert len(tail.encode("utf-8", "surrogateescape")) <= (1 << 20) + 4
    assert tail.endswith("x\nlatin-1 \ufffdt\ufffd\n") and result.stderr == "\ufffd\ufffd broken\n"
    b.execute()
    del b
    text = (tmp_path / "log.txt").read_text(encoding="utf-8")
    assert "bytes of earlier output left out" in text and "STDERR: \n\ufffd\ufffd broken\n" in text
    assert len(text) < (1 << 20) + 4096
