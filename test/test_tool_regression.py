"""Regression check and plots of the benchmark tool, on small hand-made results CSVs."""
import json
import os
from argparse import Namespace

import pandas as pd
import pytest

from tests.ostrel_tool.ostrel_tool_plotter import ToolPlotter
from tests.ostrel_tool.ostrel_tool_regressor import ToolRegressor


def row(version, model="m.onnx", framework="onnx", batch=1, latency=10.0, throughput=100.0, hw="CPU"):
    return {"Batch Size": batch, "Batch Inf Time": latency, "Throughput": throughput,
            "Sample Inf Time": latency / batch, "Inference Hardware": hw, "Ostrel Version": version,
            "Model": model, "Framework": framework}


def write_csv(tmp_path, rows):
    path = tmp_path / "results.csv"
    pd.DataFrame(rows).to_csv(path, index=False)
    return str(path)


def regress(path, metrics, results_json=None):
    return ToolRegressor(Namespace(csv_path=path, metrics=metrics, results_json=results_json))


def run(regressor, capsys):
    """Runs the check; returns (passed, stdout, stderr)."""
    try:
        regressor.execute()
        passed = False
    except SystemExit as e:
        assert e.code == 0
        passed = True
    out = capsys.readouterr()
    return passed, out.out, out.err


@pytest.mark.parametrize("metric, before, after, regressed", [
    ("Batch Inf Time", 10.0, 12.0, False),    # exactly the allowed 20 %
    ("Batch Inf Time", 10.0, 12.1, True),
    ("Batch Inf Time", 10.0, 13.0, True),     # the planted 30 %
    ("Throughput", 100.0, 80.0, False),
    ("Throughput", 100.0, 79.0, True),
    ("Throughput", 100.0, 500.0, False),      # a rise is no regression where increase is good
    ("Batch Inf Time", 0.0, 1.0, True),       # infinite change
    ("Throughput", 0.0, 1.0, False),
    ("Batch Inf Time", 0.0, 0.0, False),      # no value
])
def test_threshold_and_direction(tmp_path, capsys, metric, before, after, regressed):
    col = "latency" if metric == "Batch Inf Time" else "throughput"
    path = write_csv(tmp_path, [row("3.5.0", **{col: before}), row("3.6.0", **{col: after})])
    passed, out, err = run(regress(path, [metric]), capsys)
    assert passed is not regressed
    if regressed:
        direction = "decrease" if metric == "Throughput" else "increase"
        assert f"Found extreme {direction} in: {metric}. Allowed degradation: 0.2." in out
        assert "regression found in 1 of 1 metrics" in err
    else:
        assert out == "---------- PASSED REGRESSION ----------\n"
        assert "no regression found" in err


def test_failed_report_json_and_versions_as_text(tmp_path, capsys):
    rows = [row("3.9"), row("3.10", latency=13.0, throughput=70.0), row("3.9", model="other.onnx"),
            row("3.10", model="other.onnx")]
    path = write_csv(tmp_path, rows)
    out_json = tmp_path / "r.json"
    r = regress(path, ["Batch Inf Time", "Throughput"], str(out_json))
    assert (r._current_version, r._previous_version) == ("3.10", "3.9")
    passed, out, _ = run(r, capsys)
    assert not passed
    assert "\n---------- FAILED REGRESSION ----------\n" in out
    assert "\nCompared Versions:\n\tCurrent:  3.10\n\tPrevious: 3.9\n" in out
    assert "\nFailed Metrics:\n\t1.Batch Inf Time\n\t2.Throughput\n" in out
    assert out.endswith("-" * 39 + "\n\n")
    data = json.loads(out_json.read_text())
    assert list(data) == ["NewVersion", "PreviousVersion", "FailedMetrics", "AllMetrics", "FailedModelsDF"]
    assert data["NewVersion"] == "3.10" and data["PreviousVersion"] == "3.9"
    assert data["FailedMetrics"] == ["Batch Inf Time", "Throughput"]
    table = data["FailedModelsDF"]
    assert table.startswith("+") and "Rel. Change" in table and "other.onnx" not in table
    assert list(r._regressed_models.columns) == ["Rel. Change", "Model", "Framework", "Metric"]
    assert r._regressed_models["Rel. Change"].round(2).tolist() == [0.3, -0.3]


def test_rows_pair_on_batch_size_and_hardware(tmp_path, capsys):
    # The previous version's batch-size-1 run failed: batch 8 must not be compared with batch 1.
    rows = [row("1.0", batch=8, latency=80.0), row("1.0", batch=1, latency=10.0, hw="GPU"),
            row("2.0", batch=1, latency=11.0), row("2.0", batch=8, latency=81.0),
            row("2.0", batch=1, latency=11.0, hw="GPU")]
    passed, _, _ = run(regress(write_csv(tmp_path, rows), ["Batch Inf Time"]), capsys)
    assert passed
    rows[3]["Batch Inf Time"] = 120.0
    r = regress(write_csv(tmp_path, rows), ["Batch Inf Time"])
    passed, _, _ = run(r, capsys)
    assert not passed
    assert r._regressed_models["Rel. Change"].tolist() == [0.5]


@pytest.mark.parametrize("previous, current, changes", [
    # A configuration run twice in the new version: each new row meets the old one, the 30 % is found.
    ([("a", 10.0)], [("a", 10.0), ("a", 13.0)], [0.3]),
    ([("a", 10.0), ("a", 13.0)], [("a", 10.0)], []),  # 10 against 10 and against 13: no rise
    # The same keys in the same order: rows pair in file order.
    ([("a", 10.0), ("a", 20.0)], [("a", 20.0), ("a", 10.0)], [1.0]),
    # The same rows in another order: every new row of a key meets every old one, sorted by key.
    ([("b", 10.0), ("a", 10.0), ("a", 20.0)], [("a", 12.0), ("a", 20.0), ("b", 13.0)], [1.0, 0.3]),
])
def test_a_key_listed_unequally_pairs_every_current_row_with_every_previous_row(tmp_path, capsys, previous,
                                                                                current, changes):
    rows = [row("3.5.0", model=m, latency=t) for m, t in previous] + [row("3.6.0", model=m, latency=t)
                                                                       for m, t in current]
    r = regress(write_csv(tmp_path, rows), ["Batch Inf Time"])
    passed, _, _ = run(r, capsys)
    assert passed is not bool(changes)
    if changes:
        assert r._regressed_models["Rel. Change"].round(6).tolist() == changes


def test_the_command_line_finds_a_slowdown_of_a_configuration_run_twice(tmp_path):
    import subprocess
    import sys
    path = write_csv(tmp_path, [row("3.5.0", latency=10.0), row("3.6.0", latency=10.0), row("3.6.0", latency=13.0)])
    r = subprocess.run([sys.executable, "-m", "tests.ostrel_tool.main", "regression", "--csv_path", path,
                        "--metrics", "Batch Inf Time"], capture_output=True, text=True,
                       env=dict(os.environ, HOME=str(tmp_path)))
    assert r.returncode == 0 and "FAILED REGRESSION" in r.stdout and "PASSED" not in r.stdout


def test_version_choice_and_json_when_passed(tmp_path, capsys):
    rows = [row("1"), row("2"), row("1"), row("3"), row("2")]
    out_json = tmp_path / "r.json"
    r = regress(write_csv(tmp_path, rows), ["Sample Inf Time", "Sample Inf Time"], str(out_json))
    assert (r._current_version, r._previous_version) == ("3", "2")
    assert run(r, capsys)[0]
    data = json.loads(out_json.read_text())
    assert data["FailedMetrics"] == [] and data["AllMetrics"] == ["Sample Inf Time", "Sample Inf Time"]


def test_construction_errors(tmp_path):
    with pytest.raises(FileNotFoundError, match="Passed DataFrame path does not exist: "):
        regress(str(tmp_path / "none.csv"), ["Throughput"])
    path = write_csv(tmp_path, [row("1"), row("2")])
    with pytest.raises(ValueError) as e:
        regress(path, ["Throughput", "Latency"])
    assert str(e.value) == ("Unexpected metric: Latency. Known metrics: "
                            "['Batch Inf Time', 'Throughput', 'Sample Inf Time']")
    with pytest.raises(ValueError, match="two are needed"):
        regress(write_csv(tmp_path, [row("1"), row("1")]), ["Throughput"])


def plot_args(csv, **kw):
    base = dict(csv_path=csv, output_path=None, show_plot=False, interactive=True, x_axis="Model",
                y_axes=["Batch Inf Time"], plot_type="bar", framework=None, batch_size=None)
    base.update(kw)
    return Namespace(**base)


def test_plot_files_per_metric_and_filters(tmp_path):
    csv = write_csv(tmp_path, [row("1", batch=1), row("1", batch=8, framework="tf2"), row("1", model="b.onnx")])
    prefix = str(tmp_path / "out" / "run7")
    os.makedirs(tmp_path / "out")
    ToolPlotter(plot_args(csv, output_path=prefix, y_axes=["Batch Inf Time", "Throughput"])).execute()
    assert sorted(os.listdir(tmp_path / "out")) == ["run7___Batch_Inf_Time.html", "run7___Throughput.html"]
    html = (tmp_path / "out" / "run7___Throughput.html").read_text()
    assert "<html>" in html and "b.onnx" in html
    p = ToolPlotter(plot_args(csv, framework="onnx", batch_size="8", output_path=str(tmp_path / "f")))
    assert p._batch_size == 8
    p.execute()  # an empty selection still draws
    assert (tmp_path / "f___Batch_Inf_Time.html").exists()
    ToolPlotter(plot_args(csv, batch_size="0")).execute()  # nothing written without an output path


@pytest.mark.parametrize("kw, message", [
    (dict(csv_path="/nonexistent/x.csv"), "Provided csv (/nonexistent/x.csv) does not exist!"),
    (dict(x_axis="Nope", y_axes=["Also Nope"]), 'Metric "Nope" is not a column in the provided CSV'),
    (dict(y_axes=["Throughput", "Nope"]), 'Metric "Nope" is not a column in the provided CSV'),
    (dict(framework="keras"), "Framework \"keras\" is not a valid framework. Expecting one of: ['onnx' 'tf2']"),
])
def test_plot_validation(tmp_path, kw, message):
    csv = write_csv(tmp_path, [row("1"), row("1", framework="tf2")])
    kw.setdefault("csv_path", csv)
    with pytest.raises(ValueError) as e:
        ToolPlotter(plot_args(kw.pop("csv_path"), **kw))
    assert str(e.value) == message


def test_command_line_reports_and_exits_0(tmp_path):
    import subprocess
    import sys
    rows = [row("3.5.0", model=m) for m in ("a.onnx", "b.pth")] + [row("3.6.0", model="a.onnx", latency=13.0),
                                                                   row("3.6.0", model="b.pth")]
    path = write_csv(tmp_path, rows)
    env = dict(os.environ, HOME=str(tmp_path))

    def tool(csv):
        return subprocess.run([sys.executable, "-m", "tests.ostrel_tool.main", "regression", "--csv_path", csv,
                               "--metrics", "Batch Inf Time", "Throughput"], capture_output=True, text=True, env=env)
    r = tool(path)
    assert r.returncode == 0 and "FAILED REGRESSION" in r.stdout
    assert r.stderr == "ostrel-tool regression: regression found in 1 of 2 metrics (3.6.0 against 3.5.0)\n"
    rows[2]["Batch Inf Time"] = 10.5
    r = tool(write_csv(tmp_path, rows))
    assert r.returncode == 0 and r.stdout == "---------- PASSED REGRESSION ----------\n"
    assert "no regression found" in r.stderr


@pytest.mark.parametrize("missing, command", [
    ("pandas", "regression"), ("tabulate", "regression"), ("plotly", "plot"), ("pandas", "plot")])
def test_a_missing_package_names_the_tool_extra(tmp_path, monkeypatch, missing, command):
    import sys

    path = write_csv(tmp_path, [row("1.0"), row("1.1", latency=20.0)])
    monkeypatch.setitem(sys.modules, missing, None)  # import fails as if not installed
    with pytest.raises(ModuleNotFoundError, match=r"install it with pip install 'ostrel\[tool\]'") as info:
        if command == "regression":
            regress(path, ["Batch Inf Time"], results_json=str(tmp_path / "r.json")).execute()
        else:
            ToolPlotter(plot_args(path))
    assert info.value.name == missing and isinstance(info.value.__cause__, ModuleNotFoundError)

