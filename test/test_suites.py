"""Suite runners as programs, the installation check class and its script, the in-environment runner."""

import os
import re
import socket
import subprocess
import sys
import textwrap
import threading
import unittest
import venv
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
SCRIPT = REPO / "verification" / "installation_tests" / "venv_test_runner.sh"
UNIT_MODULES = {
    "TestModelBenchmarks": "tests.unit_tests.test_model_benchmarks_print",
    "TestOnnxInferencer": "tests.unit_tests.test_inferencers.test_onnx_inferencer",
    "TestOpenVinoInferencer": "tests.unit_tests.test_inferencers.test_openvino_inferencer",
    "TestKerasInferencer": "tests.unit_tests.test_inferencers.test_keras_inferencer",
    "TestTF2Inferencer": "tests.unit_tests.test_inferencers.test_tensorflow_inferencer",
    "TestTorchScriptInferencer": "tests.unit_tests.test_inferencers.test_torchscript_inferencer",
    "TestTFLiteInferencer": "tests.unit_tests.test_inferencers.test_tflite_inferencer",
    "TestPytorchInferencer": "tests.unit_tests.test_inferencers.test_pytorch_inferencer",
}

# Stands in for every check class in a child interpreter: each unit module is a module with one passing
# check class, the end-to-end class has one check that passes or fails as asked.
PLANT = textwrap.dedent("""
    import importlib.machinery, sys, types, unittest
    import ostrel
    ostrel.GPU_PRESENT = GPU
    MODULES = %r
    def make(name, outcome=True):
        return type(name, (unittest.TestCase,), {"test_it": lambda self: self.assertTrue(outcome)})
    for cls, mod in MODULES.items():
        m = types.ModuleType(mod)
        m.__spec__ = importlib.machinery.ModuleSpec(mod, None)
        setattr(m, cls, make(cls))
        sys.modules[mod] = m
    import tests.e2e_tests.test_ostrel_manager as e2e
    e2e.TestOstrelE2E = make("TestOstrelE2E", E2E_PASSES)
""" % UNIT_MODULES)


def out_lines(r):
    """Standard output less the package's console log lines."""
    return [line for line in r.stdout.splitlines() if not re.match(r"^\S+ -[A-Z]+- ", line)]


def child(run_python, body, gpu=False, e2e_passes=True, check=True):
    code = f"GPU = {gpu}\nE2E_PASSES = {e2e_passes}\n" + PLANT + textwrap.dedent(body)
    return run_python(code, check=check)


@pytest.mark.parametrize("e2e_passes, status", [(True, 0), (False, 1)])
def test_full_runner_as_main_program_exits_with_the_checks_verdict(run_python, e2e_passes, status):
    r = child(run_python, """
        import runpy
        runpy.run_module("tests.ostrel_test_suite", run_name="__main__")
    """, e2e_passes=e2e_passes, check=False)
    assert r.returncode == status, r.stdout + r.stderr
    # Each suite reports through its own text run on standard output.
    assert r.stdout.count("Ran ") == 2 and "test_it (" in r.stdout


@pytest.mark.parametrize("gpu", [False, True])
def test_full_runner_suites_and_class_order(run_python, gpu):
    # TensorRT checks that cannot be imported (no TensorRT libraries): without a GPU they are absent by
    # design; with one they are a check of the unit suite that fails naming them.
    r = child(run_python, """
        import importlib.machinery
        trt = "tests.unit_tests.test_inferencers.test_trt_inferencer"
        sys.modules.pop(trt, None)
        class Loader:
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                raise OSError("libnvinfer.so: cannot open shared object file")
        class Finder:
            def find_spec(self, name, path, target=None):
                return importlib.machinery.ModuleSpec(name, Loader()) if name == trt else None
        sys.meta_path.insert(0, Finder())
        from tests.ostrel_test_suite import OstrelTestSuiteRunner
        runner = OstrelTestSuiteRunner()
        print(list(runner.suites))
        print([s._tests[0].__class__.__name__ for s in runner.suites["unit_tests"]])
        import tests.ostrel_test_suite as module
        print(hasattr(module, "TestTRTInferencer"))
        print(runner.test_runner.verbosity, runner.test_runner.stream.stream is sys.stdout, runner.test_runner.failfast)
        print(runner.run() == {})
        print(list(OstrelTestSuiteRunner().run("end_to_end_tests")))
        print(list(OstrelTestSuiteRunner().run("unit_tests", all_suites=True)))
        try:
            OstrelTestSuiteRunner().run("nope")
        except KeyError as e:
            print("KeyError", e)
    """, gpu=gpu)
    lines = out_lines(r)
    assert lines[0] == "['unit_tests', 'end_to_end_tests']"
    assert lines[1] == str(list(UNIT_MODULES) + ["TestTRTInferencer"] * gpu)
    assert lines[2] == str(gpu)
    assert lines[3] == "3 True False"
    assert "True" in lines
    assert "['end_to_end_tests']" in lines
    assert "['unit_tests', 'end_to_end_tests']" in lines
    assert "KeyError 'nope'" in lines
    assert ("ERROR: test_import (tests.unit_tests.test_inferencers.test_trt_inferencer.TestTRTInferencer" in
            r.stdout) == gpu
    assert ("TestTRTInferencer cannot be imported from tests.unit_tests.test_inferencers.test_trt_inferencer: "
            "libnvinfer.so: cannot open shared object file" in r.stdout + r.stderr) == gpu


def test_failfast_ends_a_suite_but_not_the_next(run_python):
    r = child(run_python, """
        import unittest
        from tests.ostrel_test_suite import OstrelTestSuiteRunner
        from tests.ostrel_installation_test_suite import OstrelInstallationTestSuiteRunner
        # Any truth value serves and reaches the text runner unchanged.
        print(repr(OstrelTestSuiteRunner(failfast=[]).test_runner.failfast),
              repr(OstrelInstallationTestSuiteRunner(0).test_runner.failfast))
        runner = OstrelTestSuiteRunner("yes")
        bad = type("Bad", (unittest.TestCase,), {"test_a": lambda s: s.fail("x"), "test_b": lambda s: None})
        runner.suites["unit_tests"] = unittest.TestSuite([runner.test_loader.loadTestsFromTestCase(bad)])
        res = runner.run("unit_tests", "end_to_end_tests")
        print(repr(runner.test_runner.failfast), res["unit_tests"].testsRun, res["end_to_end_tests"].testsRun)
    """)
    lines = out_lines(r)
    assert "[] 0" in lines and lines[-1] == "'yes' 1 1"


def test_installation_runner_knows_only_its_suite_and_openvino_runner_loads_lazily(run_python):
    r = child(run_python, """
        from tests.ostrel_installation_test_suite import OstrelInstallationTestSuiteRunner
        runner = OstrelInstallationTestSuiteRunner()
        try:
            runner.run("unit_tests")
        except KeyError as e:
            print("KeyError", e)
        del sys.modules["tests.e2e_tests.test_ostrel_manager"]
        import tests.ostrel_openvino_test_suite as ov
        print("tests.e2e_tests.test_ostrel_manager" in sys.modules)
        r = ov.OstrelOpenVinoTestSuiteRunner()
        print(r.unit_tests_suite.countTestCases(), "tests.e2e_tests.test_ostrel_manager" in sys.modules)
        print(sorted(t._testMethodName for t in r.end_to_end_tests_suite))
    """)
    lines = out_lines(r)
    assert lines[0] == "KeyError 'unit_tests'"
    assert lines[1:3] == ["False", "2 True"]
    assert lines[3] == str(sorted([
        "test_load_and_predict_openvino_model_from_pickled_checkpoint_batchsize_1",
        "test_load_and_predict_openvino_model_from_pickled_checkpoint_batchsize_16",
        "test_load_and_predict_openvino_model_from_zipped_resnet_50_batchsize_64"]))


@pytest.mark.parametrize("passes", [True, False])
def test_in_environment_runner(run_python, passes):
    r = run_python(textwrap.dedent(f"""
        import os, sys, unittest
        import tests.ostrel_test_suite as suite
        class Runner:
            def run(self, *names, all_suites=False):
                print("ran", names, all_suites)
                self.path = list(sys.path)
                link = os.path.join(sys.path[0], "tests")
                print(os.path.islink(link), os.path.realpath(link) == os.path.dirname(os.path.realpath(suite.__file__)))
                r = unittest.TestResult()
                if not {passes}:
                    r.failures.append((None, "x"))
                return {{"end_to_end_tests": r}}
        suite.OstrelTestSuiteRunner = Runner
        sys.path[:0] = ["", "/somewhere", ""]
        from tests.installation_tests.run_tests_in_venv import main
        try:
            main()
            print("passed")
        except Exception as e:
            print(type(e).__name__, e)
        print("" in sys.path, sys.path[1], os.path.basename(sys.path[0]).startswith("tests_python_path_dir_"))
    """))
    lines = out_lines(r)
    assert lines[0] == "ran ('end_to_end_tests',) False"
    assert lines[1] == "True True"
    assert lines[2] == ("passed" if passes else "Exception SOME TESTS FAILED AFTER INSTALLING OSTREL IN THE NEW ENV")
    assert lines[3] == "False /somewhere True"


def test_installation_runner_as_main_program_exits_1_on_an_error(run_python):
    r = run_python(textwrap.dedent("""
        import runpy, unittest
        import tests.installation_tests.test_ostrel_installation as inst
        def broken(cls):
            raise OSError("no room for environments")
        inst.TestOstrelInstallation = type("TestOstrelInstallation", (unittest.TestCase,), {
            "setUpClass": classmethod(broken), "test_it": lambda self: None})
        runpy.run_module("tests.ostrel_installation_test_suite", run_name="__main__")
    """), check=False)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "no room for environments" in r.stderr + r.stdout


# ---- the real suites: a broken set-up is an error, never a skip; checks by name; failure places ------

def test_full_runner_without_samples_exits_1_naming_a_missing_sample(run_python, tmp_path):
    empty = tmp_path / "no-samples"
    empty.mkdir()
    r = run_python("import runpy; runpy.run_module('tests.ostrel_test_suite', run_name='__main__')",
                   env={"OSTREL_SAMPLES_DIR": str(empty), "OSTREL_SAMPLES_URL": ""}, check=False)
    out = r.stdout + r.stderr
    assert r.returncode == 1, out
    assert "skipped" not in out
    assert f"sample /return_model_input.onnx could not be fetched from {empty.as_uri()}/return_model_input.onnx" in out
    assert "make fixtures" in out
    # Both suites ran: their class set-ups err, nothing is reported as a pass.
    assert out.count("FAILED (errors=") == 2, out


def test_unreachable_samples_address_fails_the_module_naming_it(tmp_path):
    e = dict(os.environ, HOME=str(tmp_path), OSTREL_SAMPLES_URL="http://127.0.0.1:9")
    r = subprocess.run([sys.executable, "-m", "unittest", "tests.unit_tests.test_inferencers.test_onnx_inferencer"],
                       env=e, cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert r.returncode == 1, r.stdout + r.stderr
    assert "http://127.0.0.1:9/return_model_input.onnx" in r.stderr and "make fixtures" in r.stderr
    assert "skipped" not in r.stderr and "FAILED (errors=1)" in r.stderr


NEEDED = ("return_model_input.onnx",)


def test_one_end_to_end_check_runs_by_name(tmp_path, samples):
    e = dict(os.environ, HOME=str(tmp_path), OSTREL_SAMPLES_DIR=str(samples))
    name = "tests.e2e_tests.test_ostrel_manager.TestOstrelE2E.test_load_with_invalid_params_raises_indicative_exceptions"
    r = subprocess.run([sys.executable, "-m", "unittest", "-v", name], env=e, cwd=tmp_path, capture_output=True,
                       text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Ran 1 test" in r.stderr and "test_load_with_invalid_params_raises_indicative_exceptions" in r.stderr


def test_every_check_of_every_suite_loads_by_name(run_python):
    r = run_python(textwrap.dedent("""
        import inspect, unittest
        from tests.ostrel_test_suite import OstrelTestSuiteRunner
        from tests.ostrel_installation_test_suite import OstrelInstallationTestSuiteRunner
        loader = unittest.TestLoader()
        seen = 0
        for runner in (OstrelTestSuiteRunner(), OstrelInstallationTestSuiteRunner()):
            for suite in runner.suites.values():
                for cls_suite in suite:
                    for check in cls_suite:
                        cls = type(check)
                        name = f"{cls.__module__}.{cls.__name__}.{check._testMethodName}"
                        assert inspect.isfunction(getattr(cls, check._testMethodName)), name
                        named = loader.loadTestsFromName(name)
                        assert named.countTestCases() == 1 and type(next(iter(named))) is cls, name
                        seen += 1
        print("NAMED", seen)
    """))
    assert int(out_lines(r)[-1].split()[1]) > 0


CPP = {"e2e": REPO / "verification" / "e2e_tests" / "test_ostrel_manager.cpp",
       "conformance": REPO / "verification" / "conformance" / "test_abstract_inferencer.cpp"}


@pytest.mark.parametrize("case, code, check, backend", [
    ("e2e", """
        import tests.e2e_tests.test_ostrel_manager as t
        cls = t.TestOstrelE2E
        cls.onnx_filename, cls.onnx_dummy_input_dims = "/nonexistent/model.onnx", (3, 224, 224)
        test = cls("test_load_and_predict_onnx_model")
    """, "TestOstrelE2E.test_load_and_predict_onnx_model", "onnx"),
    ("conformance", """
        import tests.unit_tests.test_inferencers.test_onnx_inferencer as t
        cls = t.TestOnnxInferencer
        cls.checkpoint_file = "/nonexistent/model.onnx"
        test = cls("test_forward_pass")
    """, "TestOnnxInferencer.test_forward_pass", "OnnxInferencer"),
])
def test_a_failing_check_names_itself_its_back_end_and_its_cpp_line(run_python, case, code, check, backend):
    r = run_python(textwrap.dedent(code) + textwrap.dedent("""
        import sys, unittest
        unittest.TextTestRunner(stream=sys.stdout).run(test)
    """))
    m = re.search(r'File "(verification/[\w/]+\.cpp)", line (\d+), in (\w+)', r.stdout)
    assert m, r.stdout
    path, line, name = m.group(1), int(m.group(2)), m.group(3)
    assert REPO / path == CPP[case] and name == check.split(".")[1]
    # The line is the one that defines the check.
    assert name in CPP[case].read_text().splitlines()[line - 1]
    assert f"in check {check} of the {backend} back-end, at {path}:{line}" in r.stdout


def test_end_to_end_checks_set_their_own_benchmark_duration(run_python):
    r = run_python(textwrap.dedent("""
        import ostrel.frameworks.base_inferencer as base
        import tests.e2e_tests.test_ostrel_manager as t
        base.BENCHMARK_DURATION = 60.0
        t.TestOstrelE2E("test_load_and_predict_onnx_model").setUp()
        print(base.BENCHMARK_DURATION)
    """))
    assert out_lines(r)[-1] == "5.0"


# ---- the installation check class, over a recording script and without real environments ----------

def test_installation_checks_command_lines_statuses_and_cleanup(run_python, tmp_path):
    work = tmp_path / "work"
    work.mkdir()
    record = tmp_path / "calls"
    (work / "venv_test_runner.sh").write_text(textwrap.dedent(f"""\
        #!/bin/sh
        echo "$*" >> {record}
        test -d "$2" || exit 9
        case "$4" in
          *with_ostrel*) exit 3 ;;
          *torch_numpy*) exit 7 ;;
        esac
        exit 0
    """))
    (work / "venv_test_runner.sh").chmod(0o755)
    r = run_python(textwrap.dedent(f"""
        import os, sys, unittest
        os.chdir({str(work)!r})
        import tests.installation_tests.test_ostrel_installation as inst
        class FakeVenv:
            @staticmethod
            def create(path, with_pip):
                assert with_pip is True
                os.makedirs(path)
        inst.venv = FakeVenv
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(
            unittest.TestLoader().loadTestsFromTestCase(inst.TestOstrelInstallation))
        root = inst.TestOstrelInstallation._venv_tmp_dir.name
        print("LEFT", sorted(os.listdir(root)))
        print("RESULT", len(result.errors), len(result.failures))
    """), check=False)
    calls = record.read_text().splitlines()
    assert len(calls) == 3
    assert all(c.split()[0] == "--venv-dir" and c.split()[2] == "--requirements-path" for c in calls)
    assert {c.split()[1].rsplit("/", 1)[1] for c in calls} == {
        "test_install_on_empty_env_ostrel_venv", "test_install_conflicting_requirements_ostrel_venv",
        "test_install_conflicting_requirements_after_ostrel_is_installed_ostrel_venv"}
    tails = sorted(" ".join(c.split()[3:]) for c in calls)
    assert tails == ["requirements/empty.requirements.txt",
                     "requirements/torch_numpy_1_20.requirements.txt --reinstall-requirements",
                     "requirements/torch_numpy_1_20.with_ostrel.requirements.txt --dont-install-ostrel"]
    # The script's status 7 errs the last check; every environment is gone all the same.
    assert "LEFT []" in r.stdout and "RESULT 1 0" in r.stdout, r.stdout + r.stderr


# ---- the installation script's exit statuses, in one real environment --------------------------------

@pytest.fixture(scope="module")
def env_dir(tmp_path_factory):
    d = tmp_path_factory.mktemp("venv") / "env"
    venv.create(d, with_pip=True)
    return d


@pytest.fixture(scope="module")
def fake_wheel(tmp_path_factory):
    """A package named ostrel that needs NumPy 2, as the real one does."""
    d = tmp_path_factory.mktemp("wheels")
    name = "ostrel-3.6.0"
    with zipfile.ZipFile(d / f"{name}-py3-none-any.whl", "w") as z:
        z.writestr(f"{name}.dist-info/METADATA",
                   "Metadata-Version: 2.1\nName: ostrel\nVersion: 3.6.0\nRequires-Dist: numpy>=2\n")
        z.writestr(f"{name}.dist-info/WHEEL", "Wheel-Version: 1.0\nGenerator: t\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
        z.writestr(f"{name}.dist-info/RECORD", "")
    return d


def script(env_dir, req, tmp_path, *flags, env=None):
    (tmp_path / "req.txt").write_text(req)
    e = dict(os.environ, HOME=str(tmp_path), **(env or {}))
    return subprocess.run([str(SCRIPT), "--venv-dir", str(env_dir), "--requirements-path", "req.txt", *flags],
                          cwd=tmp_path, env=e, capture_output=True, text=True, timeout=300)


def test_script_conflict_is_status_3(env_dir, fake_wheel, tmp_path):
    r = script(env_dir, "ostrel\nnumpy==1.26.4\n", tmp_path, "--dont-install-ostrel",
               env={"OSTREL_WHEEL_DIR": str(fake_wheel)})
    assert r.returncode == 3, r.stdout + r.stderr


def offline(tmp_path, index):
    return {"PIP_CONFIG_FILE": os.devnull, "PIP_INDEX_URL": index, "PIP_FIND_LINKS": "",
            "PIP_EXTRA_INDEX_URL": "", "PIP_NO_CACHE_DIR": "1", "PIP_CONSTRAINT": ""}


def test_script_unreachable_index_and_hung_pip_have_their_own_statuses(env_dir, tmp_path):
    r = script(env_dir, "numpy==2.2.6\n", tmp_path, "--dont-install-ostrel",
               env=offline(tmp_path, "http://127.0.0.1:9/simple"))
    assert r.returncode == 4, r.stdout + r.stderr

    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(8)
    held = []
    threading.Thread(target=lambda: [held.append(server.accept()) for _ in range(8)], daemon=True).start()
    env = offline(tmp_path, f"http://127.0.0.1:{server.getsockname()[1]}/simple")
    env["OSTREL_PIP_TIME_LIMIT"] = "3"
    r = script(env_dir, "numpy==2.2.6\n", tmp_path, "--dont-install-ostrel", env=env)
    server.close()
    assert r.returncode == 5, r.stdout + r.stderr


@pytest.mark.parametrize("args", [[], ["--venv-dir"], ["--bogus"]])
def test_script_usage_errors(args, tmp_path):
    r = subprocess.run([str(SCRIPT), *args], capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 2 and "Usage" in r.stderr


def test_script_without_requirement_file_or_environment(env_dir, tmp_path):
    r = subprocess.run([str(SCRIPT), "--venv-dir", str(env_dir), "--requirements-path", "missing.txt"],
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 2 and "missing.txt" in r.stderr


@pytest.mark.parametrize("error", [
    "ModuleNotFoundError('No module named ostrel.frameworks.openvino_inferencer', "
    "name='ostrel.frameworks.openvino_inferencer')",  # a back-end this build does not carry
    "ModuleNotFoundError('No module named openvino', name='openvino')",  # a framework runtime
    "RuntimeError('broken check module')",
])
def test_a_check_class_that_cannot_be_imported_fails_the_run_naming_it(run_python, error):
    r = child(run_python, f"""
        import importlib.machinery, runpy
        broken = "tests.unit_tests.test_inferencers.test_openvino_inferencer"
        del sys.modules[broken]
        for pkg in ("tests.unit_tests", "tests.unit_tests.test_inferencers"):
            p = types.ModuleType(pkg)
            p.__path__ = []
            p.__spec__ = importlib.machinery.ModuleSpec(pkg, None, is_package=True)
            sys.modules[pkg] = p
        class Loader:
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                raise {error}
        class Finder:
            def find_spec(self, name, path, target=None):
                return importlib.machinery.ModuleSpec(name, Loader()) if name == broken else None
        sys.meta_path.insert(0, Finder())
        runpy.run_module("tests.ostrel_test_suite", run_name="__main__")
    """, check=False)
    assert r.returncode == 1, r.stdout + r.stderr
    message = eval(error)  # noqa: S307 - the test's own text
    assert ("ImportError: TestOpenVinoInferencer cannot be imported from "
            f"tests.unit_tests.test_inferencers.test_openvino_inferencer: {message}") in r.stdout
    assert "Ran 8 tests" in r.stdout  # the other classes ran
    assert "FAILED (errors=1)" in r.stdout
