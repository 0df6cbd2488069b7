"""Writes every sample model that the tests, checks, benchmarks and the demo use, plus manifest.json.

    python -m tools.samples [--out DIR] [--force] [--verify] [--jobs N] [--list]   (in the checkout)

The output folder (default: $OSTREL_SAMPLES_DIR, else .samples/ in the checkout) mirrors the object
keys under which the verification package fetches its samples, so a file:// base URL over it serves
them: e.g. DIR/return_model_input.onnx, DIR/resnet18.pt, DIR/mobilenet_v2.pth and
DIR/models_for_platform_testing/segmentation_models/onnx/decoder.onnx. Samples that only our own tests
use live under DIR/onnx/, DIR/torch/ and the like.

Everything is made locally by the frameworks themselves (our own small architectures, random weights
from fixed seeds); nothing is downloaded. Each sample is built in a fresh worker process (TorchScript
numbering depends on what the process compiled before, and the hash seed is fixed for the workers), so
a sample's bytes do not depend on which other samples are built in the same run. After building, the
worker loads the file with its framework and checks the sample's declared contract (input and output
names, shapes, element types, static or dynamic batch, profiled layer count) and what framework
detection finds in it: the marker table alone, and the built package's FrameworkDetector, which also
recognises files by their structure. A sample that fails is not moved into place and the run exits
non-zero.

Caching: manifest.json records for each sample its sha256, a digest of its recipe (recipe version,
path, framework, contract, builder, the marker table's answer) and what detection answers
("detected_as", with "detected_by": "markers" or "structure"). A run in which every sample is present
with the recorded hash, an unchanged recipe digest and the declared detection does nothing and imports
no framework. Otherwise only the missing or stale samples are rebuilt; a present sample whose entry
records another detection is only checked for it. A file at a sample's path that the manifest does not
list is not ours: the run refuses to overwrite it unless --force is given.

Layout: core (the Sample record, detection, shared checks), one module per framework (onnx_samples,
torch_samples, tensorrt_samples, tf_samples, coreml_samples, openvino_samples), images and
conformance (samples of the package's own checks), registry (the sets in manifest order and the
verifier of each contract loader), manifest, runner (workers, driver, command line).

Adding a framework: write a module whose samples() returns its Sample list (each naming its builder
function), with a VERIFIERS mapping for its contract loader, and add both to registry.

Every module imports only the standard library at the top; the frameworks are imported in the workers.
"""
