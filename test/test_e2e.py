"""The end-to-end check class tests.e2e_tests.test_ostrel_manager.TestOstrelE2E, run through unittest
against the generated sample tree: its driver's verdicts, its sample fetching and its logging checks."""

import io
import os
import shutil
import unittest
from pathlib import Path

import pytest

import tests.e2e_tests.test_ostrel_manager as e2e_module
from ostrel.frameworks import base_inferencer

NEEDED = ["return_model_input.onnx", "mobilenet_v2.pth"]


def _check_class():
    return e2e_module.TestOstrelE2E  # not bound at module level, so pytest does not collect it


@pytest.fixture(autouse=True)
def short_benchmarks(monkeypatch, samples):
    monkeypatch.setattr(base_inferencer, "BENCHMARK_DURATION", 0.2)
    monkeypatch.setattr(e2e_module, "s3_public_pexa_bucket", samples.resolve().as_uri())


def run_checks(*names):
    suite = unittest.TestSuite(_check_class()(n) for n in names)
    out = io.StringIO()
    result = unittest.TextTestRunner(stream=out, verbosity=2).run(suite)
    return result, out.getvalue()


@pytest.fixture
def prepared():
    """The class set-up as the framework runs it, undone afterwards."""
    cls = _check_class()
    cls.setUpClass()
    yield cls("test_load_and_predict_onnx_model")
    cls.tearDownClass()


@pytest.mark.parametrize(
    "kwargs, outcome",
    [
        # A static batch size that differs from the model's fails before any prediction.
        (dict(static_batch_size=2), AssertionError),
        # A list of shapes: only the first is used; the rest are ignored.
        (dict(input_dims=[(3, 224, 224), (1, 2)]), None),
        (dict(input_dims=(3, 224, 224)), None),
    ],
)
def test_driver_verdicts(prepared, kwargs, outcome):
    args = dict(model_path=_check_class().onnx_filename, framework_type="onnx", inference_hardware="cpu",
                input_dims=(3, 224, 224), static_batch_size=None)
    args.update(kwargs)
    if outcome:
        with pytest.raises(outcome):
            prepared._test_load_and_benchmark_model(**args)
    else:
        prepared._test_load_and_benchmark_model(**args)


def test_onnx_hardware_and_invalid_argument_checks_pass(capsys):
    result, out = run_checks("test_load_and_predict_onnx_model",
                             "test_load_with_invalid_params_raises_indicative_exceptions",
                             "test_load_and_predict_trt_model",
                             "test_load_and_predict_torchscript_model")
    assert result.wasSuccessful(), out
    assert not result.skipped
    import ostrel

    assert ("Skipping TensorRT load test, no GPU found" in capsys.readouterr().out) == (not ostrel.GPU_PRESENT)


def test_logging_checks_never_touch_the_real_log_folder(tmp_path, monkeypatch):
    home = tmp_path / "home"
    (home / "tamsor_logs").mkdir(parents=True)
    (home / "tamsor_logs" / "keep.log").write_text("the user's own log\n")
    monkeypatch.setenv("HOME", str(home))
    result, out = run_checks("test_that_we_log_info_level_when_passing_debug_verbosity",
                             "test_that_we_dont_log_info_level_when_passing_warning_verbosity",
                             "test_that_we_create_log_directory_if_it_doesnt_exist",
                             "test_that_we_get_expected_error_when_passing_invalid_verbosity")
    assert result.wasSuccessful(), out
    assert (home / "tamsor_logs" / "keep.log").read_text() == "the user's own log\n"
    assert os.environ["HOME"] == str(home)


def test_url_quoted_object_names_are_read_from_their_decoded_file(tmp_path, monkeypatch, samples):
    tree = tmp_path / "tree"
    (tree / "cpu_optimized_models").mkdir(parents=True)
    shutil.copy(samples / "return_model_input.onnx", tree / "return_model_input.onnx")
    (tree / "cpu_optimized_models" / "resnet50_batch=64.zip").write_bytes(b"not an archive")
    monkeypatch.setattr(e2e_module, "s3_public_pexa_bucket", tree.as_uri())
    result, out = run_checks("test_load_and_predict_openvino_model_from_zipped_resnet_50_batchsize_64")
    # Fetched (not skipped as missing); the load of a file that is no model is what fails.
    assert not result.skipped, out
    assert (Path("/tmp") / "test_openvino_resnet50_batch64.zip").read_bytes() == b"not an archive"


def test_a_sample_missing_from_the_tree_errs_the_check_naming_it(tmp_path, monkeypatch, samples):
    tree = tmp_path / "tree"
    tree.mkdir()
    shutil.copy(samples / "return_model_input.onnx", tree / "return_model_input.onnx")
    monkeypatch.setattr(e2e_module, "s3_public_pexa_bucket", tree.as_uri())
    result, out = run_checks("test_load_and_predict_keras_model")
    assert not result.skipped and len(result.errors) == 1, out
    report = result.errors[0][1]
    assert f"{tree.as_uri()}/mobilenetv2.keras.h5" in report and "make fixtures" in report


AFTER_THE_CHECKS = """
import logging, os, sys, unittest
import ostrel
from ostrel.common.logger_factory import LoggerManager

def files():
    return {name: sorted(h.baseFilename for h in logging.getLogger(name).handlers if hasattr(h, "baseFilename"))
            for name in LoggerManager._config_dict["loggers"]}

before, level = files(), logging.getLogger("Ostrel").level
unittest.main(module="tests.e2e_tests.test_ostrel_manager", argv=["unittest", "-k", "log"], exit=False)
after = files()
assert after["Ostrel"] == before["Ostrel"] == [os.path.join(os.environ["HOME"], "tamsor_logs", "Ostrel.log")], after
assert logging.getLogger("Ostrel").level == level
for name, paths in after.items():  # loggers the checks added log in the same folder
    assert all(p.startswith(os.environ["HOME"] + "/") for p in paths), (name, paths)
logging.getLogger("Ostrel").warning("logged after the checks")
print("restored")
"""


def test_after_the_checks_the_package_logs_where_it_logged_before(run_python, tmp_path, samples):
    r = run_python(AFTER_THE_CHECKS, env={"OSTREL_SAMPLES_DIR": str(samples.resolve())})
    assert r.stdout.strip().splitlines()[-1] == "restored", r.stdout + r.stderr
    assert "logged after the checks" in (tmp_path / "home" / "tamsor_logs" / "Ostrel.log").read_text()
