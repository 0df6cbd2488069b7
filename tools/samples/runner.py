"""Builds and verifies samples in worker processes and keeps the output folder and its manifest current."""
from __future__ import annotations

import argparse
import fcntl
import os
import time
from pathlib import Path

from .core import RECIPE_VERSION, REPO_ROOT, Sample, SampleError, check_detection
from .manifest import (detection_recorded, is_current, load_manifest, manifest_entry, sha256_of,
                       write_manifest)
from .registry import VERIFIERS, all_samples

# --------------------------------------------------------------------------------------------------
# Worker entry (runs in a fresh process per sample, or in-process with --jobs 0).


def _worker_init(sample: Sample):
    import warnings

    # torch.package pickles storages through an API that torch itself marks as deprecated.
    warnings.filterwarnings("ignore", message="TypedStorage is deprecated")
    if sample.framework in ("pytorch", "torchscript"):
        import torch

        torch.set_num_threads(2)  # several workers run at once
    if sample.framework in ("tf2", "keras", "tflite"):
        os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
        import tensorflow as tf

        tf.config.threading.set_intra_op_parallelism_threads(2)
        tf.config.threading.set_inter_op_parallelism_threads(1)


def build_and_verify(sample: Sample, dest: str) -> dict:
    """Builds `sample` into `dest` and verifies it there; returns the facts for the manifest."""
    facts = sample.builder(sample, Path(dest)) or {}
    facts.update(verify_file(sample, dest))
    return facts


def verify_file(sample: Sample, path: str) -> dict:
    facts = VERIFIERS[sample.contract["loader"]](sample, Path(path))
    check_detection(sample, path)
    return facts


def verify_detection(sample: Sample, path: str) -> dict:
    check_detection(sample, path)
    return {}


TASKS = {"build": build_and_verify, "verify": verify_file, "detect": verify_detection}


def _in_worker(kind: str, sample: Sample, path: str):
    """Runs a task and turns any error into a one-line message (workers send back text only)."""
    try:
        return ("ok", TASKS[kind](sample, path))
    except SampleError as e:
        return ("error", f"contract not met: {e}")
    except Exception as e:  # noqa: BLE001 - every failure of a framework is reported per sample
        import traceback

        return ("error", f"{sample.path}: {type(e).__name__}: {e}\n{traceback.format_exc()}")


def _worker_task(kind: str, sample: Sample, path: str):
    if kind != "detect":  # the detection check needs no framework
        _worker_init(sample)
    return _in_worker(kind, sample, path)


# --------------------------------------------------------------------------------------------------
# Driver


def _run_tasks(tasks: list[tuple[str, Sample, str]], jobs: int, on_done) -> None:
    """Runs (kind, sample, path) tasks; calls on_done(kind, sample, path, status, payload, seconds)."""
    if jobs == 0:
        for kind, sample, path in tasks:
            t0 = time.monotonic()
            status, payload = _in_worker(kind, sample, path)
            on_done(kind, sample, path, status, payload, time.monotonic() - t0)
        return
    import concurrent.futures as cf
    import multiprocessing

    # A fixed hash seed in the workers (spawned with this environment): TorchScript's output depends on it.
    os.environ["PYTHONHASHSEED"] = "0"
    ctx = multiprocessing.get_context("spawn")
    workers = min(jobs, len(tasks))
    with cf.ProcessPoolExecutor(max_workers=workers, mp_context=ctx, max_tasks_per_child=1) as pool:
        started = {}
        for kind, sample, path in tasks:
            fut = pool.submit(_worker_task, kind, sample, path)
            started[fut] = (kind, sample, path, time.monotonic())
        for fut in cf.as_completed(started):
            kind, sample, path, t0 = started[fut]
            try:
                status, payload = fut.result()
            except Exception as e:  # a worker that died (crash, out of memory)
                status, payload = "error", f"{sample.path}: worker failed: {type(e).__name__}: {e}"
            on_done(kind, sample, path, status, payload, time.monotonic() - t0)


def _tmp_path_for(final: Path) -> Path:
    return final.with_name(f".{final.name}.tmp-{os.getpid()}")


def generate(out: Path, force: bool = False, verify: bool = False, jobs: int | None = None,
             log=print) -> int:
    """Brings `out` up to date. Returns the number of samples that failed (0: success)."""
    samples = all_samples()
    out.mkdir(parents=True, exist_ok=True)
    lock_fd = os.open(out, os.O_RDONLY)
    try:
        fcntl.flock(lock_fd, fcntl.LOCK_EX)
        return _generate_locked(out, samples, force, verify, jobs, log)
    finally:
        os.close(lock_fd)


def _generate_locked(out, samples, force, verify, jobs, log) -> int:
    manifest = load_manifest(out)
    old_entries = manifest.get("samples", {})
    owned = {e.get("path") for e in old_entries.values() if isinstance(e, dict)}
    if manifest.get("recipe_version") != RECIPE_VERSION:
        old_entries = {}

    entries = {s.name: old_entries.get(s.name) for s in samples}
    stale = [s for s in samples if force or not is_current(s, entries[s.name], out)]
    stale_names = {s.name for s in stale}

    foreign = [s.path for s in stale if (out / s.path).exists() and s.path not in owned]
    if foreign and not force:
        raise SystemExit(
            "samples: refusing to overwrite files that manifest.json of this folder does not list: "
            + ", ".join(foreign) + f" (in {out}); move them away or pass --force")
    for s in samples:
        if (out / s.path).is_dir():
            raise SystemExit(f"samples: {out / s.path} is a directory; a sample file belongs there")

    present = [s for s in samples if s.name not in stale_names]
    to_verify = [s for s in present if verify]
    # A present file whose entry records another detection (a manifest written before, a changed
    # declaration) is checked for its detection only; the file itself stays as it is.
    to_detect = [s for s in present if not verify and not detection_recorded(s, entries[s.name])]
    if not stale and not to_verify and not to_detect:
        current = {s.name: entries[s.name] for s in samples}
        write_manifest(out, current)  # drops entries of samples that no longer exist
        log(f"samples: {len(samples)} samples up to date in {out}")
        return 0

    failures: list[str] = []

    def on_done(kind, sample, path, status, payload, seconds):
        final = out / sample.path
        if status != "ok":
            failures.append(payload)
            log(f"FAILED  {sample.path}: {payload}")
            if kind == "build":
                Path(path).unlink(missing_ok=True)
            return
        if kind != "build":  # a check of a present sample: its entry takes what the check found
            old = entries[sample.name]
            entries[sample.name] = manifest_entry(sample, old["sha256"], old["size"],
                                                  {**old.get("facts", {}), **payload})
            write_manifest(out, {k: v for k, v in entries.items() if v})
            log(f"ok      {sample.path} ({seconds:.1f} s)")
            return
        tmp = Path(path)
        entry = manifest_entry(sample, sha256_of(tmp), tmp.stat().st_size, payload)
        # The manifest claims the path before the file moves in, so an interrupted run leaves a path that
        # the next run recognises as ours (and as stale, when the move did not happen).
        entries[sample.name] = entry
        write_manifest(out, {k: v for k, v in entries.items() if v})
        os.replace(tmp, final)
        log(f"built   {sample.path} ({entry['size']} bytes, {seconds:.1f} s)")

    tasks = []
    for s in stale:
        final = out / s.path
        final.parent.mkdir(parents=True, exist_ok=True)
        tasks.append(("build", s, str(_tmp_path_for(final))))
    tasks += [("verify", s, str(out / s.path)) for s in to_verify]
    tasks += [("detect", s, str(out / s.path)) for s in to_detect]
    if jobs is None:
        jobs = max(1, min(len(os.sched_getaffinity(0)), 8))
    log(f"samples: building {len(stale)}, verifying {len(to_verify)} and checking the detection of "
        f"{len(to_detect)} of {len(samples)} samples in {out}")
    try:
        _run_tasks(tasks, jobs, on_done)
    finally:
        for kind, s, path in tasks:
            if kind == "build":
                Path(path).unlink(missing_ok=True)
        write_manifest(out, {k: v for k, v in entries.items() if v})
    if failures:
        log(f"samples: {len(failures)} sample(s) failed; see above")
    return len(failures)


def default_out() -> Path:
    env = os.environ.get("OSTREL_SAMPLES_DIR")
    return Path(env) if env else REPO_ROOT / ".samples"


def _signature(t) -> str:
    """A contract tensor as text: a mapping, or a [name, shape, dtype] list (engine bindings)."""
    name, shape, dtype = (t["name"], t["shape"], t["dtype"]) if isinstance(t, dict) else t
    return f"{name}:{dtype}{shape}"


def print_list(log=print) -> None:
    for s in all_samples():
        c = s.contract
        if c.get("loadable") is False:
            sig = "unloadable"
        elif "inputs" not in c:
            sig = f"{c.get('form', 'file')} only"
        elif c.get("object") == "dict":
            sig = f"{c['package']}/{c['resource']} holds a dict, not a module"
        else:
            ins = ", ".join(_signature(t) for t in c["inputs"]) or "no inputs"
            sig = f"{ins} -> {len(c.get('outputs', []))} output(s), batch {c.get('batch', '-')}"
        log(f"{s.path:72s} {s.framework:12s} detect={s.detected_as or '-':12s} {sig}")


def main(argv: list[str] | None = None) -> int:
    from . import __doc__ as package_doc

    ap = argparse.ArgumentParser(prog="python -m tools.samples", description=package_doc.splitlines()[0])
    ap.add_argument("--out", type=Path, default=None,
                    help="output folder (default: $OSTREL_SAMPLES_DIR, else .samples in the checkout)")
    ap.add_argument("--force", action="store_true",
                    help="rebuild every sample, also over files that the manifest does not list")
    ap.add_argument("--verify", action="store_true", help="also re-verify the samples that are up to date")
    ap.add_argument("--jobs", type=int, default=None, help="worker processes (0: build in this process)")
    ap.add_argument("--list", action="store_true", help="print the samples and their contracts only")
    args = ap.parse_args(argv)
    if args.list:
        print_list()
        return 0
    out = (args.out or default_out()).resolve()
    if out.exists() and not out.is_dir():
        ap.error(f"{out} exists and is not a directory")
    if args.jobs is not None and args.jobs < 0:
        ap.error("--jobs must be 0 or more")
    return 1 if generate(out, force=args.force, verify=args.verify, jobs=args.jobs) else 0
