"""Machine probe of ostrel.inference.config.

The probe runs once per process at the first import, so every machine variant runs in a fresh interpreter
with small stand-in packages (jtop, GPUtil, tensorrt, pycuda) put on its path.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

JTOP = """
import datetime

class jtop:
    def __enter__(self):
        {enter}
        return self

    def __exit__(self, exc_type, exc, tb):
        print("jtop exit", exc_type.__name__ if exc_type else None)

    def ok(self):
        return {ok}

    @property
    def stats(self):
        {stats}
"""

STATS = {"uptime": "datetime.timedelta(seconds=5)", "GPU": "12", "CPU1": "[1, 2]"}
STATS_EXPR = "{" + ", ".join(f"{k!r}: {v}" for k, v in STATS.items()) + "}"


def jtop_pkg(ok="True", enter="pass", stats="return " + STATS_EXPR):
    return {"jtop/__init__.py": JTOP.format(ok=ok, enter=enter, stats=stats)}


GPUTIL_TWO = {"GPUtil.py": "def getGPUs():\n    return ['gpu0', 'gpu1']\n"}

PROBE = """
import json, ostrel, ostrel.inference.config as c
print("RESULT " + json.dumps({
    "gpus": c.NUM_OF_GPUS, "present": c.GPU_PRESENT, "jetson": c.RUNNING_ON_JETSON,
    "trt": c.TRT_VERSION, "cuda": c.CUDA_VERSION, "root_gpus": ostrel.NUM_OF_GPUS,
}))
"""


def run_with_fakes(tmp_path, files, code=PROBE):
    fakes = tmp_path / "fakes"
    for rel, text in files.items():
        path = fakes / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    fakes.mkdir(exist_ok=True)
    home = tmp_path / "home"
    home.mkdir()
    env = dict(os.environ, HOME=str(home), PYTHONPATH=str(fakes))
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, cwd=tmp_path, timeout=120
    )


def probe(tmp_path, files):
    proc = run_with_fakes(tmp_path, files)
    assert proc.returncode == 0, proc.stderr
    head, _, result = proc.stdout.rpartition("RESULT ")
    return head, json.loads(result)


NONE = dict(gpus=0, present=False, jetson=False, trt=None, cuda=None)


@pytest.mark.parametrize(
    "files, expected",
    [
        pytest.param({}, NONE, id="nothing-installed"),
        pytest.param(GPUTIL_TWO, dict(NONE, gpus=2, present=True), id="gputil-two-gpus"),
        pytest.param(
            {"GPUtil.py": "def getGPUs():\n    raise OSError('nvidia-smi missing')\n"}, NONE, id="gputil-raises"
        ),
        pytest.param(
            {**jtop_pkg(ok="0"), **GPUTIL_TWO}, NONE, id="jtop-not-ok-skips-gputil"
        ),
        pytest.param(
            {**jtop_pkg(enter="raise RuntimeError('jtop service down')"), **GPUTIL_TWO},
            dict(NONE, gpus=2, present=True),
            id="jtop-start-raises",
        ),
        pytest.param(
            {**jtop_pkg(stats="raise KeyError('stats')"), **GPUTIL_TWO},
            dict(NONE, gpus=2, present=True),
            id="jtop-stats-raise",
        ),
        pytest.param(
            {
                "tensorrt/__init__.py": "__version__ = '8.6.1'\n",
                "pycuda/__init__.py": "",
                "pycuda/driver.py": "def get_version():\n    return (11, 4, 0)\n",
            },
            dict(NONE, trt="8.6.1", cuda=[11, 4, 0]),
            id="tensorrt-and-pycuda",
        ),
        pytest.param(
            {
                "tensorrt/__init__.py": "raise ImportError('libnvinfer.so.8: cannot open shared object file')\n",
                "pycuda/__init__.py": "",
                "pycuda/driver.py": "raise NameError('cuda')\n",
            },
            NONE,
            id="tensorrt-import-error-pycuda-name-error",
        ),
    ],
)
def test_probe(tmp_path, files, expected):
    head, result = probe(tmp_path, files)
    assert result.pop("root_gpus") == result["gpus"]
    assert result == expected
    assert "Jetson stats" not in head


def test_probe_prints_nothing_without_optional_packages(tmp_path):
    code = PROBE + textwrap.dedent("""
        import contextlib, io
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            again = c.get_hardware_information()
        assert out.getvalue() == "", out.getvalue()
        assert again.number_of_gpus == 0 and again.trt_version is None
    """)
    proc = run_with_fakes(tmp_path, {}, code)
    assert proc.returncode == 0, proc.stderr


def test_jetson_board_prints_stats_and_counts_one_gpu(tmp_path):
    head, result = probe(tmp_path, {**jtop_pkg(), **GPUTIL_TWO})
    assert result == dict(NONE, gpus=1, present=True, jetson=True, root_gpus=1)
    stats = json.dumps(eval(STATS_EXPR, {"datetime": __import__("datetime")}), indent=4, sort_keys=True, default=str)
    # One print of the statistics, then the client's exit without an error.
    assert head.startswith("Jetson stats: " + stats + "\njtop exit None\n")


def test_jtop_error_inside_block_reaches_exit(tmp_path):
    head, _ = probe(tmp_path, {**jtop_pkg(stats="raise KeyError('stats')"), **GPUTIL_TWO})
    assert head.startswith("jtop exit KeyError\n")


@pytest.mark.parametrize(
    "tensorrt, error",
    [
        ("raise RuntimeError('CUDA initialization failure')\n", "RuntimeError: CUDA initialization failure"),
        ("VERSION = '8.6.1'\n", "AttributeError"),
    ],
)
def test_other_tensorrt_failures_fail_the_import(tmp_path, tensorrt, error):
    proc = run_with_fakes(tmp_path, {"tensorrt/__init__.py": tensorrt}, "import ostrel")
    assert proc.returncode != 0
    assert error in proc.stderr


def test_cpu_count_is_physical(tmp_path):
    code = textwrap.dedent("""
        import os, ostrel, ostrel.inference.config as c
        assert 1 <= c.NUM_OF_CPUS <= os.cpu_count() and ostrel.NUM_OF_CPUS == c.NUM_OF_CPUS
        assert c.cpu_count() == os.cpu_count()
        # The probe asks for physical cores at call time: 8 cores with 16 hardware threads give 8.
        before = c.NUM_OF_CPUS
        c.cpu_count = lambda logical=True: 16 if logical else 8
        assert c.get_hardware_information().number_of_cpus == 8
        assert c.NUM_OF_CPUS == before  # a new probe does not refresh the constants
    """)
    proc = run_with_fakes(tmp_path, {}, code)
    assert proc.returncode == 0, proc.stderr


@pytest.mark.parametrize("cuda", ["(11, 4, 0)", "[11, 4, 0]", "(11, 4, False)"])
def test_probe_record_equals_a_validated_one(tmp_path, cuda):
    # Whatever the probed packages answer, the record is the one validation makes of it.
    files = {"tensorrt/__init__.py": "__version__ = '8.6.1'\n", "pycuda/__init__.py": "",
             "pycuda/driver.py": f"def get_version():\n    return {cuda}\n"}
    code = textwrap.dedent("""
        import ostrel.inference.config as c
        r = c._config
        v = c.Config(**{k: getattr(r, k) for k in r.model_fields_set})
        print("RESULT", r == v, r.model_fields_set == v.model_fields_set, repr(r.cuda_version),
              [type(x).__name__ for x in r.cuda_version], c.CUDA_VERSION is r.cuda_version)
    """)
    proc = run_with_fakes(tmp_path, files, code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.rpartition("RESULT ")[2].split() == \
        ["True", "True", "(11,", "4,", "0)", "['int',", "'int',", "'int']", "True"]


@pytest.fixture
def config_module(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    import ostrel.inference.config as config

    return config


def test_config_record(config_module):
    Config = config_module.Config
    assert list(Config.model_fields) == [
        "number_of_cpus",
        "number_of_gpus",
        "running_on_jetson",
        "supported_tensorrt_cuda_versions",
        "trt_version",
        "cuda_version",
    ]
    assert Config().gpu_present is False
    assert Config(number_of_gpus=0).gpu_present is False
    assert Config(number_of_gpus=3).gpu_present is True
    assert Config(cuda_version=[11, 4, 0]).cuda_version == (11, 4, 0)
    with pytest.raises(Exception) as info:
        Config(number_of_gpus="many")
    assert type(info.value).__name__ == "ValidationError"


def test_supported_cuda_versions(config_module):
    supported = config_module.SUPPORTED_TENSORRT_CUDA_VERSIONS
    assert supported == {(11, minor, 0) for minor in range(1, 8)}
    assert (11, 4, 0) in supported
    for outside in [(11, 4, 1), (11, 0, 0), (11, 8, 0)]:
        assert outside not in supported
    assert config_module._config.supported_tensorrt_cuda_versions == supported
