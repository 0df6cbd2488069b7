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
    return 0


if __name__ == "__main__":
    sys.exit(main())
