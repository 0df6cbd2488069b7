"""The conformance base: each shared check passes on a correct fake back-end and fails, with a unittest
failure naming what differed, on a fake with exactly the fault that check exists to catch."""
import io
import os
import unittest

import numpy as np
import pytest

import ostrel.frameworks.base_inferencer as base_inferencer
from ostrel.frameworks.base_inferencer import BaseInferencer
import tests.unit_tests.test_inferencers.test_abstract_inferencer as abstract
from tests.unit_tests.test_inferencers.test_abstract_inferencer import OutputType, with_input_dims

DIMS = [(2, 3)]


class Doubler(BaseInferencer):
    """A correct back-end: one input of (batch, 2, 3) float32, one output, twice the input."""

    framework_type = property(lambda self: "fake")
    framework_version = property(lambda self: "1.0")

    def _load_model(self):
        self.calls = 0

    def _assert_loaded_successfully(self):
        pass

    def _dispose_all_resources(self):
        pass

    def fetch_model_input_dimensions(self):
        return list(DIMS)

    def fetch_model_input_dtype(self):
        return [np.float32]

    def fetch_model_batch_size(self):
        return None

    def predict(self, x=None, **named):
        if x is not None and named:
            raise ValueError("either x or named inputs")
        a = np.asarray((x if x is not None else named["data"]) if not isinstance(x, list) else x[0])
        if a.shape[1:] != DIMS[0]:
            raise ValueError(f"shape {a.shape}")
        self.calls += 1
        return [self.compute(a)]

    def compute(self, a):
        return a * 2


# One fake per shared check, each with the fault that check catches.
class NeedsDims(Doubler):
    def __init__(self, checkpoint_file, input_dims, **kw):
        super().__init__(checkpoint_file, input_dims=input_dims, **kw)


class NotAnInferencer:
    def __init__(self, *args, **kwargs):
        pass


class BadMetadata(Doubler):
    def _get_inputs_metadata(self):
        return [{"name": "data"}]


class WrongExampleBatch(Doubler):
    @property
    def example_inputs(self):
        return [np.zeros((2, 2, 3), np.float32)]


class InventsDims(Doubler):
    def benchmark(self, batch_size=None, input_dimensions=None, **kw):
        return super().benchmark(batch_size, input_dimensions or DIMS, **kw)


class EmptyTimedLoopRecord(Doubler):
    def benchmark(self, *args, repetitions=None, **kw):
        return super().benchmark(*args, repetitions=repetitions, **kw) if repetitions else None


class Reshapes(Doubler):
    def predict(self, x=None, **named):
        if x is not None and not isinstance(x, list) and np.asarray(x).ndim != 3:
            x = np.zeros((1, *DIMS[0]), np.float32)
        return super().predict(x, **named)


class WrongFetchedDims(Doubler):
    def fetch_model_input_dimensions(self):
        return [(3, 2)]


class Drifts(Doubler):
    def compute(self, a):
        return a * 2 + self.calls * 0.001


class FloatBatch(Doubler):
    def fetch_model_batch_size(self):
        return 2.5


class WrongDtype(Doubler):
    def fetch_model_input_dtype(self):
        return [np.float64]


class SilentForwardPass(Doubler):
    def _forward_pass(self, x):
        return self.predict(x)


class IgnoresKeywords(Doubler):
    def predict(self, x=None, **named):
        return super().predict(x) if x is not None else None


class CallDiffers(Doubler):
    def __call__(self, x=None, **named):
        return [out + 1e-6 for out in self.predict(x, **named)]


def checks_over(fake, **knobs):
    class Checks(abstract.AbstractInferencerTest):
        checkpoint_file = __file__  # any file: the fakes read nothing

        def setUp(self):
            super().setUp()
            self.inferencer_type = fake
            self.input_dtype = np.float32
            self.input_dims = list(DIMS)
            self.test_keyword_arguments_inputs_for_inference = True
            self.predict_keyword_arguments = {"data": np.ones((1, *DIMS[0]), np.float32)}
            for name, value in knobs.items():
                setattr(self, name, value)
            base_inferencer.BENCHMARK_DURATION = 0.02  # restored by the base's clean-up

        def create_inferencer(self):
            return fake(checkpoint_file=self.checkpoint_file, input_dims=self.input_dims)

    return Checks


def run_check(checks, name):
    result = unittest.TestResult()
    checks(name).run(result)
    return result


SHARED = [n for n in dir(abstract.AbstractInferencerTest) if n.startswith("test_")]


def test_every_shared_check_passes_on_a_correct_back_end(capsys):
    assert len(SHARED) == 15
    for name in SHARED:
        result = run_check(checks_over(Doubler), name)
        assert result.wasSuccessful(), (name, result.errors, result.failures)


@pytest.mark.parametrize(
    "check, fake, knobs, message",
    [
        ("test_initialize_without_framework_type", NeedsDims, {}, None),
        ("test_initialization_with_default_api", NotAnInferencer, {}, "is not an instance of"),
        ("test_inputs_and_outputs_metadata_properties", BadMetadata, {}, "is not an instance of"),
        ("test_example_inputs_property", WrongExampleBatch, {}, "batch axis of example input 0"),
        ("test_benchmark_with_none_input_dimensions_raises_error", InventsDims, {}, "not raised"),
        ("test_benchmark_with_warmup_calls", EmptyTimedLoopRecord, {}, "None is not true"),
        ("test_predict_with_invalid_input_dimensions_raises_exception", Reshapes, {}, "Exception not raised"),
        ("test_e2e_load_predict_benchmark", WrongFetchedDims, {}, "(3, 2)"),
        ("test_changing_inputs_dimensions_returns_consistent_outputs", Drifts, {}, "output 0 differs"),
        ("test_get_batch_size", FloatBatch, {}, "2.5"),
        ("test_get_batch_size", Doubler, {"static_batch_size": 4}, "None != 4"),
        ("test_fetch_input_dtype", WrongDtype, {}, "float64"),
        ("test_forward_pass", SilentForwardPass, {}, "ForwardPassNotImplemented not raised"),
        ("test_forward_pass", Doubler, {"forward_pass_supported": True}, None),
        ("test_inference_with_keyword_arguments", IgnoresKeywords, {}, "None is not true"),
        ("test_inference_with_keyword_arguments", Doubler, {"predict_keyword_arguments": {}}, None),
        ("test_benchmark_with_keyword_arguments", IgnoresKeywords, {}, None),
        ("test_predict_output_equals_call", CallDiffers, {}, "differs from predict"),
    ],
)
def test_each_shared_check_catches_its_fault(check, fake, knobs, message, capsys):
    result = run_check(checks_over(fake, **knobs), check)
    assert not result.wasSuccessful()
    if message is None:  # the fault shows as an error the back-end raised, or as any failure
        return
    assert len(result.failures) == 1, result.errors
    assert message in result.failures[0][1]


def test_checks_that_do_not_apply_pass_without_work(capsys):
    # A static batch skips the dynamic-batch rounds; no fetched dimensions skips the example inputs.
    for check, knobs, line in [
        ("test_changing_inputs_dimensions_returns_consistent_outputs", {"static_batch_size": 0},
         "skipping the dynamic batch size test"),
        ("test_example_inputs_property", {"try_fetch_input_dimensions": False},
         "Skipping example inputs property test - try_fetch_input_dimensions is False"),
    ]:
        result = run_check(checks_over(Drifts, **knobs), check)
        assert result.wasSuccessful()
        assert line in capsys.readouterr().out
    # Keyword checks with the knob off build the inferencer and return.
    assert run_check(checks_over(IgnoresKeywords, test_keyword_arguments_inputs_for_inference=False),
                     "test_benchmark_with_keyword_arguments").wasSuccessful()


def test_fetched_dimensions_check_wants_the_dedicated_error():
    class OtherError(Doubler):
        def benchmark(self, *args, **kw):
            raise RuntimeError("no dimensions")

    checks = checks_over(OtherError)
    case = checks("test_e2e_load_predict_benchmark")
    case.setUp()
    inferencer = case.create_inferencer()
    with pytest.raises(RuntimeError):
        case._test_fetch_input_dims(inferencer)
    assert inferencer.input_dims == DIMS  # put back although the block raised
    case.doCleanups()

    case = checks_over(Doubler)("test_e2e_load_predict_benchmark")
    case.setUp()
    inferencer = case.create_inferencer()
    assert case._test_fetch_input_dims(inferencer, can_fetch=True, batch_size=1)
    case.doCleanups()


ARRAY = np.ones((2, 2), np.float32)


@pytest.mark.parametrize(
    "layout, outputs, expected, message",
    [
        (OutputType.ORDERED, [ARRAY], [ARRAY + 0.00009], None),
        (OutputType.ORDERED, [ARRAY], [ARRAY + 0.0002], "output 0 differs"),
        (OutputType.ORDERED, [ARRAY, ARRAY], [ARRAY], "differ in number"),
        (OutputType.ORDERED, [ARRAY], [ARRAY, ARRAY], "differ in number"),
        (OutputType.ORDERED, (ARRAY,), [ARRAY], "is not an instance of"),
        (OutputType.ORDERED, [ARRAY], None, "is not an instance of"),
        (OutputType.ORDERED, [ARRAY.tolist()], [ARRAY], "is not an instance of"),
        (OutputType.ORDERED, [np.array([np.nan])], [np.array([np.nan])], None),
        (OutputType.DICT, {"a": ARRAY}, None, None),
        (OutputType.DICT, {"a": ARRAY}, {"a": ARRAY}, None),
        (OutputType.DICT, {"a": ARRAY, "b": ARRAY}, {"a": ARRAY}, "'b' is not among the expected outputs"),
        (OutputType.DICT, {"a": ARRAY}, {"a": ARRAY, "b": ARRAY}, "expected output 'b' is missing"),
        (OutputType.DICT, {"a": ARRAY}, {"a": ARRAY * 2}, "output 'a' differs"),
        (OutputType.DICT, [ARRAY], {"a": ARRAY}, "is not an instance of"),
    ],
)
def test_validate_outputs(layout, outputs, expected, message):
    case = checks_over(Doubler)("test_get_batch_size")
    case.setUp()
    case.output_type = layout
    try:
        if message is None:
            case.validate_outputs(outputs, expected)
        else:
            with pytest.raises(AssertionError, match=message):
                case.validate_outputs(outputs, expected)
    finally:
        case.doCleanups()


def test_with_input_dims_restores_on_every_way_out():
    inferencer = Doubler(__file__, input_dims=DIMS)
    with with_input_dims(inferencer, (4, 4)):
        assert inferencer.input_dims == [(4, 4)]
    assert inferencer.input_dims == DIMS
    with pytest.raises(KeyError):
        with with_input_dims(inferencer, None):
            assert inferencer.input_dims is None
            raise KeyError("block failed")
    assert inferencer.input_dims == DIMS


def test_benchmark_duration_is_short_during_a_check_only():
    seen = []

    class Records(abstract.AbstractInferencerTest):
        def test_reads(self):
            seen.append(base_inferencer.BENCHMARK_DURATION)

    before = base_inferencer.BENCHMARK_DURATION
    assert Records("test_reads").run().wasSuccessful()
    assert seen == [5.0]
    assert base_inferencer.BENCHMARK_DURATION == before


def test_base_run_on_its_own_and_its_descriptions():
    result = unittest.TestResult()
    unittest.defaultTestLoader.loadTestsFromTestCase(abstract.AbstractInferencerTest).run(result)
    assert len(result.errors) == 15 and not result.failures
    texts = {case.id().rsplit(".", 1)[1]: text for case, text in result.errors}
    assert "AttributeError" in texts["test_initialization_with_default_api"]
    assert "Please implement a create_inferencer method" in texts["test_get_batch_size"]
    # Descriptions shown by the runner at high verbosity come from the C++ checks' docstrings.
    stream = io.StringIO()
    suite = unittest.defaultTestLoader.loadTestsFromName("test_benchmark_with_warmup_calls", checks_over(Doubler))
    unittest.TextTestRunner(stream=stream, verbosity=2).run(suite)
    assert "Tests the benchmark with warmup_calls argument" in stream.getvalue()


def test_model_benchmarks_text_form_check():
    import tests.unit_tests.test_model_benchmarks_print as module

    result = unittest.TestResult()
    unittest.defaultTestLoader.loadTestsFromTestCase(module.TestModelBenchmarks).run(result)
    assert result.wasSuccessful() and result.testsRun == 1
