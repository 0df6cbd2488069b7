"""ostrel.common.utils: timers, output capture, GPU-memory readers, safe_lookup, cached_property."""
import abc
import os
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

import ostrel
from ostrel.common import utils
from ostrel.common.exceptions import InvalidInferenceHardware, MappingKeyError
from ostrel.common.utils import (CaptureWrites, CPUTimer, GPUTimer, GPUtilWrapper, PipePrinter, Timer,
                                 cached_property, get_timer, jtopWrapper, safe_lookup)


def test_module_level_names():
    import threading as threading_mod

    assert utils.os is os and utils.time is time
    assert utils.abstractmethod is abc.abstractmethod
    assert utils.Thread is threading_mod.Thread
    assert utils.InferenceHardware is ostrel.InferenceHardware
    assert utils.InvalidInferenceHardware is InvalidInferenceHardware
    assert utils.MappingKeyError is MappingKeyError


# ---- timers ---------------------------------------------------------------------------------------------


def test_cpu_timer_is_perf_counter_in_milliseconds():
    t = CPUTimer()
    assert isinstance(t, Timer) and t.device == "cpu" and t.starter == 0.0
    before = time.perf_counter()
    t.start()
    after = time.perf_counter()
    assert isinstance(t.starter, float) and before <= t.starter <= after
    time.sleep(0.02)
    lo = (time.perf_counter() - t.starter) * 1000
    first = t.stop()
    hi = (time.perf_counter() - t.starter) * 1000
    assert isinstance(first, float) and 20 <= lo <= first <= hi
    # stop resets nothing: a second stop measures from the same start.
    second = t.stop()
    assert second >= first
    # start overwrites the mark.
    t.start()
    assert t.stop() < first


def test_cpu_timer_starter_is_a_plain_field():
    t = CPUTimer()
    t.starter = time.perf_counter() - 1.5
    assert 1500 <= t.stop() < 1600
    t.starter = 0  # any number works, as with Python arithmetic
    assert t.stop() == pytest.approx(time.perf_counter() * 1000, rel=1e-6)


def test_timer_base_is_a_label_with_abstract_members():
    t = Timer("anything")
    assert t.device == "anything" and t._device == "anything"
    for member in (t.start, t.stop):
        with pytest.raises(NotImplementedError) as info:
            member()
        assert info.value.args == ()
    assert Timer.start.__isabstractmethod__ and Timer.stop.__isabstractmethod__
    assert Timer(3).device == 3


@pytest.mark.parametrize("hardware", ["cpu", ostrel.InferenceHardware.CPU])
def test_get_timer_cpu_ignores_the_stream(hardware):
    t = get_timer(hardware, stream=object())
    assert type(t) is CPUTimer and t.device == "cpu"


@pytest.mark.parametrize("hardware", [None, "GPU", "CPU", "tpu", 0])
def test_get_timer_rejects_other_values_with_the_value_as_argument(hardware):
    with pytest.raises(InvalidInferenceHardware) as info:
        get_timer(hardware) if hardware is not None else get_timer()
    assert info.value.args == (hardware,)


@pytest.mark.parametrize("hardware", ["gpu", ostrel.InferenceHardware.GPU])
def test_gpu_timer_without_pycuda_fails_with_the_import_error(hardware):
    with pytest.raises(ModuleNotFoundError) as info:
        get_timer(hardware)
    assert info.value.name == "pycuda"
    with pytest.raises(ModuleNotFoundError):
        GPUTimer(stream=object())  # with a stream the driver import is the one that fails


@pytest.fixture
def fake_pycuda(monkeypatch):
    """A minimal pycuda stand-in that records what the timer does with it."""
    calls = []

    class Event:
        def __init__(self):
            self.name = "starter" if not any(c[0] == "Event" for c in calls) else "ender"
            calls.append(("Event", self.name))

        def record(self, stream=None):
            calls.append(("record", self.name, stream))

        def time_since(self, other):
            calls.append(("time_since", self.name, other.name))
            return 12.5

    class Sync:
        def __init__(self, name):
            self.name = name

        def synchronize(self):
            calls.append(("synchronize", self.name))

    pycuda = types.ModuleType("pycuda")
    driver = types.ModuleType("pycuda.driver")
    driver.Event = Event
    ctx = types.ModuleType("pycuda.autoprimaryctx")
    ctx.context = Sync("context")
    pycuda.driver, pycuda.autoprimaryctx = driver, ctx
    for name, mod in (("pycuda", pycuda), ("pycuda.driver", driver), ("pycuda.autoprimaryctx", ctx)):
        monkeypatch.setitem(sys.modules, name, mod)
    return types.SimpleNamespace(calls=calls, driver=driver, context=ctx.context, Sync=Sync)


def test_gpu_timer_on_the_primary_context(fake_pycuda):
    t = get_timer(ostrel.InferenceHardware.GPU)
    assert type(t) is GPUTimer and t.device == "cuda"
    assert t.device_context is fake_pycuda.context and t.cuda is fake_pycuda.driver
    assert t._GPUTimer__stream is None
    t.start()
    assert t.stop() == 12.5
    assert fake_pycuda.calls[2:] == [("record", "starter", None), ("record", "ender", None),
                                     ("synchronize", "context"), ("time_since", "ender", "starter")]


def test_gpu_timer_on_a_stream_synchronises_only_that_stream(fake_pycuda):
    stream = fake_pycuda.Sync("stream")
    t = GPUTimer(device=1, stream=stream)
    assert t.device == 1 and not hasattr(t, "device_context")
    t.start()
    t.stop()
    assert fake_pycuda.calls[2:] == [("record", "starter", stream), ("record", "ender", stream),
                                     ("synchronize", "stream"), ("time_since", "ender", "starter")]


# ---- output capture -------------------------------------------------------------------------------------


def fd_identity(fd):
    st = os.fstat(fd)
    return st.st_dev, st.st_ino


def open_fds():
    return set(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("source, fd", [(2, 2), (sys.__stderr__, 2), (1, 1)])
def test_capture_collects_and_echoes_lines(capsys, source, fd):
    target = fd_identity(fd)
    capturer = CaptureWrites(source)
    assert capturer._source_fd == fd and capturer.output == ""
    with capturer as entered:
        assert entered is capturer
        assert capturer.output == ""
        assert isinstance(capturer._pipe_read_thread, PipePrinter) and capturer._orig_fd_dup is not None
        os.write(fd, b"first line  \t\n")
        os.write(fd, b"second\r\nthird without end  ")
    assert capturer.output == "first line  \t\nsecond\nthird without end  "
    assert capsys.readouterr().out == "first line\nsecond\nthird without end\n"
    assert capturer._pipe_read_thread is None and capturer._orig_fd_dup is None
    assert fd_identity(fd) == target


def test_after_the_block_writes_reach_the_descriptor_again(capfd):
    capturer = CaptureWrites(2)
    with capturer:
        os.write(2, b"inside\n")
    os.write(2, b"outside\n")
    out, err = capfd.readouterr()
    assert out == "inside\n" and err == "outside\n"
    assert capturer.output == "inside\n"


def test_undecodable_bytes_are_replaced_and_draining_goes_on(capsys):
    capturer = CaptureWrites(2)
    with capturer:
        os.write(2, b"ok \xff\xfe\n\xc3")
        os.write(2, b"\xa9t\xe9\n" + b"z" * 100_000)
    assert capturer.output == "ok \ufffd\ufffd\n\u00e9t\ufffd\n" + "z" * 100_000
    assert capsys.readouterr().out.startswith("ok \ufffd\ufffd\n\u00e9t\ufffd\nzzz")


def test_successive_blocks_and_clear_buffer(capsys):
    capturer = CaptureWrites(2)
    with capturer:
        os.write(2, b"one\n")
    with capturer:
        assert capturer.output == ""
        os.write(2, b"two\n")
    assert capturer.output == "two\n"
    capturer.clear_buffer()
    assert capturer.output == ""


def test_exit_while_idle_does_nothing():
    capturer = CaptureWrites(2)
    assert capturer.__exit__(None, None, None) is None
    with capturer:
        os.write(2, b"x\n")
    assert capturer.__exit__() is None
    assert capturer.output == "x\n"


def test_an_exception_of_the_block_passes_and_the_descriptor_is_restored(capsys):
    target = fd_identity(2)
    capturer = CaptureWrites(2)
    with pytest.raises(KeyError):
        with capturer:
            os.write(2, b"before the failure\n")
            raise KeyError("k")
    assert capturer.output == "before the failure\n"
    assert fd_identity(2) == target


def test_entry_on_a_bad_descriptor_undoes_everything():
    fds, threads = open_fds(), threading.active_count()
    capturer = CaptureWrites(999)
    capturer._output = "previous"
    with pytest.raises(OSError) as info:
        capturer.__enter__()
    assert info.value.errno == 9
    assert capturer.output == "previous"
    assert capturer._orig_fd_dup is None and capturer._pipe_read_thread is None
    assert open_fds() == fds and threading.active_count() == threads


def test_entry_failing_after_the_thread_was_made_undoes_everything(monkeypatch):
    class NoStart(PipePrinter):
        def start(self):
            raise RuntimeError("can't start new thread")

    monkeypatch.setattr(utils, "PipePrinter", NoStart)
    fds, target = open_fds(), fd_identity(2)
    capturer = CaptureWrites(2)
    with pytest.raises(RuntimeError, match="can't start"):
        with capturer:
            pass
    assert open_fds() == fds and fd_identity(2) == target
    assert capturer._orig_fd_dup is None and capturer._pipe_read_thread is None


def test_entering_an_active_capture_is_refused(capsys):
    capturer = CaptureWrites(2)
    with capturer:
        thread = capturer._pipe_read_thread
        with pytest.raises(RuntimeError, match="fd 2 is already being captured"):
            capturer.__enter__()
        assert capturer._pipe_read_thread is thread
        os.write(2, b"still captured\n")
    assert capturer.output == "still captured\n"


def run_child(tmp_path, code, timeout=60):
    env = dict(os.environ, HOME=str(tmp_path))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout, cwd=tmp_path)


def test_large_output_from_a_writer_holding_the_gil_does_not_deadlock(tmp_path):
    # ctypes.PyDLL keeps the GIL during the call: the echo thread cannot print until the write returns,
    # so the pipe must be drained without the GIL.
    r = run_child(tmp_path, """
        import ctypes
        from ostrel.common.utils import CaptureWrites
        libc = ctypes.PyDLL(None)
        data = (b"y" * 1023 + b"\\n") * 1024
        c = CaptureWrites(2)
        with c:
            assert libc.write(2, data, len(data)) == len(data)
        print("RESULT", len(c.output), c.output.count("\\n"))
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[-1] == "RESULT 1048576 1024"
    assert r.stdout.count("y" * 1023 + "\n") == 1024 and r.stderr == ""


def test_exit_waits_at_most_a_second_for_a_pipe_held_open_elsewhere(tmp_path):
    r = run_child(tmp_path, """
        import os, subprocess, sys, time
        from ostrel.common.utils import CaptureWrites
        c = CaptureWrites(2)
        with c:
            os.write(2, b"early\\n")
            late = "import os, time; time.sleep(2); os.write(2, b'late\\\\n')"
            child = subprocess.Popen([sys.executable, "-c", late])
            time.sleep(0.2)
            t0 = time.monotonic()
        waited = time.monotonic() - t0
        print("RESULT", repr(c.output), 0.9 < waited < 1.8)
        child.wait()
        """)
    assert r.returncode == 0, r.stderr
    assert "RESULT 'early\\n' True" in r.stdout
    # The thread went on echoing after the exit, and the process waited for it.
    assert r.stdout.rstrip().endswith("late")


@pytest.mark.parametrize("order", ["first-out-first", "last-out-first"])
def test_overlapping_captures_end_in_any_order(tmp_path, order):
    # Standard error goes to a file; whatever order the captures end in, it writes there again afterwards,
    # no echo thread is left and the interpreter exits.
    r = run_child(tmp_path, f"""
        import os, sys, threading
        from ostrel.common.utils import CaptureWrites, PipePrinter
        log = os.open("err.log", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        os.dup2(log, 2)
        a, b = CaptureWrites(2), CaptureWrites(2)
        a.__enter__()
        os.write(2, b"to a\\n")
        b.__enter__()
        os.write(2, b"to b\\n")
        first, second = (a, b) if "{order}" == "first-out-first" else (b, a)
        first.__exit__(None, None, None)
        os.write(2, b"after one\\n")
        second.__exit__(None, None, None)
        os.write(2, b"restored\\n")
        left = [t for t in threading.enumerate() if isinstance(t, PipePrinter)]
        print("RESULT", repr(a.output), repr(b.output), left)
        """, timeout=20)
    assert r.returncode == 0, r.stderr
    # Between the two exits the capture still active gets the writes.
    expected_a, expected_b = ("to a\n", "to b\nafter one\n") if order == "first-out-first" else (
        "to a\nafter one\n", "to b\n")
    assert f"RESULT {expected_a!r} {expected_b!r} []" in r.stdout
    assert (tmp_path / "err.log").read_text() == "restored\n"


def test_capturing_the_echo_descriptor_is_refused(tmp_path, monkeypatch):
    fds = open_fds()
    with open(tmp_path / "out.txt", "w") as out:
        monkeypatch.setattr(sys, "stdout", out)
        capturer = CaptureWrites(out)
        capturer._output = "previous"
        with pytest.raises(ValueError, match=f"^cannot capture fd {out.fileno()}: it is standard output"):
            capturer.__enter__()
        assert capturer.output == "previous" and capturer._pipe_read_thread is None
        monkeypatch.undo()
    assert open_fds() == fds


def test_pipe_printer_over_a_text_reader_and_a_descriptor(capsys):
    import io

    printer = PipePrinter(io.StringIO("a  \nb\t\n\nc"), name="printer")
    assert isinstance(printer, threading.Thread) and printer.name == "printer" and not printer.daemon
    printer.start()
    printer.join()
    assert printer.output == "a  \nb\t\n\nc" and printer._output == ["a  \n", "b\t\n", "\n", "c"]
    assert printer._pipe_reader.closed
    assert capsys.readouterr().out == "a\nb\n\nc\n"

    r, w = os.pipe()
    printer = PipePrinter(r)
    assert printer._pipe_reader.fileno() == r
    printer.start()
    os.write(w, b"x\ry\n")
    os.close(w)
    printer.join(5)
    assert not printer.is_alive() and printer.output == "x\ny\n" and printer._pipe_reader.closed
    assert capsys.readouterr().out == "x\ny\n"


# ---- GPU-memory readers ---------------------------------------------------------------------------------

GPU = types.SimpleNamespace(memoryUsed=1234.5, memoryFree=10, memoryUtil=0.25, memoryTotal=8192)


def test_gputil_reads_a_record_unchanged_without_the_package(monkeypatch):
    monkeypatch.delattr(utils, "GPUtil", raising=False)
    assert GPUtilWrapper.ATTR_MAP == {"used": "memoryUsed", "free": "memoryFree", "util": "memoryUtil",
                                      "total": "memoryTotal"}
    assert GPUtilWrapper.get_memory(GPU) == 1234.5
    assert GPUtilWrapper.get_memory(GPU, "util") == 0.25
    assert GPUtilWrapper.get_memory(GPU, attr="total") == 8192
    with pytest.raises(NameError, match="name 'GPUtil' is not defined"):
        GPUtilWrapper.getGPUs()


def test_unknown_figure_names_list_the_possible_keys(monkeypatch):
    monkeypatch.delattr(utils, "jtop", raising=False)
    with pytest.raises(MappingKeyError) as info:
        GPUtilWrapper.get_memory(GPU, "vram")
    assert str(info.value) == ("Keyword 'vram' did not correspond to possible keys: "
                               "['used', 'free', 'util', 'total']")
    with pytest.raises(MappingKeyError) as info:
        jtopWrapper.get_memory("vram")  # the key check comes before the missing package
    assert str(info.value) == ("Keyword 'vram' did not correspond to possible keys: "
                               "['used', 'shared', 'unit', 'total']")
    with pytest.raises(NameError, match="name 'jtop' is not defined"):
        jtopWrapper.get_memory()


@pytest.fixture
def fake_jtop(monkeypatch):
    events = []

    class Client:
        ram = {"use": 2048, "shared": 512, "unit": "k", "tot": 7_864_320}

        def __init__(self):
            events.append("new")

        def start(self):
            events.append("start")

        def close(self):
            events.append("close")

    monkeypatch.setattr(utils, "jtop", types.SimpleNamespace(jtop=Client), raising=False)
    return types.SimpleNamespace(events=events, Client=Client)


def test_jtop_reads_mib_with_a_client_per_call(fake_jtop):
    assert jtopWrapper.get_memory() == 2.0
    assert isinstance(jtopWrapper.get_memory("shared"), float)
    assert jtopWrapper.get_memory("total") == 7680.0
    assert fake_jtop.events == ["new", "start", "close"] * 3
    assert jtopWrapper.get_memory("unit") == "k"


def test_jtop_closes_the_client_when_the_read_fails(fake_jtop):
    fake_jtop.Client.ram = {"tot": 1}
    with pytest.raises(KeyError):
        jtopWrapper.get_memory("used")
    assert fake_jtop.events == ["new", "start", "close"]


def test_optional_packages_are_bound_at_import(run_python, tmp_path):
    pkgs = tmp_path / "pkgs"
    (pkgs / "jtop").mkdir(parents=True)
    (pkgs / "GPUtil.py").write_text("def getGPUs():\n    return ['gpu0', 'gpu1']\n")
    (pkgs / "jtop" / "__init__.py").write_text("raise RuntimeError('no jetson here')\n")
    r = run_python(textwrap.dedent("""
        from ostrel.common import utils
        print("GPUS", utils.GPUtilWrapper.getGPUs(), hasattr(utils, "jtop"))
        try:
            utils.jtopWrapper.get_memory()
        except NameError as e:
            print("JTOP", e)
        """), extra_path=pkgs)
    assert "GPUS ['gpu0', 'gpu1'] False" in r.stdout
    assert "JTOP name 'jtop' is not defined" in r.stdout
    assert r.stderr == ""


# ---- safe_lookup and cached_property --------------------------------------------------------------------


@pytest.mark.parametrize("value", [0, False, "", [], 0.0])
def test_safe_lookup_returns_false_values(value):
    assert safe_lookup({"k": value}, "k") is value


@pytest.mark.parametrize("mapping, key, message", [
    ({"a": None, 2: "x"}, "a", "Keyword 'a' did not correspond to possible keys: ['a', 2]"),
    ({}, "missing", "Keyword 'missing' did not correspond to possible keys: []"),
    ({"cpu": 1}, ostrel.InferenceHardware.GPU, "Keyword 'gpu' did not correspond to possible keys: ['cpu']"),
])
def test_safe_lookup_failure_message(mapping, key, message):
    with pytest.raises(MappingKeyError) as info:
        safe_lookup(mapping, key)
    assert str(info.value) == message and info.value.__cause__ is None


def test_cached_property_computes_once_per_object():
    calls = []

    class Model:
        def __init__(self, value):
            self.value = value

        @cached_property
        def meta(self):
            calls.append(self)
            if self.value == "fail":
                raise ValueError("not yet")
            return self.value

    protocol = {"__init__", "__get__", "__set__", "__delete__", "__set_name__"}
    assert set(vars(cached_property)) & protocol == {"__init__", "__get__"}
    prop = vars(Model)["meta"]
    assert prop._attr_name == "meta" and prop._method.__name__ == "meta"

    a, b, none = Model(1), Model(2), Model(None)
    assert (a.meta, a.meta, b.meta, b.meta) == (1, 1, 2, 2)
    assert none.meta is None and none.meta is None
    assert calls == [a, b, none] and vars(a)["meta"] == 1
    del a.meta
    assert a.meta == 1 and calls[-1] is a

    failing = Model("fail")
    for _ in range(2):
        with pytest.raises(ValueError):
            failing.meta
    assert "meta" not in vars(failing) and calls[-2:] == [failing, failing]

    with pytest.raises(AttributeError):
        Model.meta  # read through the class: the method gets None
