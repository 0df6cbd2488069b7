"""tests.test_utils.coco_utils: sample loading and pre-processing, the class table and the drawing."""
import textwrap

import cv2
import numpy as np
import pytest
import torch
from PIL import Image

from tests.test_utils import coco_utils
from tests.test_utils.coco_utils import (COCO_DETECTION_CLASSES_DICT, Annotator, Colors, load_random_example_image,
                                         plot_images, pre_process_image, sample_loader, sample_post_process,
                                         sample_transform)

NEEDED = ["examples_utils/example_images/scene_square.JPEG"]

# ---- loading and pre-processing ------------------------------------------------------------------------


def test_class_table():
    assert list(COCO_DETECTION_CLASSES_DICT) == list(range(80))
    expected = {0: "person", 3: "motorcycle", 4: "airplane", 15: "cat", 16: "dog", 57: "couch",
                58: "potted plant", 60: "dining table", 62: "tv", 78: "hair drier", 79: "toothbrush"}
    assert {k: COCO_DETECTION_CLASSES_DICT[k] for k in expected} == expected


@pytest.mark.parametrize("shape, interpolation", [((400, 200), cv2.INTER_AREA), ((200, 100), cv2.INTER_LINEAR),
                                                  ((320, 100), cv2.INTER_LINEAR)])
def test_sample_transform_resizes_both_sides(monkeypatch, shape, interpolation):
    used = []

    class SpyCv2:
        INTER_AREA, INTER_LINEAR = cv2.INTER_AREA, cv2.INTER_LINEAR

        @staticmethod
        def resize(image, size, interpolation):
            used.append(interpolation)
            return cv2.resize(image, size, interpolation=interpolation)

    monkeypatch.setattr(coco_utils, "cv2", SpyCv2)
    out = sample_transform(np.zeros((*shape, 3), np.uint8), 320)
    assert out.shape == (320, 320, 3) and used == [interpolation]


def test_preprocessing_layout_and_values():
    image = np.zeros((320, 320, 3), np.uint8)
    image[5, 7] = (0, 128, 255)  # blue, green, red
    assert sample_transform(image, 320) is image
    batch = pre_process_image(image, 320, batch_size=3, image_size=12345)
    assert batch.shape == (3, 3, 320, 320) and batch.dtype == np.float32 and batch.flags.c_contiguous
    assert batch[0, :, 5, 7].tolist() == [1.0, np.float32(128 / 255), 0.0]
    assert (batch[0] == batch[1]).all() and (batch[1] == batch[2]).all()
    assert image[5, 7].tolist() == [0, 128, 255]
    with pytest.raises(ZeroDivisionError):
        sample_transform(np.zeros((0, 5, 3), np.uint8), 320)
    with pytest.raises(Exception):
        sample_post_process(np.zeros((4, 4), np.uint8))


def test_sample_loader(tmp_path, capsys):
    assert sample_loader(None) is None
    missing = str(tmp_path / "missing.jpg")
    assert sample_loader(missing) is None
    assert capsys.readouterr().out == f"Image Not Found: {missing}\n"
    path = tmp_path / "ok.png"
    cv2.imwrite(str(path), np.full((4, 6, 3), 9, np.uint8))
    assert sample_loader(str(path)).shape == (4, 6, 3)


def test_load_random_example_image(tmp_path, capsys):
    Image.new("RGB", (4, 4)).save(tmp_path / "a.jpg")
    Image.new("L", (5, 3)).save(tmp_path / "b.JPEG", format="JPEG")
    folder = f"{tmp_path}/"
    for _ in range(3):
        image, path = load_random_example_image(folder)
        assert path == folder + "b.JPEG" and image.mode == "RGB" and image.size == (5, 3)
    assert capsys.readouterr().out == "'b.JPEG' is prepared for inference\n" * 3
    with pytest.raises(IndexError):
        load_random_example_image(folder, "png")


def test_generated_example_photos_load(capsys, samples):
    folder = str(samples / "examples_utils" / "example_images") + "/"
    image, path = load_random_example_image(folder)
    assert pre_process_image(sample_loader(path), 320).shape == (1, 3, 320, 320)


def test_rank_is_read_at_import(run_python):
    r = run_python("from tests.test_utils import coco_utils; print(coco_utils.RANK)", env={"RANK": "3"})
    assert r.stdout.strip().endswith("3")
    r = run_python("import tests.test_utils.coco_utils", env={"RANK": "x"}, check=False)
    assert r.returncode != 0 and "ValueError" in r.stderr


# ---- fonts ---------------------------------------------------------------------------------------------


def test_import_without_network_or_fonts_warns_once(run_python, tmp_path):
    code = textwrap.dedent("""
        import socket, warnings
        def refuse(*a, **k):
            raise AssertionError("network used")
        socket.socket.connect = refuse
        socket.create_connection = refuse
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            from tests.test_utils import coco_utils
            font = coco_utils.check_font("NoSuchFont.ttf", 14)
            coco_utils.Annotator(__import__("numpy").zeros((50, 50, 3), "uint8"), pil=True)
        print(sum("built-in font" in str(w.message) for w in caught), font.getbbox("Ab")[3] > 0)
    """)
    empty = tmp_path / "no-fonts"
    empty.mkdir()
    r = run_python(code, env={"XDG_DATA_DIRS": str(empty), "OSTREL_FONT": "", "RANK": "-1"})
    assert r.stdout.split()[-2:] == ["1", "True"]


def test_font_from_the_environment(run_python, tmp_path):
    import glob

    fonts = glob.glob("/usr/share/fonts/**/*.ttf", recursive=True)
    if not fonts:
        pytest.skip("no TrueType font on this machine")
    empty = tmp_path / "no-fonts"
    empty.mkdir()
    code = "from tests.test_utils.coco_utils import check_font; print(check_font('NoSuch.ttf', 13).path)"
    r = run_python(code, env={"XDG_DATA_DIRS": str(empty), "OSTREL_FONT": fonts[0]})
    assert r.stdout.split()[-1] == fonts[0]


# ---- palette and annotator -----------------------------------------------------------------------------


@pytest.mark.parametrize("i, bgr, colour", [(0, False, (255, 56, 56)), (19, False, (255, 55, 199)),
                                            (20, False, (255, 56, 56)), (-1, False, (255, 55, 199)),
                                            (0, True, (56, 56, 255)), (11.7, False, (0, 194, 255))])
def test_colors(i, bgr, colour):
    assert Colors()(i, bgr) == colour


def test_palette():
    colors = Colors()
    assert colors.n == 20 and Colors.hex2rgb("#00C2FF") == (0, 194, 255) and colors.palette[15] == (132, 56, 255)


def test_annotator_sizes_and_contiguity():
    assert Annotator(np.zeros((640, 640, 3), np.uint8)).lw == 2
    assert Annotator(np.zeros((1920, 1920, 3), np.uint8)).lw == 6
    assert Annotator(np.zeros((640, 640, 3), np.uint8), line_width=5).lw == 5
    assert Annotator(np.zeros((640, 640, 3), np.uint8), pil=True).font.size == 22
    assert Annotator(np.zeros((200, 200, 3), np.uint8), pil=True).font.size == 12
    assert Annotator(np.zeros((200, 200, 3), np.uint8), font_size=30, pil=True).font.size == 30
    with pytest.raises(AssertionError, match=r"^Image not contiguous\. Apply np\.ascontiguousarray"):
        Annotator(np.zeros((20, 20, 3), np.uint8)[:, ::2])


def colour_mask(image, colour):
    return (np.asarray(image)[..., :3] == colour).all(-1)


@pytest.mark.parametrize("pil", [True, False])
def test_label_plate_above_the_box_or_inside_it(pil):
    colour = (255, 56, 56) if pil else (56, 56, 255)
    for top, plate_above in ((60, True), (2, False)):
        image = np.zeros((100, 100, 3), np.uint8)
        a = Annotator(image, line_width=1, pil=pil)
        a.box_label([20, top, 80, top + 30], "cat", color=colour)
        drawn = colour_mask(a.result(), colour)
        assert drawn[: top - 1].any() == plate_above
        assert drawn[top + 3: top + 10, 22:30].any() == (not plate_above)
        assert (a.result() is image) == (not pil)


def test_empty_label_draws_only_the_outline():
    a = Annotator(np.zeros((100, 100, 3), np.uint8), line_width=1, pil=True)
    a.box_label([20, 60, 80, 90], "", color=(0, 255, 0))
    drawn = colour_mask(a.result(), (0, 255, 0))
    assert drawn[60, 20:81].all() and not drawn[:59].any() and not drawn[62:89, 22:79].any()


def test_pillow_only_operations_refuse_opencv_mode():
    a = Annotator(np.zeros((10, 10, 3), np.uint8))
    with pytest.raises(TypeError, match="pil=True"):
        a.rectangle([0, 0, 5, 5])
    with pytest.raises(TypeError, match="pil=True"):
        a.text((0, 5), "x")


# ---- mosaic --------------------------------------------------------------------------------------------


def test_plot_images_leaves_inputs_alone_and_draws_every_cell(tmp_path, capsys):
    images = torch.zeros(5, 3, 64, 64)
    images[:, 1] = 0.5
    targets = np.array([[0.25, 0.25, 0.75, 0.75, 0.9, 0]], np.float32)  # normalised label row
    image_copy, targets_copy = images.clone(), targets.copy()
    fname = tmp_path / "mosaic.png"
    drawn, labels = plot_images(images, targets, names=COCO_DETECTION_CLASSES_DICT, fname=str(fname),
                                max_subplots=4)
    assert torch.equal(images, image_copy) and np.array_equal(targets, targets_copy)
    assert labels == {"person"} and capsys.readouterr().out == "label: person\n" * 4
    assert drawn.size == (128, 128) and Image.open(fname).size == (128, 128)
    pixels = np.asarray(drawn)
    for x, y in ((0, 0), (0, 64), (64, 0), (64, 64)):  # cells fill the first column first
        assert tuple(pixels[y + 32, x + 16]) == (255, 56, 56), (x, y)
        assert tuple(pixels[y + 5, x + 5]) == (0, 127, 0)  # 0.5 x 255, truncated


def test_plot_images_confidence_rows_and_shrinking(tmp_path, capsys):
    images = np.full((1, 3, 224, 224), 0.2, np.float32)
    # Rows other than 6 wide: the confidence is column 6, the class the last column.
    rows = np.array([[10, 10, 100, 100, 0, 0, 0.9], [20, 20, 50, 50, 0, 0, 0.5], [30, 30, 60, 60, 0, 0, 0.25]],
                    np.float32)
    _, labels = plot_images(images, rows, fname=str(tmp_path / "a.jpg"), names=COCO_DETECTION_CLASSES_DICT)
    assert labels == {"person 0.9", "person 0.5"}
    assert capsys.readouterr().out == "label: person 0.9\nlabel: person 0.5\n"
    assert images.max() == np.float32(0.2)
    label_rows = np.array([[10, 10, 100, 100, 0.9, 15], [20, 20, 50, 50, 0.1, 3]], np.float32)
    _, labels = plot_images(images, label_rows, fname=str(tmp_path / "b.jpg"), print_label=False)
    assert labels == {"15", "3"} and capsys.readouterr().out == ""
    drawn, labels = plot_images(torch.rand(1, 3, 400, 400), torch.zeros(0, 6), fname=str(tmp_path / "c.jpg"),
                                max_size=200, paths=["/data/" + "x" * 60 + ".jpg"])
    assert drawn.size == (200, 200) and labels == set()
    drawn, labels = plot_images(torch.rand(1, 3, 40, 40), None, fname=str(tmp_path / "d.jpg"))
    assert labels == set()
