"""Hostile records for the restricted checkpoint reader, on the OpenVINO and TensorRT load paths: what the
memo shares (depth, hashing, decoding) is bounded by what the file holds, the objects are built without
native recursion, and records the reader refuses fail as FailedToLoadCheckpointError, quickly and without
quoting what they hold. Each load runs in a child interpreter (the TensorRT, pycuda and GPUtil stand-ins of
platform/ on its path) with a timeout, so a crash or a hang fails the test instead of ending the run."""
import os
import textwrap
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
GPU = [REPO / "platform" / name for name in ("tensorrt", "pycuda", "GPUtil")]
NEEDED = ["trt/two_profiles.pkl"]

PRELUDE = """
import os, pickle, resource, sys, threading, time
from pathlib import Path
from ostrel.common.exceptions import FailedToLoadCheckpointError
from ostrel.frameworks.openvino_inferencer import OpenVinoInferencer
from ostrel.frameworks.trt_inferencer import TRTInferencer
T = Path(os.environ["RECORDS"])
ENGINE = pickle.loads((Path(os.environ["TRT_SAMPLES"]) / "trt/two_profiles.pkl").read_bytes())["engine"]

def with_engine(path):  # the TensorRT checkpoint at `path`, its ENGINE placeholder made a real engine
    path.write_bytes(path.read_bytes().replace(b"ENGINE", b"B" + len(ENGINE).to_bytes(4, "little") + ENGINE))
    return str(path)

def refused(load, path):
    started = time.monotonic()
    try:
        load(str(path))
    except FailedToLoadCheckpointError as e:
        return str(e), time.monotonic() - started
    raise AssertionError(f"{path} loaded")
"""


def run_child(run_python, samples, tmp_path, code, timeout=120):
    (tmp_path / "tmp").mkdir(exist_ok=True)
    env = {"PYTHONPATH": os.pathsep.join(map(str, GPU)), "TRT_SAMPLES": str(samples),
           "RECORDS": str(tmp_path), "TMPDIR": str(tmp_path / "tmp")}
    result = run_python(PRELUDE + textwrap.dedent(code), env=env, timeout=timeout)
    assert not [n for n in os.listdir(tmp_path / "tmp") if n.startswith("unpickle_")]  # none left behind
    return result


# ---- hostile shapes, written opcode by opcode ------------------------------------------------------

def u32(n):
    return n.to_bytes(4, "little")


def text(s):
    return b"X" + u32(len(s)) + s


def shared_chain(levels=10**6, link=900):
    """A chain of `levels` one-item tuples memoised every `link` levels, and the tuple of all those links
    as the key of a dict: each link is reached first through that tuple, at a shallow depth, so a reader
    that skips what it has seen measures 901 levels while hashing the key recurses `levels` deep."""
    out = bytearray(b"\x80\x04)")
    links = 0
    for done in range(0, levels, link):
        out += b"\x85" * min(link, levels - done) + b"\x94"
        links += 1
    out += b"0}(" + b"".join(b"j" + u32(i) for i in range(links)) + b"tK\x01s."
    return bytes(out)


def doubling(levels=60):
    """T(i+1) = (T(i), T(i)) through the memo, 5 bytes a level, leaving T(levels) on the stack: linear in
    the file, 2**(levels+1) items to hash or print."""
    return b")" + b"".join(b"q" + bytes([i]) + b"h" + bytes([i]) + b"\x86" for i in range(levels))


def encoded_again(size=1 << 20, calls=2000):
    """A list of `calls` results of _codecs.encode on one memoised text of `size` bytes (BINGET BINGET
    REDUCE: 5 bytes a call), left on the stack."""
    return (b"c_codecs\nencode\nq\x00" + text(b"a" * size) + text(b"latin1") + b"\x86q\x01" + b"00](" +
            b"h\x00h\x01R" * calls + b"e")


def openvino_checkpoint(first_record):
    """A pickled OpenVINO checkpoint whose first record (the description) is `first_record`."""
    import pickle
    return first_record + pickle.dumps(b"weights")


def trt_record(*items):
    """A TensorRT checkpoint: a dict of an engine and the (key, value) opcode pairs `items`. The engine is
    filled in by the child (with_engine)."""
    return b"\x80\x04}(" + text(b"engine") + b"ENGINE" + b"".join(k + v for k, v in items) + b"u."


# ---- tests -----------------------------------------------------------------------------------------

def test_a_chain_shared_through_the_memo_is_as_deep_as_it_is_built(run_python, samples, tmp_path):
    chain = shared_chain()
    assert len(chain) < 1_010_000
    (tmp_path / "chain.pkl").write_bytes(openvino_checkpoint(chain))
    (tmp_path / "chain.trt").write_bytes(chain)
    run_child(run_python, samples, tmp_path, """
        for limit in (sys.getrecursionlimit(), 10**7):
            sys.setrecursionlimit(limit)
            for load, name in ((OpenVinoInferencer, "chain.pkl"), (TRTInferencer, "chain.trt")):
                message, _ = refused(load, T / name)
                assert "pickle record nested deeper than 1000 levels" in message, message
        """)


def test_records_exponential_to_hash_or_print_fail_at_once(run_python, samples, tmp_path):
    t60 = doubling(60)
    hashed = b"\x80\x04}" + t60 + b"K\x01s."          # {T(60): 1}
    in_frozenset = b"\x80\x04(" + t60 + b"\x91."      # frozenset({T(60)})
    assert len(hashed) < 434
    deep_key = b")" + b"\x85" * 100  # hashing recurses natively through nested tuples: 101 levels
    cases = {  # name: OpenVINO record, TensorRT record, message
        "key": (hashed, trt_record((t60, b"K\x01")), "hashes more than"),
        "frozenset": (in_frozenset, trt_record((text(b"f"), b"(" + t60 + b"\x91")), "hashes more than"),
        # never hashed, but printed whole by an error that quoted it
        "value": (b"\x80\x04" + t60 + b".", b"\x80\x04}" + text(b"engine") + t60 + b"s.",
                  "is a tuple, not bytes"),
        "deep key": (b"\x80\x04}" + deep_key + b"Ns.", trt_record((deep_key, b"N")),
                     "dict key or set member nested deeper than 100 levels"),
        "text": (b"\x80\x04\x8c\x02\xff\xfe.", trt_record((text(b"x"), b"\x8c\x01\xff")),
                 "text that is not valid UTF-8"),
    }
    for name, (ov_record, trt, _) in cases.items():
        (tmp_path / f"{name}.pkl").write_bytes(openvino_checkpoint(ov_record))
        (tmp_path / f"{name}.trt").write_bytes(trt)
    run_child(run_python, samples, tmp_path, f"""
        for name, expected in {[(n, c[2]) for n, c in cases.items()]!r}:
            trt = with_engine(T / f"{{name}}.trt")
            for load, path in ((OpenVinoInferencer, T / f"{{name}}.pkl"), (TRTInferencer, trt)):
                message, took = refused(load, path)
                assert expected in message and took < 1, (name, message, took)
                assert len(message) < 500, message  # what the record holds is never quoted
        """)


def test_a_text_decoded_again_through_the_memo_is_decoded_once(run_python, samples, tmp_path):
    blobs = encoded_again()
    assert len(blobs) < (1 << 20) + 11000
    (tmp_path / "blobs.pkl").write_bytes(openvino_checkpoint(b"\x80\x02" + blobs + b"."))
    (tmp_path / "blobs.trt").write_bytes(trt_record((text(b"blobs"), blobs)))
    run_child(run_python, samples, tmp_path, """
        trt = with_engine(T / "blobs.trt")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        message, _ = refused(OpenVinoInferencer, T / "blobs.pkl")
        assert "record 1 of the checkpoint is a list, not bytes" in message, message
        assert TRTInferencer(trt).model.load_engine(trt)[1] == "3"  # loads, blobs and all
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        assert grown < 200 * 1024, f"peak RSS grew by {grown} KiB"
        """, timeout=180)


def test_a_record_within_the_depth_limits_converts_on_a_small_thread_stack(run_python, samples, tmp_path):
    lists = b"]" * 998 + b"a" * 997                         # lists 998 deep
    (tmp_path / "deep.pkl").write_bytes(openvino_checkpoint(b"\x80\x04" + lists + b"."))
    # in a dict: 997 lists, 997 tuples, 99 tuples as a key (the deepest key that may be hashed), and
    # containers that hold themselves through the memo: t = (l,) with l = [t], and m = [m]
    (tmp_path / "deep.trt").write_bytes(trt_record(
        (text(b"lists"), b"]" * 997 + b"a" * 996),
        (text(b"tuples"), b")" + b"\x85" * 996), (b")" + b"\x85" * 98, b"N"),
        (text(b"cycle"), b"]\x94\x85\x94h\x00h\x01a0"), (text(b"self"), b"]\x94h\x02a")))
    run_child(run_python, samples, tmp_path, """
        trt = with_engine(T / "deep.trt")
        results = []
        def load():
            message, _ = refused(OpenVinoInferencer, T / "deep.pkl")
            results.append(message)
            results.append(TRTInferencer(trt).model.load_engine(trt)[1])
        threading.stack_size(128 * 1024)  # musl's default
        worker = threading.Thread(target=load)
        worker.start()
        worker.join()
        assert len(results) == 2 and "record 1 of the checkpoint is a list, not bytes" in results[0], results
        assert results[1] == "3", results
        """)


def test_a_record_is_read_on_a_64_kib_thread_stack_where_the_package_is_first_imported(run_python, tmp_path):
    (tmp_path / "int.pkl").write_bytes(b"\x80\x04K\x07.")  # a 5-byte record of neither back-end's type
    code = textwrap.dedent("""
        import sys, threading
        threading.stack_size(64 << 10)  # as small as the interpreter lets a thread's stack be
        results = []
        def load():
            from ostrel.common.exceptions import FailedToLoadCheckpointError
            from ostrel.frameworks.openvino_inferencer import OpenVinoInferencer
            from ostrel.frameworks.trt_inferencer import TRTInferencer
            for load in (OpenVinoInferencer, TRTInferencer):
                try:
                    load(sys.argv[-1])
                except FailedToLoadCheckpointError as e:
                    results.append(str(e))
        for _ in range(5):  # the first import of the package and its back-ends on the small thread, then again
            worker = threading.Thread(target=load)
            worker.start()
            worker.join()
        assert len(results) == 10, results
        assert all("is a int, not bytes" in m for m in results[::2]), results
        assert all("found <class 'int'>" in m for m in results[1::2]), results
        """).replace("sys.argv[-1]", repr(str(tmp_path / "int.pkl")))
    run_python(code, env={"PYTHONPATH": os.pathsep.join(map(str, GPU))}, timeout=120)


def test_a_forbidden_globals_name_is_shown_escaped(run_python, samples, tmp_path):
    def stack_global(module, name):
        return b"\x80\x04\x8c" + bytes([len(module)]) + module + b"\x8c" + bytes([len(name)]) + name + b"\x93."
    names = {"undecodable": (b"os", b"sys\xff\xfetem", r"'os.sys\xff\xfetem'"),
             "terminal": (b"os\n", b"\x1b[2Ksystem", r"'os\n.\x1b[2Ksystem'"),
             "long": (b"m" * 200, b"f", "'" + "m" * 80 + "'...")}
    for case, (module, name, _) in names.items():
        (tmp_path / f"{case}.pkl").write_bytes(openvino_checkpoint(stack_global(module, name)))
        (tmp_path / f"{case}.trt").write_bytes(stack_global(module, name))
    result = run_child(run_python, samples, tmp_path, f"""
        for case, shown in {[(c, n[2]) for c, n in names.items()]!r}:
            for load, path in ((OpenVinoInferencer, T / f"{{case}}.pkl"), (TRTInferencer, T / f"{{case}}.trt")):
                message, _ = refused(load, path)
                assert f"global {{shown}} is forbidden" in message, (case, message)
                assert message.isprintable() and message.isascii(), (case, message)
        """)
    assert "\x1b" not in result.stdout + result.stderr and "os\n" not in result.stdout + result.stderr
