"""The results CSV under real use: spreadsheet-saved files, links, shared folders, concurrent writers, large
files, numbers of any type."""
import fcntl
import os
import shutil
import signal
import stat
import subprocess
import sys
from argparse import Namespace
from enum import IntEnum

import numpy as np
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


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a link to another user needs root")
@pytest.mark.parametrize("link_owner, folder_owner, followed", [
    (12345, 0, False),  # another user's link in a shared temporary folder
    (0, 12345, True),  # the caller's own link
    (12345, 12345, True),  # the folder owner's link
])
def test_a_link_in_a_sticky_shared_folder_is_followed_only_as_the_kernel_would(tmp_path, link_owner, folder_owner,
                                                                               followed):
    shared = tmp_path / "tmp"
    shared.mkdir()
    os.chmod(shared, 0o1777)
    os.chown(shared, folder_owner, folder_owner)
    mine = tmp_path / "home" / "notes.csv"
    mine.parent.mkdir()
    mine.write_text("Model,Batch Size\nkept.onnx,1\n")
    link = shared / "ostrel_benchmarking_results.csv"
    link.symlink_to(mine)
    os.lchown(link, link_owner, link_owner)
    logger = ToolLogger(str(tmp_path / "log.txt"), str(link))
    if followed:
        logger.log_benchmark_success({"Model": "m.onnx", "Batch Size": 2})
        assert mine.read_text() == "Model,Batch Size\nkept.onnx,1\nm.onnx,2\n"
        return
    with pytest.raises(PermissionError, match=r"refusing to follow the link .*ostrel_benchmarking_results.csv: it lies "
                                              r"in the sticky world-writable folder .* belongs to another user \(uid "
                                              r"12345\)"):
        logger.log_benchmark_success({"Model": "m.onnx", "Batch Size": 2, "New": 1})
    assert mine.read_text() == "Model,Batch Size\nkept.onnx,1\n"
    assert sorted(os.listdir(mine.parent)) == ["notes.csv"] and sorted(os.listdir(shared)) == [link.name]


@pytest.fixture
def immutable_folder(tmp_path):
    folder = tmp_path / "frozen"
    folder.mkdir()
    (folder / "results.csv").write_text("Model,Batch Size\na.onnx,1\n")

    def freeze():
        if shutil.which("chattr") is None or subprocess.run(["chattr", "+i", str(folder)],
                                                           capture_output=True).returncode != 0:
            pytest.skip("chattr +i is not available here")

    yield folder, freeze
    if shutil.which("chattr"):
        subprocess.run(["chattr", "-i", str(folder)], capture_output=True)


def test_a_csv_in_a_folder_that_refuses_new_files_gets_its_row(immutable_folder):
    folder, freeze = immutable_folder
    freeze()
    logger = ToolLogger(str(folder.parent / "log.txt"), str(folder / "results.csv"))
    logger.log_benchmark_success({"Model": "b.onnx", "Batch Size": 2})
    assert (folder / "results.csv").read_text() == "Model,Batch Size\na.onnx,1\nb.onnx,2\n"
    # A new heading needs a temporary file beside the CSV: a clear error, and the file as it was.
    with pytest.raises(PermissionError, match="cannot create a temporary file next to .*results.csv"):
        logger.log_benchmark_success({"Model": "c.onnx", "New": 1})
    assert (folder / "results.csv").read_text() == "Model,Batch Size\na.onnx,1\nb.onnx,2\n"
    assert os.listdir(folder) == ["results.csv"]


def test_where_no_lock_file_can_be_made_two_writers_still_lose_no_row(tmp_path):
    # The lock file's path is taken by a folder: the writers lock the CSV itself, across rewrites too.
    (tmp_path / "results.csv.lock").mkdir()
    test_two_writers_lose_no_row(tmp_path)


@pytest.mark.parametrize("value, cell", [
    (np.float64(0.1) + np.float64(0.2), "0.30000000000000004"),
    (np.float64("nan"), ""),
    (np.float32(0.1), "0.1"),
    (np.float32("nan"), ""),
    (np.int64(7), "7"),
    (np.bool_(True), "True"),
    (1e-07, "1e-07"),
    (IntEnum("Level", "LOW HIGH").HIGH, "2"),
])
def test_numbers_of_any_type_are_written_in_their_shortest_form(tmp_path, value, cell):
    path = tmp_path / "results.csv"
    add(path, {"Model": "m.onnx", "Value": value})
    assert path.read_text().splitlines()[1] == f"m.onnx,{cell}"


LAUNCH = "import subprocess, sys; sys.exit(subprocess.run(sys.argv[1:]).returncode)"
PEAK_RSS = """
import resource, sys
from tests.ostrel_tool.ostrel_tool_logger import ToolLogger
ToolLogger(sys.argv[1] + ".log", sys.argv[1]).log_benchmark_success({"Model": "new.onnx", "New Heading": "x"})
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024)
"""


def test_a_new_heading_on_a_100_mb_csv_streams_the_rewrite(tmp_path):
    path = tmp_path / "results.csv"
    rows = ['"m,{i}.onnx",{i},0.0123456789012345,"say ""hi""",3.10\n'.format(i=i) for i in range(1000)]
    block = "".join(rows)
    with open(path, "w") as f:
        f.write("Model,Batch Size,Batch Inf Time,Note,Ostrel Version\n")
        for _ in range(100 * 2**20 // len(block) + 1):
            f.write(block)
    lines_before = sum(1 for _ in open(path))
    # The measuring process is started by a small one: the peak RSS the kernel reports for a process
    # includes the memory of the process it was started from (up to the exec), here the test runner's.
    r = subprocess.run([sys.executable, "-c", LAUNCH, sys.executable, "-c", PEAK_RSS, str(path)],
                       env=dict(os.environ, HOME=str(tmp_path)), capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout.split()[-1]) < 300, f"peak RSS {r.stdout.split()[-1]} MiB"
    # Every earlier row cell for cell, under the one new column.
    with open(path) as f:
        assert next(f) == "Model,Batch Size,Batch Inf Time,Note,Ostrel Version,New Heading\n"
        for n, line in enumerate(f, start=1):
            if n == lines_before:
                assert line == "new.onnx,,,,,x\n"
            else:
                assert line == rows[(n - 1) % 1000][:-1] + ",\n", n
    assert n == lines_before


# ---- the files beside the CSV, planted by another user -----------------------------------------------------

OTHER_UID = 65534

CHILD = """
import sys
from tests.ostrel_tool.ostrel_tool_logger import ToolLogger
log, csv = sys.argv[1], sys.argv[2]
print("ready", flush=True)
try:
    ToolLogger(log, csv).log_benchmark_success({"Model": "m.onnx", "Batch Size": 1})
except OSError as e:
    print(type(e).__name__, e)
"""


def run_logger_child(tmp_path, log, csv, limit=2.0, interrupt_after=None):
    """Runs CHILD on the two paths; (status, output after "ready"). The limit counts from "ready" on, so
    a slow interpreter start does not count; a child that outlives it has hung."""
    p = subprocess.Popen([sys.executable, "-c", CHILD, str(log), str(csv)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=dict(os.environ, HOME=str(tmp_path)))
    assert p.stdout.readline() == "ready\n", p.communicate()
    if interrupt_after is not None:
        try:
            p.wait(interrupt_after)
        except subprocess.TimeoutExpired:
            p.send_signal(signal.SIGINT)
    try:
        p.wait(limit)  # the child writes a few lines only: no pipe fills
    except subprocess.TimeoutExpired:
        p.kill()
        p.communicate()
        pytest.fail(f"the tool hung on {log} / {csv}")
    # Read from the same buffered readers: what readline took in beyond "ready" is kept.
    return p.returncode, p.stdout.read() + p.stderr.read()


@pytest.fixture
def shared_folder(tmp_path):
    """A sticky world-writable folder like /tmp, and a function that gives a path in it to another user."""
    shared = tmp_path / "tmp"
    shared.mkdir()
    os.chmod(shared, 0o1777)

    def give_away(path):
        try:
            os.lchown(path, OTHER_UID, OTHER_UID)
        except PermissionError:
            pytest.skip("giving a file to another user is not permitted here")
    return shared, give_away


def test_a_fifo_of_another_user_at_the_lock_file_leaves_the_csv_locked_alone(tmp_path, shared_folder):
    shared, give_away = shared_folder
    csv = shared / "results.csv"
    csv.write_text("Model,Batch Size\nkept.onnx,2\n")
    os.mkfifo(shared / "results.csv.lock", 0o666)
    give_away(shared / "results.csv.lock")
    status, output = run_logger_child(tmp_path, tmp_path / "log.txt", csv)
    assert status == 0, output
    assert csv.read_text() == "Model,Batch Size\nkept.onnx,2\nm.onnx,1\n"
    assert stat.S_ISFIFO(os.lstat(shared / "results.csv.lock").st_mode)


def test_a_fifo_of_another_user_at_the_log_path_is_a_clear_error(tmp_path, shared_folder):
    shared, give_away = shared_folder
    log = shared / "ostrel_benchmarking_logfile.txt"
    os.mkfifo(log, 0o666)
    give_away(log)
    status, output = run_logger_child(tmp_path, log, tmp_path / "results.csv")
    assert status == 0
    assert output == f"OSError [Errno 22] cannot open the benchmark log: cannot append to {log}: it is a FIFO, " \
                     f"not a regular file: Invalid argument\n"
    assert not (tmp_path / "results.csv").exists()


def test_another_users_link_at_the_log_path_is_refused(tmp_path, shared_folder):
    shared, give_away = shared_folder
    mine = tmp_path / "notes.txt"
    mine.write_text("mine\n")
    link = shared / "ostrel_benchmarking_logfile.txt"
    link.symlink_to(mine)
    give_away(link)
    with pytest.raises(PermissionError, match=f"refusing to follow the link {link}: .* belongs to another user"):
        ToolLogger(str(link), str(tmp_path / "results.csv"))
    assert mine.read_text() == "mine\n" and link.is_symlink()
    os.lchown(link, os.geteuid(), os.getegid())  # the caller's own link is followed
    logger = ToolLogger(str(link), str(tmp_path / "results.csv"))
    logger.add_error_to_logging_buffer("x")
    assert logger.logfile_fp.name == str(link)
    del logger
    assert mine.read_text() == "mine\n\nERROR: x\n"


def test_ctrl_c_ends_the_wait_for_the_lock(tmp_path):
    csv = tmp_path / "results.csv"
    csv.write_text("Model,Batch Size\nkept.onnx,2\n")
    with open(tmp_path / "results.csv.lock", "w") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # another writer that never lets go
        status, output = run_logger_child(tmp_path, tmp_path / "log.txt", csv, interrupt_after=0.5)
    assert status != 0 and output.rstrip().endswith("KeyboardInterrupt"), output
    assert csv.read_text() == "Model,Batch Size\nkept.onnx,2\n"
