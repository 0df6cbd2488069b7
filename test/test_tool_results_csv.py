"""The results CSV under real use: spreadsheet-saved files, links, concurrent writers, large files."""
import os
import subprocess
import sys
from argparse import Namespace

import pandas as pd
import pytest

from tests.ostrel_tool.ostrel_tool_logger import ToolLogger
from tests.ostrel_tool.ostrel_tool_regressor import ToolRegressor


def row(version, latency, model="m.onnx", **extra):
    return {"Batch Size": 1, "Batch Inf Time": latency, "Throughput": 1000.0 / latency, "Ostrel Version": version,
            "Model": model, "Framework": "onnx", **extra}


def add(csv_path, *rows):
    logger = ToolLogger(str(csv_path.parent / "log.txt"), str(csv_path))
    for r in rows:
        logger.log_benchmark_success(r)
    del logger


def test_a_spreadsheet_saved_csv_keeps_one_heading_and_regression_sees_the_slowdown(tmp_path, capsys):
    path = tmp_path / "results.csv"
    pd.DataFrame([row("1.0", 10.0), row("1.0", 20.0, model="n.onnx")]).to_csv(path, index=False,
                                                                                encoding="utf-8-sig")
    add(path, row("1.1", 100.0), row("1.1", 20.0, model="n.onnx"))
    raw = path.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbfBatch Size,") and raw.count(b"Batch Size") == 1
    df = pd.read_csv(path)
    assert list(df.columns) == list(row("1", 1.0)) and len(df) == 4
    add(path, row("1.1", 30.0, model="o.onnx", Extra="x"))  # a new heading rewrites the file
    assert path.read_bytes().startswith(b"\xef\xbb\xbfBatch Size,") and len(pd.read_csv(path)) == 5
    regressor = ToolRegressor(Namespace(csv_path=str(path), metrics=["Batch Inf Time"], results_json=None))
    regressor.execute()  # a regression returns; a pass would end the process
    assert "Found extreme increase in: Batch Inf Time" in capsys.readouterr().out


def test_rows_reach_the_target_of_a_link(tmp_path):
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "results.csv"
    link = tmp_path / "results.csv"
    link.symlink_to(os.path.join("data", "results.csv"))
    add(link, row("1.0", 10.0), row("1.0", 11.0), row("1.0", 12.0, Extra="x"))
    assert link.is_symlink() and os.readlink(link) == os.path.join("data", "results.csv")
    assert list(pd.read_csv(target)["Batch Inf Time"]) == [10.0, 11.0, 12.0]


def test_rows_are_appended_in_place_while_the_headings_stay(tmp_path):
    path = tmp_path / "results.csv"
    # Cells as another tool wrote them: rewriting would change their text.
    path.write_text("Batch Size,Batch Inf Time,Throughput,Ostrel Version,Model,Framework\n1,1.50e1,66.7,3.10,m,onnx")
    before = path.read_bytes()
    inode = path.stat().st_ino
    add(path, row("3.11", 20.0))
    assert path.stat().st_ino == inode
    assert path.read_bytes() == before + b"\n1,20.0,50.0,3.11,m.onnx,onnx\n"


WRITER = """
import sys
from tests.ostrel_tool.ostrel_tool_logger import ToolLogger
csv_path, name = sys.argv[1], sys.argv[2]
logger = ToolLogger(csv_path + ".log", csv_path)
for i in range(300):
    r = {"Batch Size": i, "Model": name, "Ostrel Version": "1.0"}
    if i == 150:
        r[name + " Extra"] = "x"  # each writer adds a heading once: two rewrites among the appends
    logger.log_benchmark_success(r)
"""


def test_two_writers_lose_no_row(tmp_path):
    path = tmp_path / "results.csv"
    env = dict(os.environ, HOME=str(tmp_path))
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, str(path), name], env=env, stderr=subprocess.PIPE)
             for name in ("a", "b")]
    for p in procs:
        assert p.wait(timeout=120) == 0, p.stderr.read().decode()
    df = pd.read_csv(path)
    assert len(df) == 600
    for name in ("a", "b"):
        assert sorted(df[df["Model"] == name]["Batch Size"]) == list(range(300))
        assert (df[name + " Extra"] == "x").sum() == 1


def test_a_file_that_is_not_a_table_is_left_alone(tmp_path):
    path = tmp_path / "results.csv"
    path.write_text('Model,Batch Size\n"open,1\n')
    logger = ToolLogger(str(tmp_path / "log.txt"), str(path))
    with pytest.raises(ValueError, match="unterminated quoted cell"):
        logger.log_benchmark_success({"Model": "m.onnx", "Batch Size": 1, "New": 2})
    assert path.read_text() == 'Model,Batch Size\n"open,1\n'
    assert sorted(os.listdir(tmp_path)) == ["log.txt", "results.csv", "results.csv.lock"]
    with pytest.raises(OSError):
        ToolLogger(str(tmp_path / "log.txt"), str(tmp_path)).log_benchmark_success({"Model": "m"})
