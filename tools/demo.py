"""The main job on the generated samples: load (framework detected), predict, benchmark, legend."""
import os
import sys

import numpy as np

import ostrel
from ostrel.inference import config

SAMPLES = os.environ.get("OSTREL_SAMPLES_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".samples"))


def main():
    print(f"ostrel {ostrel.__version__}")
    for name in ("NUM_OF_CPUS", "NUM_OF_GPUS", "GPU_PRESENT", "RUNNING_ON_JETSON", "TRT_VERSION", "CUDA_VERSION"):
        print(f"  {name} = {getattr(config, name)!r}")

    path = os.path.join(SAMPLES, "return_model_input.onnx")
    model = ostrel.load(path)
    x = np.random.rand(2, 3, 224, 224).astype(np.float32)
    (y,) = model.predict(x)
    print(f"predict: input {x.shape} -> output {y.shape}, identical: {np.array_equal(x, y)}")
    record = model.benchmark(batch_size=8, duration_sec=float(os.environ.get("DEMO_SECONDS", "3")), warmup_calls=10)
    print(record)
    print(model.legend)

    decoder = os.path.join(SAMPLES, "models_for_platform_testing", "segmentation_models", "onnx", "decoder.onnx")
    model = ostrel.load(decoder, framework_type="onnx", profiling=True)
    print(model.benchmark(batch_size=1, repetitions=20, warmup_calls=2))
    print("slowest layers of the decoder:")
    print(model.get_bottlenecks(num_layers=5).to_string(index=False))

    model = ostrel.load(os.path.join(SAMPLES, "mobilenet_v2.pth"), input_dims=[(3, 224, 224)])
    print(model.benchmark(batch_size=4, repetitions=10, warmup_calls=2))

    # TensorFlow 2: a SavedModel archive (unpacked into a folder of its own, removed with the model).
    model = ostrel.load(os.path.join(SAMPLES, "mobilenet_v2.zip"), framework_type="tf2")
    (y,) = model.predict(np.random.rand(2, 224, 224, 3).astype(np.float32))
    print(f"SavedModel predict: output {y.shape}")
    print(model.benchmark(batch_size=2, repetitions=20, warmup_calls=2))
    del model

    model = ostrel.load(os.path.join(SAMPLES, "mobilenet_v2_1.0_224.tflite"), framework_type="tflite")
    (y,) = model.predict(np.random.rand(1, 224, 224, 3).astype(np.float32))
    print(f"TFLite predict: output {y.shape}")
    print(model.benchmark(batch_size=1, repetitions=50, warmup_calls=5))

    model = ostrel.load(os.path.join(SAMPLES, "resnet50_batchsize_1_mac_i5_openvino.pkl"), framework_type="openvino")
    (y,) = model.predict(np.random.rand(1, 3, 224, 224).astype(np.float32))
    print(f"openvino predict: output {y.shape}")
    print(model.benchmark(batch_size=1, repetitions=20, warmup_calls=2))

    tool_sweep()
    return 0


def tool_sweep():
    """The benchmark tool over a folder of samples (one child per model and batch size), then a plot."""
    import json
    import subprocess

    out = os.path.abspath("tool")
    models = os.path.join(out, "models")
    os.makedirs(models, exist_ok=True)
    picks = {"return_model_input.onnx": ("return_model_input.onnx", {"framework": "onnx"}),
             "two_inputs_tuple.pth": (os.path.join("torch", "two_inputs_tuple.pth"),
                                      {"framework": "torchscript", "input_dims": [[3, 32, 32], [10]]})}
    for name, (rel, _) in picks.items():
        link = os.path.join(models, name)
        if not os.path.lexists(link):
            os.symlink(os.path.join(os.path.abspath(SAMPLES), rel), link)
    metadata = os.path.join(out, "models.json")
    with open(metadata, "w") as f:
        json.dump({name: meta for name, (_, meta) in picks.items()}, f)
    log, csv = os.path.join(out, "benchmark_log.txt"), os.path.join(out, "results.csv")
    for stale in (log, csv):  # this demo's own outputs of an earlier run
        if os.path.exists(stale):
            os.remove(stale)
    tool = [sys.executable, "-m", "tests.ostrel_tool.main"]
    subprocess.run(tool + ["benchmark", "-d", models, "--metadata_file", metadata, "--batch_sizes", "1", "2",
                           "--repetitions", "5", "-o", log, "--csv_path", csv], check=True)
    subprocess.run(tool + ["plot", "--csv_path", csv, "--x_axis", "Batch Size", "--y_axes", "Batch Inf Time",
                           "Throughput", "--output_path", os.path.join(out, "sweep")], check=True)
    print(f"tool sweep: results in {csv}, log in {log}, plots:")
    for name in sorted(os.listdir(out)):
        if name.endswith(".html"):
            print(f"  {os.path.join(out, name)}")


if __name__ == "__main__":
    sys.exit(main())
