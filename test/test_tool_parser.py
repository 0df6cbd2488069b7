"""The tool's command line and its entry."""
import subprocess
import sys

import pytest

from tests.ostrel_tool.ostrel_tool_parser import ToolParser


def parse(argv, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["ostrel-tool", *argv])
    return ToolParser().parsed_user_args()


def test_benchmark_defaults_and_lists(monkeypatch):
    a = parse(["benchmark", "-d", "m", "-i", "--batch_sizes", "4", "1", "2", "--repetitions", "x"], monkeypatch)
    assert a.subcommand == "benchmark"
    assert a.batch_sizes == ["4", "1", "2"] and a.repetitions == "x"
    assert (a.model_dir, a.model_file, a.infer_framework, a.framework) == ("m", None, True, None)
    assert a.log_path == "/tmp/ostrel_benchmarking_logfile.txt"
    assert a.csv_path == "/tmp/ostrel_benchmarking_results.csv"
    assert (a.models_per_process, a.is_child_process) == (1, False)
    p = parse(["plot", "--csv_path", "c", "--x_axis", "Model", "--y_axes", "Throughput"], monkeypatch)
    assert (p.interactive, p.plot_type, p.show_plot, p.output_path) == (True, "bar", False, None)


@pytest.mark.parametrize("argv", [
    [],
    ["nosuch"],
    ["benchmark", "-p", "m.onnx", "-i"],
    ["benchmark", "-p", "m.onnx", "-i", "-f", "onnx", "--batch_sizes", "1"],
    ["benchmark", "-p", "m.onnx", "-d", "d", "-i", "--batch_sizes", "1"],
    ["benchmark", "-i", "--batch_sizes", "1"],
    ["benchmark", "-p", "m.onnx", "-i", "--batch_sizes", "1", "--models_per_process", "1.5"],
    ["benchmark", "-p", "m.onnx", "-i", "--batch_sizes", "1", "--models_per_process", "two"],
    ["regression", "--metrics", "Throughput"],
    ["plot", "--csv_path", "c", "--y_axes", "Throughput"],
    ["slack", "--plot_paths", "a.html"],
    ["regression", "--csv_path", "c", "--metrics", "Throughput", "--channel", "x"],
])
def test_rejected_command_lines_exit_2(argv, monkeypatch, capsys):
    with pytest.raises(SystemExit) as e:
        parse(argv, monkeypatch)
    assert e.value.code == 2
    assert "usage:" in capsys.readouterr().err


@pytest.mark.parametrize("path, framework", [
    ("a/m.onnx", "onnx"), ("m.pb", "tf1"), ("m.zip", "tf2"), ("m.trt", "trt"), ("x/y.pth", "torchscript"),
    ("m.h5", "keras"), ("m.pkl", "openvino"), ("onnx", "onnx"),
    ("m.tar.gz", None), ("m.ONNX", None), ("m.tflite", None), ("dir.v1/model", None), ("model", None),
])
def test_infer_framework_from_model(path, framework):
    if framework is None:
        with pytest.raises(ValueError) as e:
            ToolParser.infer_framework_from_model(path)
        assert str(e.value) == ""
    else:
        assert ToolParser.infer_framework_from_model(path) == framework


def test_entry_runs_as_module_and_reports_missing_batch_sizes(tmp_path):
    env_home = {"HOME": str(tmp_path)}
    import os
    env = dict(os.environ, **env_home)
    r = subprocess.run([sys.executable, "-m", "tests.ostrel_tool.main", "--help"], capture_output=True, text=True,
                       env=env, cwd=tmp_path)
    assert r.returncode == 0 and "benchmark" in r.stdout
    console_script = os.path.join(os.path.dirname(sys.executable), "ostrel-tool")
    r = subprocess.run([console_script, "benchmark", "-p", "m.onnx", "-i"],
                       capture_output=True, text=True, env=env, cwd=tmp_path)
    assert r.returncode == 2
    assert "usage:" in r.stderr and "the following arguments are required: --batch_sizes" in r.stderr


@pytest.mark.parametrize("argv, chosen", [
    (["benchmark", "-p", "m.onnx", "-f", "onnx", "--batch_sizes", "1"], "ToolBenchmarker"),
    (["regression", "--csv_path", "c.csv", "--metrics", "Throughput"], "ToolRegressor"),
    (["plot", "--csv_path", "c.csv", "--x_axis", "Model", "--y_axes", "Throughput"], "ToolPlotter"),
    (["slack", "--plot_paths", "p.html", "--regression_json", "r.json"], "ToolSlacker"),
])
def test_each_subcommand_reaches_one_executor(argv, chosen, monkeypatch):
    import tests.ostrel_tool.main as main
    calls = []

    def recorder(name):
        class Executor:
            def __init__(self, *args):
                calls.append((name, args))

            def execute(self):
                calls.append((name, "execute"))
        return Executor

    for name in ("ToolBenchmarker", "ToolRegressor", "ToolPlotter", "ToolSlacker"):
        monkeypatch.setattr(main, name, recorder(name))
    monkeypatch.setattr(sys, "argv", ["ostrel-tool", *argv])
    assert main.main() is None
    assert [c[0] for c in calls] == [chosen, chosen] and calls[1][1] == "execute"
    if chosen == "ToolBenchmarker":
        assert calls[0][1][1] == main.__file__  # the entry's own path, which children start again
