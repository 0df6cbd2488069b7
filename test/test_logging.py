"""The process-wide logging configuration of ostrel.common.logger_factory.

Logging configuration is global to the interpreter, so each scenario runs in a fresh one with HOME on a
temporary directory; the scenario asserts on the record and the handlers itself, and the test checks what
it wrote to the console. The package start-up configures loggers of its own before a scenario starts;
scenarios take those as given.
"""

import os
import re
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import logging, os, sys
from ostrel.common import logger_factory as lf
from ostrel.common.logger_factory import LoggerManager, get_logger
config = lf.DEFAULT_LOGGING_CONFIGURATION
home = os.path.expanduser("~")
log_dir = os.path.join(home, "tamsor_logs")
preset_loggers = set(config["loggers"])
preset_root = list(config["root"]["handlers"])
print("<<start>>", flush=True)
"""

WARNING_LINE = (
    "[WARNING] - tamsor_logs folder was not found and couldn't be created from the code - "
    "All of the Log output will be sent to console!"
)


def run(tmp_path, code, home=None, files=None):
    home = home or tmp_path / "home"
    if home.parent.exists():
        home.mkdir(exist_ok=True)
    for name, text in (files or {}).items():
        (tmp_path / name).write_text(textwrap.dedent(text))
    env = dict(os.environ, HOME=str(home), PYTHONPATH=str(tmp_path))
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc.stdout.partition("<<start>>\n")[2]


def read(path):
    with open(path, encoding="utf8") as f:
        return f.read()


def test_module_constants(tmp_path):
    run(
        tmp_path,
        """
        assert lf.VALID_LOGGING_VERBOSITY_INPUTS == {
            "CRITICAL", "FATAL", "ERROR", "WARN", "WARNING", "INFO", "DEBUG", "NOTSET"}
        assert "warning" not in lf.VALID_LOGGING_VERBOSITY_INPUTS and 20 not in lf.VALID_LOGGING_VERBOSITY_INPUTS
        assert LoggerManager._config_dict is config
        assert (LoggerManager.DEFAULT_LOGGING_LEVEL, LoggerManager.DEFAULT_MAX_BYTES,
                LoggerManager.DEFAULT_BACKUP_LOG_COUNT) == (20, 10485760, 20)
        assert list(config) == ["version", "disable_existing_loggers", "formatters", "handlers", "loggers", "root"]
        assert config["formatters"] == {
            "fileFormatter": {"format": "%(asctime)s - %(name)s - %(levelname)s - %(message)s",
                              "datefmt": "[%Y-%m-%d %H:%M:%S]"},
            "consoleFormatter": {"format": "%(module)s -%(levelname)s- %(message)s",
                                 "datefmt": "[%Y-%m-%d %H:%M:%S]"}}
        assert config["handlers"]["console"] == {"class": "logging.StreamHandler", "level": "INFO",
                                                 "formatter": "consoleFormatter", "stream": "ext://sys.stdout"}
        assert config["root"]["level"] == "WARNING" and config["root"]["handlers"][0] == "console"
        assert get_logger.__self__ is LoggerManager
        assert LoggerManager._handler_name_from_logger_name("Ostrel") == "Ostrel_file_handler"
        """,
    )


def test_levels_sizes_and_root_handlers(tmp_path):
    run(
        tmp_path,
        """
        a = LoggerManager.get_and_update_logger("A")
        assert a is logging.getLogger("A")
        assert list(config["handlers"]["A_file_handler"].items()) == [
            ("class", "logging.handlers.RotatingFileHandler"), ("level", 20), ("formatter", "fileFormatter"),
            ("filename", os.path.join(log_dir, "A.log")), ("maxBytes", 10485760), ("backupCount", 20),
            ("encoding", "utf8")]
        assert config["loggers"]["A"] == {"level": 20, "handlers": ["console", "A_file_handler"],
                                          "propagate": False}
        assert config["root"]["handlers"] == preset_root + ["A_file_handler"]
        root = logging.getLogger()
        assert root.level == logging.WARNING and len(root.handlers) == len(preset_root) + 1
        console, file = a.handlers
        assert console.level == logging.INFO and console.stream is sys.stdout
        assert (file.level, file.maxBytes, file.backupCount, file.encoding) == (20, 10485760, 20, "utf8")
        assert a.level == 20 and a.propagate is False

        get_logger("A", logging.DEBUG)
        assert config["loggers"]["A"]["level"] == 10 and config["handlers"]["A_file_handler"]["level"] == 10
        assert config["handlers"]["A_file_handler"]["maxBytes"] == 10485760
        assert config["root"]["handlers"] == preset_root + ["A_file_handler"]
        for level in (None, 0, ""):
            get_logger("A", level)
            assert config["loggers"]["A"]["level"] == 10 and logging.getLogger("A").level == 10

        get_logger("B", max_bytes=1000)
        get_logger("B", "DEBUG")
        assert config["handlers"]["B_file_handler"]["maxBytes"] == 1000
        assert config["loggers"]["B"]["level"] == "DEBUG" and logging.getLogger("B").level == 10
        assert logging.getLogger("B").handlers[1].maxBytes == 1000
        assert config["root"]["handlers"] == preset_root + ["A_file_handler", "B_file_handler"]
        assert lf.DEFAULT_LOGGING_CONFIGURATION["loggers"].keys() == preset_loggers | {"A", "B"}

        # A name that is an absolute path still names a file in the log folder (here one that cannot be
        # made, so that logger keeps the console), never a file at that path.
        outside = os.path.join(os.getcwd(), "outside")
        get_logger(outside)
        assert config["loggers"][outside]["handlers"] == ["console"]
        assert not os.path.exists(outside + ".log")
        """,
    )


def test_record_routing_and_formats(tmp_path):
    out = run(
        tmp_path,
        """
        import emit
        get_logger("A", logging.DEBUG)
        get_logger("B")
        emit.go()
        logging.shutdown()
        """,
        files={
            "emit.py": """
                import logging
                def go():
                    a = logging.getLogger("A")
                    a.debug("quiet detail")
                    a.info("loaded ü")
                    logging.getLogger("thirdparty").warning("library warning")
                    logging.getLogger("thirdparty").info("library info")
            """
        },
    )
    assert out == "emit -INFO- loaded ü\nemit -WARNING- library warning\n"
    stamp = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]"
    a_log = read(tmp_path / "home/tamsor_logs/A.log").splitlines()
    assert len(a_log) == 3
    assert re.fullmatch(stamp + " - A - DEBUG - quiet detail", a_log[0])
    assert re.fullmatch(stamp + " - A - INFO - loaded ü", a_log[1])
    assert re.fullmatch(stamp + " - thirdparty - WARNING - library warning", a_log[2])
    b_log = read(tmp_path / "home/tamsor_logs/B.log").splitlines()
    assert len(b_log) == 1 and b_log[0].endswith(" - thirdparty - WARNING - library warning")


def test_log_files_rotate_and_are_appended(tmp_path):
    run(
        tmp_path,
        """
        log = get_logger("R", max_bytes=200)
        for i in range(80):
            log.info("record %03d with some padding text", i)
        get_logger("R")  # re-applying reopens the file for appending
        log.info("after reapply")
        logging.shutdown()
        names = {name for name in os.listdir(log_dir) if name.startswith("R.")}
        assert names == {"R.log"} | {f"R.log.{n}" for n in range(1, 21)}, sorted(names)
        with open(os.path.join(log_dir, "R.log")) as f:
            text = f.read()
        assert "record 079" in text and text.rstrip().endswith("after reapply")
        """,
    )


def test_missing_log_directory_goes_console_only(tmp_path):
    home = tmp_path / "absent" / "home"
    out = run(
        tmp_path,
        """
        log = get_logger("A")
        assert config["loggers"]["A"] == {"level": 20, "handlers": ["console"], "propagate": False}
        assert "A_file_handler" not in config["handlers"] and config["root"]["handlers"] == ["console"]
        assert set(config["handlers"]) == {"console"}
        log.info("console only")
        log2 = get_logger("A", "DEBUG")
        assert log2.level == 10
        """,
        home=home,
    )
    missing = f"[Errno 2] No such file or directory: '{home / 'tamsor_logs'}'"
    assert out == f"{WARNING_LINE}{missing}\n<string> -INFO- console only\n{WARNING_LINE}{missing}\n"
    assert not (tmp_path / "absent").exists()


def test_log_directory_appearing_and_vanishing(tmp_path):
    # A logger configured while the directory could not be made gets its file (at the default size) once
    # it can; when the directory later cannot be made, the unopenable file handlers are dropped and the
    # call still succeeds.
    out = run(
        tmp_path,
        """
        real_home = home
        os.environ["HOME"] = os.path.join(real_home, "missing")
        get_logger("A", max_bytes=500)
        os.environ["HOME"] = real_home
        get_logger("A", logging.DEBUG)
        assert config["handlers"]["A_file_handler"]["maxBytes"] == 10485760
        assert config["root"]["handlers"] == preset_root + ["A_file_handler"]
        get_logger("B")
        import shutil
        shutil.rmtree(log_dir)
        os.environ["HOME"] = os.path.join(real_home, "missing")
        log = get_logger("A")
        assert config["loggers"]["A"]["handlers"] == ["console"] and config["loggers"]["B"]["handlers"] == ["console"]
        assert config["root"]["handlers"] == ["console"] and set(config["handlers"]) == {"console"}
        assert log.level == 10
        log.info("still logging")
        """,
    )
    assert out.count(WARNING_LINE) == 2
    assert out.endswith("<string> -INFO- still logging\n")


def test_existing_directory_is_used_silently(tmp_path):
    home = tmp_path / "home"
    (home / "tamsor_logs").mkdir(parents=True)
    (home / "tamsor_logs" / "keep.txt").write_text("mine")
    out = run(tmp_path, 'get_logger("A")', home=home)
    assert out == ""
    assert {"A.log", "keep.txt"} <= set(os.listdir(home / "tamsor_logs"))
    assert (home / "tamsor_logs" / "keep.txt").read_text() == "mine"


def test_failed_application_leaves_the_record_usable(tmp_path):
    run(
        tmp_path,
        """
        get_logger("A", "DEBUG")
        try:
            get_logger("A", "LOUD")
        except ValueError as e:
            assert "LOUD" in str(e.__cause__)
        else:
            raise AssertionError("unknown level accepted")
        assert config["loggers"]["A"]["level"] == "DEBUG"
        assert config["handlers"]["A_file_handler"]["level"] == "DEBUG"
        a = logging.getLogger("A")
        assert a.level == 10 and len(a.handlers) == 2
        a.debug("after failure")
        logging.shutdown()
        with open(os.path.join(log_dir, "A.log")) as f:
            assert f.read().rstrip().endswith(" - A - DEBUG - after failure")
        """,
    )


@pytest.mark.parametrize("blocker, reason", [
    ("a file", "[Errno 20] Not a directory"),
    ("a folder it cannot write in", "[Errno 13] Permission denied"),
])
def test_unusable_log_directory_goes_console_only(tmp_path, blocker, reason):
    # Present from the start (the package import configures its logger then) or appearing while running:
    # every call falls back to the console with one warning line, and file logging comes back with the
    # directory.
    home = tmp_path / "home"
    home.mkdir()
    (home / "tamsor_logs").write_text("not a directory")
    out = run(
        tmp_path,
        f"""
        import shutil
        real_access = os.access
        def block():
            if "{blocker}" == "a file":
                shutil.rmtree(log_dir, ignore_errors=True)
                with open(log_dir, "w") as f:
                    f.write("not a directory")
            else:
                if os.path.isfile(log_dir):
                    os.remove(log_dir)
                os.makedirs(log_dir, exist_ok=True)
                os.access = lambda path, mode: False if path == log_dir else real_access(path, mode)
        def unblock():
            os.access = real_access
            if os.path.isfile(log_dir):
                os.remove(log_dir)
        block()
        get_logger("A").info("console only")
        assert config["loggers"]["A"]["handlers"] == ["console"] and "A_file_handler" not in config["handlers"]
        unblock()
        get_logger("A", "DEBUG")
        assert config["loggers"]["A"]["handlers"] == ["console", "A_file_handler"]
        block()  # while running
        log = get_logger("A")
        assert set(config["handlers"]) == {{"console"}} and config["root"]["handlers"] == ["console"]
        assert log.level == 10
        log.info("still logging")
        """,
        home=home,
    )
    warning = f"{WARNING_LINE}{reason}: '{home / 'tamsor_logs'}'\n"
    assert out == f"{warning}<string> -INFO- console only\n{warning}<string> -INFO- still logging\n"


def test_ilogger_names_and_levels(tmp_path):
    run(
        tmp_path,
        """
        import abc
        from ostrel.common.logger_factory import ILogger
        Sub = type("Sub", (ILogger,), {"__module__": "pkg.mod"})
        assert Sub()._logger.name == "pkg.mod"
        assert Sub("X")._logger.name == "X"
        assert Sub(logger_name="")._logger.name == "pkg.mod"
        assert config["loggers"]["pkg.mod"]["level"] == 20
        assert os.path.exists(os.path.join(log_dir, "pkg.mod.log"))

        class Base(ILogger, abc.ABC):
            def __init__(self, verbosity=None):
                super().__init__(verbosity=verbosity)

        class Concrete(Base):
            pass

        assert Concrete("DEBUG")._logger is logging.getLogger("__main__")
        assert logging.getLogger("__main__").level == 10
        assert Concrete()._logger.level == 10  # None keeps the level

        broken = Sub.__new__(Sub)
        try:
            Sub.__init__(broken, "Y", "LOUD")
        except ValueError:
            pass
        assert not hasattr(broken, "_logger")
        """,
    )


def test_reconfiguring_leaves_other_handlers_and_their_streams_alone(tmp_path):
    # A library handler that closes its stream when shut down (as absl's does) holds a stream owned by
    # someone else, such as a test runner's capture: applying the package's configuration must not close it.
    run(
        tmp_path,
        """
        import io

        class ClosingHandler(logging.StreamHandler):
            def close(self):
                self.stream.close()
                super().close()

        borrowed = io.StringIO()
        foreign = ClosingHandler(borrowed)
        logging.getLogger("library").addHandler(foreign)
        get_logger("first")
        get_logger("second", "DEBUG")
        assert not borrowed.closed
        logging.getLogger("library").error("still here")
        assert "still here" in borrowed.getvalue()
        # Still known to logging, so the shutdown at exit flushes it.
        assert any(ref() is foreign for ref in logging._handlerList)
        """,
    )


@pytest.mark.parametrize("blocker", ["folder", "link into a missing folder"])
def test_unopenable_log_file_goes_console_only(tmp_path, blocker):
    # The folder is fine but the logger's own file cannot be opened for appending: the call succeeds with
    # one warning line naming the file, the logger writes to the console, other loggers keep their files,
    # and the file comes back once it can be opened.
    home = tmp_path / "home"
    (home / "tamsor_logs").mkdir(parents=True)
    bad = home / "tamsor_logs" / "A.log"
    if blocker == "folder":
        bad.mkdir()
    else:
        bad.symlink_to(tmp_path / "gone" / "A.log")
    out = run(
        tmp_path,
        f"""
        get_logger("B")
        log = get_logger("A")
        assert config["loggers"]["A"]["handlers"] == ["console"] and "A_file_handler" not in config["handlers"]
        assert config["root"]["handlers"] == preset_root + ["B_file_handler"]
        assert len(log.handlers) == 1 and log.level == 20
        log.info("console only")
        get_logger("A", "DEBUG")  # still unopenable: one more warning, the level is applied
        assert logging.getLogger("A").level == 10
        bad = os.path.join(log_dir, "A.log")
        os.rmdir(bad) if os.path.isdir(bad) else os.remove(bad)
        get_logger("A").debug("back in the file")
        assert config["loggers"]["A"]["handlers"] == ["console", "A_file_handler"]
        logging.shutdown()
        with open(bad) as f:
            assert f.read().rstrip().endswith(" - A - DEBUG - back in the file")
        """,
        home=home,
    )
    reason = "[Errno 21] Is a directory" if blocker == "folder" else "[Errno 2] No such file or directory"
    warning = f"{WARNING_LINE}{reason}: '{bad}'\n"
    assert out == f"{warning}<string> -INFO- console only\n{warning}"


def test_unchanged_record_is_applied_once(tmp_path):
    # Repeating a call that changes nothing keeps the handlers in place; a new level, a replaced
    # sys.stdout, a handler removed by other code or a removed log file each apply the record again.
    out = run(
        tmp_path,
        """
        import io
        a = get_logger("A")
        handlers = list(a.handlers)
        for _ in range(3):
            get_logger("A")
            get_logger("A", 20)
        assert a.handlers == handlers and all(x is y for x, y in zip(a.handlers, handlers))

        get_logger("A", "DEBUG")
        assert a.level == 10 and a.handlers[0] is not handlers[0]
        handlers = list(a.handlers)
        get_logger("A", "DEBUG")
        assert a.handlers[0] is handlers[0]

        captured = io.StringIO()
        real_stdout, sys.stdout = sys.stdout, captured
        get_logger("A").info("to the new stdout")
        sys.stdout = real_stdout
        assert captured.getvalue() == "<string> -INFO- to the new stdout\\n"
        get_logger("A").info("back on stdout")

        a.removeHandler(a.handlers[1])
        get_logger("A")
        assert len(a.handlers) == 2

        os.remove(os.path.join(log_dir, "A.log"))
        get_logger("A").info("new file")
        logging.shutdown()
        with open(os.path.join(log_dir, "A.log")) as f:
            assert f.read().rstrip().endswith(" - A - INFO - new file")
        """,
    )
    assert out == "<string> -INFO- back on stdout\n<string> -INFO- new file\n"


def test_a_repeated_call_notices_every_change(tmp_path):
    # A repeated call applies nothing while everything the record set up is in place; each change below,
    # made by other code between two calls, is undone by the next call.
    out = run(
        tmp_path,
        """
        import io
        a = get_logger("A")
        console = a.handlers[0]

        def unchanged():
            handlers = list(a.handlers)
            for _ in range(2):
                assert get_logger("A") is a and all(x is y for x, y in zip(a.handlers, handlers))

        changes = {
            "record edited in place": lambda: config["formatters"]["fileFormatter"].update(format="F %(message)s"),
            "root handlers edited": lambda: config["root"]["handlers"].remove("A_file_handler"),
            "level set by other code": lambda: a.setLevel(50),
            "handler removed by other code": lambda: a.removeHandler(a.handlers[1]),
            "logger disabled": lambda: setattr(a, "disabled", True),
            "propagate set": lambda: setattr(a, "propagate", True),
            "console handler level": lambda: a.handlers[0].setLevel(logging.CRITICAL),
            "file handler level": lambda: a.handlers[1].setLevel(logging.CRITICAL),
            "formatter replaced": lambda: a.handlers[0].setFormatter(logging.Formatter("X %(message)s")),
            "handler filter added": lambda: a.handlers[0].addFilter(lambda record: False),
            "file handler closed": lambda: a.handlers[1].close(),
        }
        for what, change in changes.items():
            unchanged()
            change()
            get_logger("A")
            assert a.level == 20 and not a.disabled and not a.propagate, what
            assert len(a.handlers) == 2 and "A_file_handler" in config["root"]["handlers"], what
            console, file = a.handlers
            assert (console.level, file.level, console.filters, file.filters) == (20, 20, [], []), what
            assert console.formatter._fmt == "%(module)s -%(levelname)s- %(message)s", what
            assert file.stream is not None, what

        unchanged()
        real_get_logger, logging.getLogger = logging.getLogger, lambda name=None: "replaced"
        assert get_logger("A") == "replaced"
        logging.getLogger = real_get_logger

        unchanged()
        captured = io.StringIO()
        real_stdout, sys.stdout = sys.stdout, captured
        get_logger("A").info("to the new stdout")
        sys.stdout = real_stdout
        assert captured.getvalue() == "<string> -INFO- to the new stdout\\n"

        get_logger("A")  # back on the real stdout
        unchanged()
        os.environ["HOME"] = os.path.join(home, "other")
        os.mkdir(os.environ["HOME"])
        get_logger("A").info("in the other home")
        logging.shutdown()
        with open(os.path.join(home, "other", "tamsor_logs", "A.log")) as f:
            assert f.read() == "F in the other home\\n"
        """,
    )
    assert out == "<string> -INFO- in the other home\n"


@pytest.mark.parametrize("name", ["Ostrel.log", "ostrel.frameworks.onnx_inferencer.log"])
def test_a_log_file_that_is_a_fifo_goes_console_only(tmp_path, name):
    # Opening a FIFO for writing waits for a reader: the package's own log (opened while `import ostrel`
    # runs) and an inferencer's are refused without blocking, their loggers write to the console with one
    # warning line for the call, and the other loggers keep their files.
    home = tmp_path / "home"
    (home / "tamsor_logs").mkdir(parents=True)
    fifo = home / "tamsor_logs" / name
    os.mkfifo(fifo)
    logger = name[: -len(".log")]
    out = run(
        tmp_path,
        f"""
        log = get_logger({logger!r})
        assert [type(h).__name__ for h in log.handlers] == ["StreamHandler"]
        assert {logger + "_file_handler"!r} not in config["handlers"]
        log.info("to the console")
        other = get_logger("B")
        assert len(other.handlers) == 2
        import stat
        assert stat.S_ISFIFO(os.stat({str(fifo)!r}).st_mode)  # left as it was
        """,
        home=home,
    )
    assert out == f"{WARNING_LINE}[Errno 6] No such device or address: '{fifo}'\n<string> -INFO- to the console\n"


def test_a_fifo_with_a_reader_is_no_log_file_either(tmp_path):
    home = tmp_path / "home"
    (home / "tamsor_logs").mkdir(parents=True)
    out = run(
        tmp_path,
        """
        fifo = os.path.join(log_dir, "A.log")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        log = get_logger("A")
        assert len(log.handlers) == 1
        log.info("to the console")
        os.close(reader)
        """,
        home=home,
    )
    reason = f"[Errno 22] Not a regular file: a log is written only to a regular file: '{home}/tamsor_logs/A.log'"
    assert out == f"{WARNING_LINE}{reason}\n<string> -INFO- to the console\n"


def test_log_folder_removed_while_running_falls_back_once(tmp_path):
    # Once the folder is gone the next rollover cannot reopen the file: one warning line, then the console
    # alone (no "--- Logging error ---" per record); the next configuration call brings the file back.
    out = run(
        tmp_path,
        """
        import io, shutil
        log = get_logger("A", max_bytes=200)
        shutil.rmtree(log_dir)
        errors, sys.stderr = sys.stderr, io.StringIO()
        for i in range(40):
            log.info("record %d", i)
        logging.getLogger("library").warning("through the root")
        errors, sys.stderr = sys.stderr.getvalue(), errors
        assert errors == "", errors
        assert [type(h).__name__ for h in log.handlers] == ["StreamHandler"]
        get_logger("A").info("back in the file")
        logging.shutdown()
        with open(os.path.join(log_dir, "A.log")) as f:
            assert f.read().rstrip().endswith(" - A - INFO - back in the file")
        """,
    )
    lines = out.splitlines()
    warnings = [line for line in lines if line.startswith(WARNING_LINE)]
    assert warnings == [f"{WARNING_LINE}[Errno 2] No such file or directory: '{tmp_path}/home/tamsor_logs/A.log'"]
    assert [line for line in lines if "record" in line] == [f"<string> -INFO- record {i}" for i in range(40)]
    assert lines[-2:] == ["<string> -WARNING- through the root", "<string> -INFO- back in the file"]


def test_log_files_removed_or_renamed_are_noticed(tmp_path):
    # A log file removed or renamed between two calls is one the handler no longer writes to: the next
    # call opens the file at its path anew.
    out = run(
        tmp_path,
        """
        a = get_logger("A")
        handlers = list(a.handlers)
        os.remove(os.path.join(log_dir, "A.log"))
        get_logger("A").info("new file")
        assert a.handlers[1] is not handlers[1]
        get_logger("A")
        os.rename(os.path.join(log_dir, "A.log"), os.path.join(log_dir, "A.log.1"))
        get_logger("A").info("after a rename")
        logging.shutdown()
        with open(os.path.join(log_dir, "A.log")) as f:
            assert f.read().rstrip().endswith(" - A - INFO - after a rename")
        with open(os.path.join(log_dir, "A.log.1")) as f:
            assert f.read().rstrip().endswith(" - A - INFO - new file")
        """,
    )
    assert out == "<string> -INFO- new file\n<string> -INFO- after a rename\n"


# ---- the package logger under ostrel.load ----------------------------------------------------------------

MODEL = """
import ostrel
from onnx import TensorProto, helper
x = helper.make_tensor_value_info("x", TensorProto.FLOAT, ["N", 3])
y = helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 3])
graph = helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "relu", [x], [y])
onnx_model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
onnx_model.ir_version = 8
model = os.path.abspath("m.onnx")
with open(model, "wb") as f:
    f.write(onnx_model.SerializeToString())
"""
LOADING = "ostrel_manager -INFO- Loading model {0} to the CPU\nostrel_manager -INFO- Successfully loaded {0} to the CPU.\n"


def test_a_load_restores_the_console_handler_and_propagate(tmp_path):
    # Other code raises the console handler to CRITICAL, gives it another formatter and lets the package
    # logger propagate; the next load puts all three back and its "Loading model" line is printed once.
    out = run(
        tmp_path,
        MODEL + textwrap.dedent("""
        ostrel.load(model, framework_type="onnx")
        package = logging.getLogger("Ostrel")
        console = package.handlers[0]
        console.setLevel(logging.CRITICAL)
        console.setFormatter(logging.Formatter("X %(message)s"))
        package.propagate = True
        print("<<changed>>", flush=True)
        ostrel.load(model, framework_type="onnx")
        console = package.handlers[0]
        assert console.level == logging.INFO and package.propagate is False
        assert console.formatter._fmt == "%(module)s -%(levelname)s- %(message)s"
        """),
    )
    model = tmp_path / "m.onnx"
    assert out.partition("<<changed>>\n")[2] == LOADING.format(model)


@pytest.mark.parametrize("blocker, reason", [
    ("fifo", "[Errno 6] No such device or address"),
    ("folder", "[Errno 21] Is a directory"),
    ("link into a missing folder", "[Errno 2] No such file or directory"),
])
def test_a_log_file_replaced_between_two_loads_goes_console_only(tmp_path, blocker, reason):
    # The handler still holds the old file open; the next load finds that file is no longer the one at the
    # path, prints the warning line and logs to the console alone.
    out = run(
        tmp_path,
        MODEL + textwrap.dedent(f"""
        ostrel.load(model, framework_type="onnx")
        log_file = os.path.join(log_dir, "Ostrel.log")
        os.remove(log_file)
        blocker = {blocker!r}
        if blocker == "fifo":
            os.mkfifo(log_file)
        elif blocker == "folder":
            os.mkdir(log_file)
        else:
            os.symlink(os.path.join(home, "gone", "Ostrel.log"), log_file)
        print("<<replaced>>", flush=True)
        ostrel.load(model, framework_type="onnx")
        package = logging.getLogger("Ostrel")
        assert [type(h).__name__ for h in package.handlers] == ["StreamHandler"]
        assert "Ostrel_file_handler" not in config["handlers"]
        """),
    )
    log_file = tmp_path / "home" / "tamsor_logs" / "Ostrel.log"
    after = out.partition("<<replaced>>\n")[2]
    assert after == f"{WARNING_LINE}{reason}: '{log_file}'\n" + LOADING.format(tmp_path / "m.onnx")


def test_loads_beside_a_thread_that_changes_the_logging_set_up(tmp_path):
    # Two threads load for 5 s while a third changes levels and handlers, moves HOME (to a folder without
    # a log folder, and to one that cannot hold one) and removes log folders: every load succeeds.
    out = run(
        tmp_path,
        MODEL + textwrap.dedent("""
        import random, shutil, threading, time
        homes = [home, os.path.join(home, "second"), os.path.join(home, "missing", "deeper")]
        os.mkdir(homes[1])
        stop = time.monotonic() + 5
        failures, loads = [], [0, 0]

        def load(i):
            verbosities = ["WARNING", "INFO", None]
            while time.monotonic() < stop:
                try:
                    ostrel.load(model, framework_type="onnx", logging_verbosity=verbosities[loads[i] % 3])
                    loads[i] += 1
                except Exception as e:
                    failures.append(repr(e))

        def change():
            rng = random.Random(0)
            while time.monotonic() < stop:
                for name in ("Ostrel", "ostrel.frameworks.onnx_inferencer", None):
                    logger = logging.getLogger(name)
                    logger.setLevel(rng.choice([10, 20, 30, 50]))
                    handlers = list(logger.handlers)
                    if handlers:
                        logger.removeHandler(rng.choice(handlers))
                    logger.addHandler(logging.NullHandler())
                os.environ["HOME"] = rng.choice(homes)
                shutil.rmtree(os.path.join(rng.choice(homes), "tamsor_logs"), ignore_errors=True)
                time.sleep(0.001)

        threads = [threading.Thread(target=load, args=(i,)) for i in range(2)] + [threading.Thread(target=change)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert failures == [], (len(failures), sorted(set(failures))[:5])
        assert min(loads) >= 10, loads
        print("<<loads>>", flush=True)
        """),
    )
    assert out.endswith("<<loads>>\n")
