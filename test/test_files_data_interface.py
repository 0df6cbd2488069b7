"""ostrel.common.data_interface.files_data_interface: buffers to files, Fernet tokens, archive extraction."""
import base64
import errno
import inspect
import io
import os
import signal
import tarfile
import tempfile
import time
import uuid
import zipfile
import zlib

import pytest
from cryptography.fernet import Fernet

from ostrel.common.data_interface import files_data_interface as fdi
from ostrel.common.data_interface.files_data_interface import (CHECKPOINTS_ENCRYPTION_KEY, FileCompressionExtension,
                                                               FileIsNotEncryptedError, FilesDataInterface)
from ostrel.common.exceptions import CorruptedSavedModelZipError, FailedToLoadCheckpointError, OstrelError

FDI = FilesDataInterface
OTHER_KEY = Fernet.generate_key()


def test_module_contents():
    assert fdi.base64 is base64 and fdi.os is os and fdi.tarfile is tarfile and fdi.tempfile is tempfile
    assert fdi.zipfile is zipfile and fdi.uuid4 is uuid.uuid4
    assert fdi.CorruptedSavedModelZipError is CorruptedSavedModelZipError
    assert FileIsNotEncryptedError.__bases__ == (Exception,) and not issubclass(FileIsNotEncryptedError, OstrelError)
    assert [(m.name, m.value) for m in FileCompressionExtension] == [("ZIP", ".zip"), ("TAR", ".tar.gz")]
    assert FDI.__bases__ == (object,) and FDI.__doc__ is None
    ops = [k for k, v in vars(FDI).items() if isinstance(v, staticmethod)]
    assert ops == ["save_bytes_to_file", "encrypt_file", "decrypt_file", "extract_and_ensure_folder_structure",
                   "_extract_zip_file", "_extract_tar_file", "move_dir_folder_contents_to_root"]
    assert str(inspect.signature(FDI.save_bytes_to_file)) == "(file_bytes, file_name=None, mode='wb')"
    assert str(inspect.signature(FDI.extract_and_ensure_folder_structure)) == "(source_path)"
    assert FDI._extract_zip_file.__doc__.strip().startswith("Unzip a TF2 Saved Model proto to a temp location")
    assert FDI._extract_tar_file.__doc__.strip().startswith("UnTAR a TF2 Saved Model proto to a temp location")


def test_builtin_key_is_a_fernet_key_bound_as_default_at_import(monkeypatch):
    assert isinstance(CHECKPOINTS_ENCRYPTION_KEY, bytes) and len(CHECKPOINTS_ENCRYPTION_KEY) == 44
    assert len(base64.urlsafe_b64decode(CHECKPOINTS_ENCRYPTION_KEY)) == 32
    for op in (FDI.encrypt_file, FDI.decrypt_file):
        assert inspect.signature(op).parameters["key"].default == CHECKPOINTS_ENCRYPTION_KEY
    # Rebinding the module constant later changes no default.
    monkeypatch.setattr(fdi, "CHECKPOINTS_ENCRYPTION_KEY", OTHER_KEY)
    token = FDI.encrypt_file(b"record")
    assert Fernet(CHECKPOINTS_ENCRYPTION_KEY).decrypt(token) == b"record"


# ---- Fernet tokens --------------------------------------------------------------------------------------

PAYLOADS = [b"", b"x", b"0123456789abcdef", b"<xml>\x00\xff\n</xml>" * 3, os.urandom(1 << 20)]


@pytest.mark.parametrize("key", [None, OTHER_KEY, OTHER_KEY.decode()], ids=["builtin", "bytes", "str"])
def test_tokens_interoperate_with_cryptography_both_ways(key):
    kw = {} if key is None else {"key": key}
    reference = Fernet(CHECKPOINTS_ENCRYPTION_KEY if key is None else key)
    for plain in PAYLOADS:
        ours = FDI.encrypt_file(plain, **kw)
        assert isinstance(ours, bytes) and reference.decrypt(ours) == plain
        theirs = reference.encrypt(plain)
        assert FDI.decrypt_file(theirs, **kw) == plain
        assert FDI.decrypt_file(theirs.decode(), **kw) == plain  # a token given as text
    assert FDI.encrypt_file(b"same", **kw) != FDI.encrypt_file(b"same", **kw)
    assert FDI.encrypt_file(bytearray(b"buf"), **kw) and FDI.encrypt_file(memoryview(b"buf"), **kw)


@pytest.mark.parametrize("edit", [
    lambda t: t.rstrip(b"="), lambda t: t[:-1] if t.endswith(b"==") else t, lambda t: t + b"\n",
    lambda t: b" " + t[:20] + b"\t\r\n\x0c" + t[20:], lambda t: t.replace(b"-", b"+").replace(b"_", b"/"),
    lambda t: t + b"=", lambda t: t + b"junk", lambda t: t[:20] + b"=" + t[20:], lambda t: t[:20] + b"\x0b" + t[20:],
    lambda t: t[:20] + b"!" + t[20:], lambda t: t.rstrip(b"=")[:-1],
])
def test_token_text_variants_are_read_as_cryptography_reads_them(edit):
    reference = Fernet(CHECKPOINTS_ENCRYPTION_KEY)
    for plain in (b"x", b"sixteen bytes!!!", b"payload of a few blocks" * 5):
        token = edit(reference.encrypt(plain))
        try:
            expected = reference.decrypt(token)
        except Exception:
            expected = FileIsNotEncryptedError
        if expected is FileIsNotEncryptedError:
            with pytest.raises(FileIsNotEncryptedError):
                FDI.decrypt_file(token)
        else:
            assert FDI.decrypt_file(token) == expected


def _damaged(token):
    raw = bytearray(base64.urlsafe_b64decode(token))
    raw[30] ^= 1
    return base64.urlsafe_b64encode(bytes(raw))


TOKEN = Fernet(CHECKPOINTS_ENCRYPTION_KEY).encrypt(b"secret")
NOT_ENCRYPTED = [
    # (file, key, class of the context)
    (b'<?xml version="1.0"?><net name="m"/>', CHECKPOINTS_ENCRYPTION_KEY, "InvalidToken"),
    (TOKEN, OTHER_KEY, "InvalidToken"),
    (_damaged(TOKEN), CHECKPOINTS_ENCRYPTION_KEY, "InvalidToken"),
    (b"", CHECKPOINTS_ENCRYPTION_KEY, "InvalidToken"),
    ("t\u00e9xt", CHECKPOINTS_ENCRYPTION_KEY, "InvalidToken"),
    (TOKEN, 12345, "TypeError"),  # a key of a type the cipher refuses
    (TOKEN, None, "TypeError"),
    (12345, CHECKPOINTS_ENCRYPTION_KEY, "TypeError"),  # a token of a type the cipher refuses
    (bytearray(TOKEN), CHECKPOINTS_ENCRYPTION_KEY, "TypeError"),
]


@pytest.mark.parametrize("file,key,context", NOT_ENCRYPTED)
def test_decrypt_of_something_that_is_no_token_here(file, key, context):
    with pytest.raises(FileIsNotEncryptedError) as info:
        FDI.decrypt_file(file, key=key)
    e = info.value
    assert str(e) == f"Failed to decrypt file {file}, probably it not encrypted. "
    assert e.__cause__ is None and not e.__suppress_context__
    assert type(e.__context__).__name__ == context
    with pytest.raises(Exception) as plain:  # an OstrelError handler lets it through, an Exception one catches it
        try:
            FDI.decrypt_file(file, key=key)
        except OstrelError:
            pytest.fail("caught as OstrelError")
    assert plain.type is FileIsNotEncryptedError


def test_whole_buffer_is_in_the_message():
    big = b"plain model description " * 5000
    with pytest.raises(FileIsNotEncryptedError) as info:
        FDI.decrypt_file(big)
    assert str(info.value) == "Failed to decrypt file " + str(big) + ", probably it not encrypted. "


MALFORMED_KEYS = [b"not a key", b"", OTHER_KEY[:20], "k\u00e9y" * 11]
KEY_MESSAGE = "Fernet key must be 32 url-safe base64-encoded bytes."


@pytest.mark.parametrize("key", MALFORMED_KEYS)
@pytest.mark.parametrize("op,verb", [(FDI.encrypt_file, "encrypt"), (FDI.decrypt_file, "decrypt")])
def test_malformed_key_is_a_plain_exception_caused_by_the_key_error(op, verb, key):
    with pytest.raises(Exception) as info:
        op(TOKEN, key=key)
    e = info.value
    assert type(e) is Exception
    assert str(e) == f"Failed to {verb} file {TOKEN}, err: {KEY_MESSAGE}"
    assert type(e.__cause__) is ValueError and str(e.__cause__) == KEY_MESSAGE and e.__context__ is e.__cause__


@pytest.mark.parametrize("file,key", [(b"data", 12345), ("text, not bytes", CHECKPOINTS_ENCRYPTION_KEY),
                                      (None, CHECKPOINTS_ENCRYPTION_KEY)])
def test_encrypt_refusals_are_plain_exceptions(file, key):
    with pytest.raises(Exception) as info:
        FDI.encrypt_file(file, key=key)
    e = info.value
    assert type(e) is Exception and type(e.__cause__) is TypeError
    assert str(e) == f"Failed to encrypt file {file}, err: {e.__cause__}"


def test_errors_raised_inside_a_callers_handler_keep_its_exception_in_the_chain():
    try:
        try:
            raise KeyError("outer")
        except KeyError:
            FDI.decrypt_file(b"plain")
    except FileIsNotEncryptedError as e:
        assert type(e.__context__).__name__ == "InvalidToken"
        assert type(e.__context__.__context__) is KeyError


# ---- buffers to files -----------------------------------------------------------------------------------


@pytest.mark.parametrize("name", [None, ""])
def test_save_without_a_name_writes_a_uuid_file_in_the_temp_dir(tmp_tempdir, name):
    path = FDI.save_bytes_to_file(b"\x00weights", name) if name is not None else FDI.save_bytes_to_file(b"\x00weights")
    head, base = path.rsplit(os.sep, 1)
    assert head == str(tmp_tempdir) and len(base) == 36 and str(uuid.UUID(base)) == base
    with open(path, "rb") as f:
        assert f.read() == b"\x00weights"
    assert FDI.save_bytes_to_file(b"x") != FDI.save_bytes_to_file(b"x")


def test_save_with_name_and_mode(tmp_path):
    target = str(tmp_path / "model.xml")
    assert FDI.save_bytes_to_file(b"first", target) == target
    assert FDI.save_bytes_to_file(b"new", file_name=target) == target  # truncates
    assert FDI.save_bytes_to_file(b"+more", target, mode="ab") == target
    with open(target, "rb") as f:
        assert f.read() == b"new+more"
    with pytest.raises(TypeError):  # not a byte buffer: the write fails unwrapped, the file stays empty
        FDI.save_bytes_to_file("text", target)
    assert os.path.getsize(target) == 0
    with pytest.raises(FileNotFoundError):
        FDI.save_bytes_to_file(b"x", str(tmp_path / "missing" / "f"))


# ---- archives ------------------------------------------------------------------------------------------


def _zip(path, members):
    """members: name -> bytes (a file) or None (a folder)."""
    with zipfile.ZipFile(path, "w") as z:
        for name, data in members.items():
            if data is None:
                z.writestr(zipfile.ZipInfo(name.rstrip("/") + "/"), b"")
            else:
                z.writestr(name, data)
    return str(path)


def _tar(path, members, mode="w:gz", links=()):
    """members as for _zip; links: (name, target, is_symlink)."""
    with tarfile.open(path, mode) as t:
        for name, data in members.items():
            info = tarfile.TarInfo(name)
            if data is None:
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
                t.addfile(info)
            else:
                info.size = len(data)
                t.addfile(info, io.BytesIO(data))
        for name, target, symbolic in links:
            info = tarfile.TarInfo(name)
            info.type = tarfile.SYMTYPE if symbolic else tarfile.LNKTYPE
            info.linkname = target
            t.addfile(info)
    return str(path)


def _tree(folder):
    out = {}
    for root, dirs, files in os.walk(folder):
        for d in dirs:
            out[os.path.relpath(os.path.join(root, d), folder) + "/"] = None
        for f in files:
            with open(os.path.join(root, f), "rb") as fh:
                out[os.path.relpath(os.path.join(root, f), folder)] = fh.read()
    return out


MODEL = {"saved_model.pb": b"pb", "variables/": None, "variables/variables.index": b"idx",
         "assets/\u00fcn\u00ef.txt": b"u"}
NESTED = {"m/": None, **{"m/" + k: v for k, v in MODEL.items()}}
EXPECTED = {"saved_model.pb": b"pb", "variables/": None, "variables/variables.index": b"idx", "assets/": None,
            "assets/\u00fcn\u00ef.txt": b"u"}


def _make(kind, path, members, links=()):
    if kind == "zip":
        return _zip(str(path) + ".zip", members)
    mode = {"gz": "w:gz", "plain": "w", "bz2": "w:bz2", "xz": "w:xz"}[kind]
    return _tar(str(path) + ".tar.gz", members, mode, links)  # any compression under the .tar.gz name


@pytest.mark.parametrize("kind", ["zip", "gz", "plain", "bz2", "xz"])
@pytest.mark.parametrize("members", [MODEL, NESTED], ids=["at-root", "one-top-folder"])
def test_extraction_flattens_a_single_top_folder(tmp_path, tmp_tempdir, kind, members):
    src = _make(kind, tmp_path / "model", members)
    folder = FDI.extract_and_ensure_folder_structure(source_path=src)
    assert isinstance(folder, str) and os.path.dirname(folder) == str(tmp_tempdir)
    assert os.path.basename(folder).startswith("tf2_saved_model_checkpoints_")
    assert os.stat(folder).st_mode & 0o777 == 0o700
    assert _tree(folder) == EXPECTED
    assert FDI.extract_and_ensure_folder_structure(src) != folder  # each call gets its own folder


@pytest.mark.parametrize("members", [
    {"a/": None, "a/x": b"1", "b/": None, "b/y": b"2"},  # several folders
    {"m/": None, "m/saved_model.pb": b"pb", "__MACOSX/": None, "__MACOSX/._m": b"meta"},
    {"m/": None, "m/saved_model.pb": b"pb", "README": b"r"},  # one folder beside a file
    {"saved_model.pb": b"pb"},  # a single file
])
def test_extraction_keeps_anything_but_a_single_folder(tmp_path, tmp_tempdir, members):
    for kind in ("zip", "gz"):
        folder = FDI.extract_and_ensure_folder_structure(_make(kind, tmp_path / kind, members))
        assert _tree(folder) == members


def test_single_empty_folder_removes_the_extraction_folder(tmp_path, tmp_tempdir):
    folder = FDI.extract_and_ensure_folder_structure(_zip(tmp_path / "e.zip", {"empty/": None}))
    assert not os.path.exists(folder) and os.path.isdir(tmp_tempdir)


@pytest.mark.parametrize("name", ["model.ZIP", "model.Zip", "model.tgz", "model.tar", "model.TAR.GZ", "model"])
def test_unrecognised_names_give_an_empty_folder(tmp_path, tmp_tempdir, name):
    src = tmp_path / name
    _zip(src, {"saved_model.pb": b"pb"}) if "zip" in name.lower() else _tar(src, {"saved_model.pb": b"pb"})
    folder = FDI.extract_and_ensure_folder_structure(str(src))
    assert os.path.isdir(folder) and os.listdir(folder) == []


@pytest.mark.parametrize("name,kind,cause", [
    ("missing.zip", "zip", FileNotFoundError),
    ("missing.tar.gz", "tar", FileNotFoundError),
    ("garbage.zip", "zip", zipfile.BadZipFile),
    ("garbage.tar.gz", "tar", tarfile.TarError),
])
def test_unreadable_archives(tmp_path, tmp_tempdir, name, kind, cause):
    src = str(tmp_path / name)
    if name.startswith("garbage"):
        with open(src, "wb") as f:
            f.write(b"this is no archive at all" * 40)
    with pytest.raises(CorruptedSavedModelZipError) as info:
        FDI.extract_and_ensure_folder_structure(src)
    e = info.value
    assert isinstance(e, FailedToLoadCheckpointError)
    assert str(e).startswith(f"Failed to extract file from {kind} {src}, err: ")
    assert isinstance(e.__cause__, cause) and str(e) == f"Failed to extract file from {kind} {src}, err: {e.__cause__}"
    assert os.listdir(tmp_tempdir) == []  # nothing left behind


def test_truncated_gzip_is_corrupted(tmp_path, tmp_tempdir):
    src = _tar(tmp_path / "t.tar.gz", {"m/": None, "m/big": os.urandom(200000)})
    data = open(src, "rb").read()
    with open(src, "wb") as f:
        f.write(data[: len(data) // 2])
    with pytest.raises(CorruptedSavedModelZipError, match="^Failed to extract file from tar "):
        FDI.extract_and_ensure_folder_structure(src)
    assert os.listdir(tmp_tempdir) == []


@pytest.mark.parametrize("kind", ["zip", "gz"])
def test_a_small_archive_expanding_past_the_limit_fails_and_leaves_nothing(tmp_path, tmp_tempdir, monkeypatch,
                                                                          kind):
    members = {"m/": None, "m/a": bytes(4 << 20), "m/b": bytes(4 << 20)}
    if kind == "gz":
        src = _make(kind, tmp_path / "bomb", members)
    else:
        src = str(tmp_path / "bomb.zip")
        with zipfile.ZipFile(src, "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in members.items():
                z.writestr(name, data if data is not None else b"")
    assert os.path.getsize(src) < 64 << 10
    monkeypatch.setenv("OSTREL_MAX_EXTRACT_BYTES", str(6 << 20))
    with pytest.raises(CorruptedSavedModelZipError) as info:
        FDI.extract_and_ensure_folder_structure(src)
    assert str(info.value).endswith(
        ", err: [Errno 27] the archive expands past the limit of 6291456 bytes (set OSTREL_MAX_EXTRACT_BYTES to "
        "allow more)")
    assert isinstance(info.value.__cause__, OSError) and info.value.__cause__.errno == errno.EFBIG
    assert os.listdir(tmp_tempdir) == []
    monkeypatch.setenv("OSTREL_MAX_EXTRACT_BYTES", str(8 << 20))  # exactly what it expands to
    assert sorted(os.listdir(FDI.extract_and_ensure_folder_structure(src))) == ["a", "b"]
    monkeypatch.delenv("OSTREL_MAX_EXTRACT_BYTES")  # the default is far above any model
    assert sorted(os.listdir(FDI.extract_and_ensure_folder_structure(src))) == ["a", "b"]


@pytest.mark.parametrize("value", ["lots", "-1", "1.5", ""])
def test_a_malformed_limit_is_refused_by_name(tmp_path, tmp_tempdir, monkeypatch, value):
    src = _zip(tmp_path / "m.zip", {"saved_model.pb": b"pb"})
    monkeypatch.setenv("OSTREL_MAX_EXTRACT_BYTES", value)
    with pytest.raises(ValueError, match=f"^OSTREL_MAX_EXTRACT_BYTES must be a whole number of bytes .*'{value}'"):
        FDI.extract_and_ensure_folder_structure(src)
    assert os.listdir(tmp_tempdir) == []


def test_an_interrupted_extraction_leaves_nothing(tmp_path, tmp_tempdir, monkeypatch):
    def interrupted(source_path, destination_path):
        os.makedirs(os.path.join(destination_path, "m", "variables"))
        open(os.path.join(destination_path, "m", "saved_model.pb"), "wb").close()
        os.symlink(str(tmp_path), os.path.join(destination_path, "m", "up"))
        raise KeyboardInterrupt

    src = _tar(tmp_path / "m.tar.gz", {"saved_model.pb": b"pb"})
    monkeypatch.setattr(FDI, "_extract_tar_file", staticmethod(interrupted))
    with pytest.raises(KeyboardInterrupt):
        FDI.extract_and_ensure_folder_structure(src)
    assert os.listdir(tmp_tempdir) == [] and os.path.exists(src)  # the link was removed, not followed


def test_a_signal_stops_a_long_extraction_at_once(tmp_path, tmp_tempdir):
    # 256 MiB of zeros in a small .tar.gz; a handler's exception surfaces as it is, long before the end.
    src = tmp_path / "long.tar.gz"
    size = 256 << 20
    info = tarfile.TarInfo("m/big")
    info.size = size
    packer = zlib.compressobj(1, wbits=31)
    with open(src, "wb") as f:
        f.write(packer.compress(info.tobuf(tarfile.PAX_FORMAT)))
        for _ in range(size >> 20):
            f.write(packer.compress(bytes(1 << 20)))
        f.write(packer.compress(bytes(1024)) + packer.flush())

    class Stop(Exception):
        pass

    def on_alarm(signum, frame):
        raise Stop

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        started = time.monotonic()
        with pytest.raises(Stop):
            FDI.extract_and_ensure_folder_structure(str(src))
        assert time.monotonic() - started < 2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert os.listdir(tmp_tempdir) == []


def test_a_member_named_like_its_top_folder_fails_unwrapped(tmp_path, tmp_tempdir):
    src = _zip(tmp_path / "clash.zip", {"m/": None, "m/a": b"a", "m/m": b"same name"})
    with pytest.raises(OSError) as info:
        FDI.extract_and_ensure_folder_structure(src)
    assert not isinstance(info.value, CorruptedSavedModelZipError)
    assert os.listdir(tmp_tempdir) == []  # the failed call's folder is removed


def test_move_dir_folder_contents_to_root_directly(tmp_path):
    (tmp_path / "d" / "inner" / "sub").mkdir(parents=True)
    (tmp_path / "d" / "inner" / "f").write_bytes(b"f")
    FDI.move_dir_folder_contents_to_root(directory=str(tmp_path / "d"))
    assert sorted(os.listdir(tmp_path / "d")) == ["f", "sub"]
    (tmp_path / "empty").mkdir()
    with pytest.raises(IndexError):
        FDI.move_dir_folder_contents_to_root(str(tmp_path / "empty"))
    with pytest.raises(FileNotFoundError):
        FDI.move_dir_folder_contents_to_root(str(tmp_path / "missing"))


def _outside(tmp_tempdir):
    """Everything in the temporary directory but the extraction folders, and what lies beside it."""
    parent = tmp_tempdir.parent
    return sorted(os.listdir(parent)), sorted(n for n in os.listdir(tmp_tempdir)
                                              if not n.startswith("tf2_saved_model_checkpoints_"))


@pytest.mark.parametrize("kind,members,links", [
    ("zip", {"m/": None, "m/ok": b"ok", "../evil": b"evil"}, ()),
    ("zip", {"m/ok": b"ok", "m/../../evil": b"evil"}, ()),
    ("zip", {"ok": b"ok", "/ABS/evil": b"evil"}, ()),
    ("gz", {"ok": b"ok", "../evil": b"evil"}, ()),
    ("gz", {"ok": b"ok", "/ABS/evil": b"evil"}, ()),
    ("gz", {"ok": b"ok", "link/evil": b"evil"}, [("link", "/ABS", True)]),
    ("gz", {"ok": b"ok", "link/evil": b"evil"}, [("link", "../..", True)]),
    ("gz", {"ok": b"ok"}, [("hard", "/ABS/victim", False)]),
], ids=["zip-dotdot", "zip-inner-dotdot", "zip-absolute", "tar-dotdot", "tar-absolute", "tar-symlink-absolute",
        "tar-symlink-up", "tar-hardlink-out"])
def test_members_landing_outside_fail_and_write_nothing_outside(tmp_path, tmp_tempdir, kind, members, links):
    victim_dir = tmp_path / "abs"
    victim_dir.mkdir()
    (victim_dir / "victim").write_bytes(b"keep")
    fix = lambda s: s.replace("/ABS", str(victim_dir))  # noqa: E731
    members = {fix(k): v for k, v in members.items()}
    links = [(n, fix(t), s) for n, t, s in links]
    src = _make(kind, tmp_path / "bad", members, links)
    before = _outside(tmp_tempdir)
    with pytest.raises(CorruptedSavedModelZipError, match="^Failed to extract file from (zip|tar) "):
        FDI.extract_and_ensure_folder_structure(src)
    assert _outside(tmp_tempdir) == before
    assert sorted(os.listdir(victim_dir)) == ["victim"] and (victim_dir / "victim").read_bytes() == b"keep"
    assert os.listdir(tmp_tempdir) == []


def test_a_relative_link_inside_the_folder_is_kept(tmp_path, tmp_tempdir):
    src = _tar(tmp_path / "l.tar.gz", {"m/": None, "m/data/": None, "m/data/w": b"w"},
               links=[("m/alias", "data/w", True)])
    folder = FDI.extract_and_ensure_folder_structure(src)
    assert os.readlink(os.path.join(folder, "alias")) == "data/w"
    assert open(os.path.join(folder, "alias"), "rb").read() == b"w"
