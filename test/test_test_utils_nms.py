"""tests.test_utils.coco_utils: box conversion, IoU and the native non-maximum suppression against a plain
reference implementation of the same greedy algorithm."""
import importlib.util
import math

import pytest
import torch

from tests.test_utils.coco_utils import box_iou, convert_xywh_bbox_to_xyxy, non_max_suppression

# ---- plain reference ----------------------------------------------------------------------------------


def ref_iou_matrix(a, b):
    area_a = (a[:, 2] - a[:, 0]) * (a[:, 3] - a[:, 1])
    area_b = (b[:, 2] - b[:, 0]) * (b[:, 3] - b[:, 1])
    w = (torch.min(a[:, None, 2], b[:, 2]) - torch.max(a[:, None, 0], b[:, 0])).clamp(min=0)
    h = (torch.min(a[:, None, 3], b[:, 3]) - torch.max(a[:, None, 1], b[:, 1])).clamp(min=0)
    inter = w * h
    return inter / (area_a[:, None] + area_b - inter)


def ref_greedy(boxes, scores, iou_thres):
    """Greedy suppression: by decreasing score (ties: lower index first), drop boxes with IoU > threshold."""
    order = sorted(range(len(scores)), key=lambda i: -float(scores[i]))
    iou = ref_iou_matrix(boxes, boxes).double()
    removed = torch.zeros(len(scores), dtype=torch.bool)
    keep = []
    for i in order:
        if removed[i]:
            continue
        keep.append(i)
        removed |= iou[i] > iou_thres
    return torch.tensor(keep, dtype=torch.int64)


def ref_nms(prediction, conf_thres=0.25, iou_thres=0.6, merge=False, classes=None, agnostic=False, nms=ref_greedy):
    nc = prediction[0].shape[1] - 5
    xc = prediction[..., 4] > conf_thres
    output = [None] * prediction.shape[0]
    for xi, x in enumerate(prediction):
        x = x[xc[xi]].clone()
        if not x.shape[0]:
            continue
        x[:, 5:] *= x[:, 4:5]
        box = torch.zeros_like(x[:, :4])
        box[:, 0] = x[:, 0] - x[:, 2] / 2
        box[:, 1] = x[:, 1] - x[:, 3] / 2
        box[:, 2] = x[:, 0] + x[:, 2] / 2
        box[:, 3] = x[:, 1] + x[:, 3] / 2
        if nc > 1:
            i, j = (x[:, 5:] > conf_thres).nonzero(as_tuple=False).T
            x = torch.cat((box[i], x[i, j + 5, None], j[:, None].float()), 1)
        else:
            conf, j = x[:, 5:].max(1, keepdim=True)
            x = torch.cat((box, conf, j.float()), 1)[conf.view(-1) > conf_thres]
        if classes:
            x = x[(x[:, 5:6] == torch.tensor(classes)).any(1)]
        n = x.shape[0]
        if not n:
            continue
        c = x[:, 5:6] * (0 if agnostic else 4096)
        boxes, scores = x[:, :4] + c, x[:, 4]
        i = nms(boxes, scores, iou_thres)[:300]
        if merge and 1 < n < 3000:
            iou = ref_iou_matrix(boxes[i], boxes) > iou_thres
            weights = iou * scores[None]
            x[i, :4] = torch.mm(weights.double(), x[:, :4].double()).float() / weights.sum(1, keepdim=True)
            i = i[iou.sum(1) > 1]
        output[xi] = x[i]
    return output


def realistic_prediction(seed, batch=1, candidates=6300, classes=80):
    """Mostly weak candidates, clustered boxes around a few objects, one dominant class per candidate."""
    g = torch.Generator().manual_seed(seed)
    pred = torch.zeros(batch, candidates, 5 + classes)
    centres = torch.rand(batch, 12, 2, generator=g) * 600 + 20
    pick = torch.randint(0, 12, (batch, candidates), generator=g)
    pred[..., 0:2] = torch.gather(centres, 1, pick[..., None].expand(-1, -1, 2)) + torch.randn(
        batch, candidates, 2, generator=g) * 8
    pred[..., 2:4] = 40 + torch.rand(batch, candidates, 2, generator=g) * 60
    pred[..., 4] = torch.rand(batch, candidates, generator=g) ** 4
    pred[..., 5:] = torch.rand(batch, candidates, classes, generator=g) * 0.2
    dominant = torch.randint(0, max(classes, 1), (batch, candidates), generator=g)
    if classes:
        pred[..., 5:].scatter_(2, dominant[..., None], 0.6 + 0.4 * torch.rand(batch, candidates, 1, generator=g))
    return pred


def assert_same(got, want, exact=True):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if w is None:
            assert g is None
            continue
        assert g is not None and g.shape == w.shape and g.dtype == w.dtype
        if exact:
            assert torch.equal(g, w)
        else:
            torch.testing.assert_close(g, w, rtol=1e-5, atol=1e-4)


# ---- against the reference ------------------------------------------------------------------------------


@pytest.mark.parametrize("merge", [False, True])
@pytest.mark.parametrize("agnostic", [False, True])
def test_realistic_6300_candidates_match_the_reference(merge, agnostic):
    pred = realistic_prediction(1)
    got = non_max_suppression(pred, merge=merge, agnostic=agnostic)
    want = ref_nms(pred, merge=merge, agnostic=agnostic)
    assert want[0] is not None and 10 < want[0].shape[0] <= 300
    # Same rows in the same order; merged corners are weighted sums, whose float order may differ.
    assert_same(got, want, exact=not merge)
    if merge:
        assert torch.equal(got[0][:, 4:], want[0][:, 4:])


@pytest.mark.parametrize("seed", range(6))
def test_random_inputs_with_ties_classes_and_batches(seed):
    g = torch.Generator().manual_seed(seed)
    classes = [1, 3, 0][seed % 3]
    pred = torch.rand(3, 200, 5 + classes, generator=g)
    pred[..., :2] *= 100
    pred[..., 2:4] = pred[..., 2:4] * 40 + 1
    # Quantised scores and coordinates give many exact ties of scores and of IoU values.
    pred[..., 4:] = (pred[..., 4:] * 8).round() / 8
    pred[..., :4] = pred[..., :4].round()
    pred[1, :, 4] = 0.1  # an image without candidates
    for kwargs in ({}, {"agnostic": True}, {"merge": True}, {"classes": [0]}, {"conf_thres": 0.5, "iou_thres": 0.3}):
        if classes == 0:
            with pytest.raises((ValueError, IndexError, RuntimeError)):
                non_max_suppression(pred, **kwargs)
            continue
        got = non_max_suppression(pred, **kwargs)
        assert got[1] is None
        assert_same(got, ref_nms(pred, **kwargs), exact="merge" not in kwargs)


@pytest.mark.skipif(importlib.util.find_spec("torchvision") is None, reason="torchvision not installed")
def test_same_kept_boxes_as_torchvision():
    import torchvision

    pred = realistic_prediction(2, batch=2)
    got = non_max_suppression(pred)
    want = ref_nms(pred, nms=torchvision.ops.nms)
    for g, w in zip(got, want):
        assert torch.equal(g, w)


# ---- edge cases --------------------------------------------------------------------------------------


def row(cx, cy, w, h, obj, *cls):
    return [cx, cy, w, h, obj, *cls]


def test_thresholds_are_strict_and_empty_inputs():
    at_threshold = torch.tensor([[row(10, 10, 4, 4, 0.25, 1.0, 0.0)]])
    assert non_max_suppression(at_threshold) == [None]
    combined_at_threshold = torch.tensor([[row(10, 10, 4, 4, 0.5, 0.5, 0.0)]])
    assert non_max_suppression(combined_at_threshold) == [None]
    assert non_max_suppression(torch.zeros(2, 0, 85)) == [None, None]
    assert non_max_suppression(torch.zeros(0, 10, 85)) == []
    with pytest.raises(ValueError, match="prediction"):
        non_max_suppression(torch.zeros(10, 85))


def test_multi_label_and_single_class_rows():
    (out,) = non_max_suppression(torch.tensor([[row(10, 20, 4, 6, 1.0, 0.9, 0.1, 0.5)]]))
    assert out.tolist() == [[8, 17, 12, 23, pytest.approx(0.9), 0], [8, 17, 12, 23, 0.5, 2]]
    (out,) = non_max_suppression(torch.tensor([[row(10, 20, 4, 6, 0.8, 0.5)]]))
    assert out.tolist() == [[8, 17, 12, 23, pytest.approx(0.4), 0]]


def test_class_offset_agnostic_and_class_filter():
    pred = torch.tensor([[row(10, 10, 4, 4, 1.0, 0.9, 0.0), row(10, 10, 4, 4, 1.0, 0.0, 0.8)]])
    assert non_max_suppression(pred)[0][:, 5].tolist() == [0, 1]
    assert non_max_suppression(pred, agnostic=True)[0][:, 5].tolist() == [0]
    assert non_max_suppression(pred, classes=[1])[0][:, 5].tolist() == [1]
    assert non_max_suppression(pred, classes=[5]) == [None]
    assert non_max_suppression(pred, classes=[])[0].shape == (2, 6)


def test_at_most_300_detections():
    pred = torch.zeros(1, 400, 6)
    pred[0, :, 0] = torch.arange(400) % 20 * 10
    pred[0, :, 1] = torch.arange(400) // 20 * 10
    pred[0, :, 2:4] = 4
    pred[0, :, 4] = 1
    pred[0, :, 5] = torch.linspace(0.5, 0.9, 400)
    (out,) = non_max_suppression(pred)
    assert out.shape == (300, 6)
    assert torch.all(out[:-1, 4] >= out[1:, 4])


def test_merge_weighted_mean_and_redundancy_rule():
    pred = torch.tensor([[row(5, 5, 10, 10, 1.0, 0.75), row(6, 5, 10, 10, 1.0, 0.25 + 1 / 64),
                          row(100, 100, 10, 10, 1.0, 0.9)]])
    (out,) = non_max_suppression(pred, merge=True, iou_thres=0.5)
    w0, w1 = 0.75, 0.25 + 1 / 64
    assert out.shape == (1, 6)
    assert out[0, :4].tolist() == pytest.approx([w1 / (w0 + w1), 0, (10 * w0 + 11 * w1) / (w0 + w1), 10])
    (isolated,) = non_max_suppression(pred[:, [0, 2]], merge=True)
    assert isolated.shape == (0, 6)
    (single,) = non_max_suppression(pred[:, [2]], merge=True)
    assert single.shape == (1, 6)


def test_results_keep_the_prediction_dtype_and_leave_it_unchanged():
    pred = realistic_prediction(3, candidates=300, classes=3).double()
    before = pred.clone()
    (out,) = non_max_suppression(pred)
    assert out.dtype == torch.float64 and torch.equal(pred, before)
    assert_same([out], ref_nms(pred))


# ---- box utilities -------------------------------------------------------------------------------------


def test_convert_xywh_to_xyxy():
    two_d = convert_xywh_bbox_to_xyxy(torch.tensor([[10.0, 20, 4, 6, 99]]))
    assert two_d.tolist() == [[8, 17, 12, 23, 0]]
    three_d = convert_xywh_bbox_to_xyxy(torch.tensor([[[10.0, 20, 4, 6]], [[0, 0, 2, 2]]], dtype=torch.float64))
    assert three_d.shape == (2, 1, 4) and three_d.dtype == torch.float64
    assert three_d[1, 0].tolist() == [-1, -1, 1, 1]


def test_box_iou():
    a = torch.tensor([[0.0, 0, 2, 2]])
    iou = box_iou(a, torch.tensor([[0.0, 0, 2, 2], [2, 0, 4, 2], [1, 1, 3, 3]]))
    assert iou.tolist() == [[1.0, 0.0, pytest.approx(1 / 7)]]
    point = torch.tensor([[1.0, 1, 1, 1]])
    assert math.isnan(box_iou(point, point).item())


def test_many_kept_boxes_give_the_first_300_of_the_whole_run():
    # Small boxes spread thin: the whole greedy run keeps most of them, the result is its first 300.
    g = torch.Generator().manual_seed(5)
    pred = torch.empty(1, 2000, 6)
    pred[..., 0:2] = torch.rand(1, 2000, 2, generator=g) * 640
    pred[..., 2:4] = torch.rand(1, 2000, 2, generator=g) * 40
    pred[..., 4] = torch.rand(1, 2000, generator=g)
    pred[..., 5] = (torch.rand(1, 2000, generator=g) * 8).round() / 8  # many equal scores
    kept = []

    def counted(boxes, scores, iou_thres):
        i = ref_greedy(boxes, scores, iou_thres)
        kept.append(len(i))
        return i

    assert_same(non_max_suppression(pred), ref_nms(pred, nms=counted))
    assert len(kept) == 1 and kept[0] > 600  # the whole run keeps most of them


INTERRUPTED_RUN = """
import sys, torch
from tests.test_utils.coco_utils import non_max_suppression
# 80 classes, every class score above the threshold, all boxes alike: eight million rows to examine,
# of which 80 are kept, so the detection limit is never reached (several seconds of work).
pred = torch.empty(1, 100_000, 85)
pred[..., 0:2], pred[..., 2:4], pred[..., 4] = 320.0, 600.0, 0.95
pred[..., 5:] = 0.5 + 0.5 * torch.rand(1, 100_000, 80)
print("ready", flush=True)
try:
    non_max_suppression(pred)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(0)
print("finished", flush=True)
"""


def test_ctrl_c_stops_a_long_suppression(tmp_path):
    import os
    import signal
    import subprocess
    import sys
    import time

    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED_RUN], stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, HOME=str(tmp_path)))
    try:
        assert proc.stdout.readline() == "ready\n"
        time.sleep(0.5)  # well into the suppression
        sent = time.perf_counter()
        proc.send_signal(signal.SIGINT)
        assert proc.stdout.readline() == "interrupted\n"
        assert time.perf_counter() - sent < 0.5
    finally:
        proc.kill()
        proc.wait()


def test_the_interpreter_runs_on_while_the_kernel_works():
    import threading
    import time

    pred = realistic_prediction(4, candidates=25200)
    done = threading.Event()
    results = []

    def work():
        results.append(non_max_suppression(pred, conf_thres=0.17))  # about a quarter of a second
        done.set()

    thread = threading.Thread(target=work)
    start = last = time.perf_counter()
    thread.start()
    longest = 0.0
    while not done.is_set():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    thread.join()
    total = time.perf_counter() - start
    assert results[0][0].shape == (300, 6)
    # With the lock held for the whole suppression, this thread would stall for about all of it.
    assert longest < total / 2, (longest, total)
