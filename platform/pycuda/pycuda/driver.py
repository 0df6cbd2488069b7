"""pycuda.driver stand-in: contexts, streams, events, device and page-locked memory in host memory.

Rules that the real driver enforces, or that would corrupt memory there, raise here:
- nothing runs without a current context (``LogicError`` "invalid device context");
- allocations, streams and events belong to the context that was current when they were made; copies
  and executions need the context of their stream and memory to be current, and an event is recorded
  only on a stream of its own context, else ``LogicError`` "context mismatch";
- copies never run past the end of an allocation or of the host buffer;
- a context popped through an instance (``ctx.pop()``) while another context is on top, or detached while
  still on a stack below another, raises; a push that was never popped ends the interpreter at exit with
  "PyCUDA ERROR: The context stack was not empty upon module cleanup." and a failing exit status, as the
  real module aborts then;
- page-locked host memory is filled with 0xFF bytes (NaN for floats, -1 for signed integers) and belongs
  to the context that was current when it was allocated: when that context is destroyed the memory is
  freed, and a read of an array still holding it fails (``LogicError`` from ``check_host_memory``; its
  bytes are overwritten with 0xFF, as freed pinned memory would no longer hold the data).

Work queued on a stream (copies, executions, event records) runs in order when the stream, one of
its events or the context is synchronised.
"""
import atexit
import itertools
import os
import sys
import threading
import time
import weakref

import numpy as np

_CUDA_VERSION = (11, 4, 0)
_DEVICE_COUNT = 1
_DEVICE_MEMORY = 16 * 1024**3
_POISON = 0xFF

_lock = threading.RLock()
_tls = threading.local()
_initialized = False
_next_address = 0x7F0000000000  # device addresses never overlap: each allocation takes its own range
_allocations = {}  # base address -> DeviceAllocation
_streams = {}  # handle -> Stream
_handles = itertools.count(0x5000)


def _reserve_address(nbytes):
    """A fresh device range of nbytes: 1 MiB aligned, with a gap of at least 1 MiB after it."""
    global _next_address
    base = _next_address
    _next_address += ((max(int(nbytes), 1) + 0x1FFFFF) // 0x100000) * 0x100000
    return base


class Error(Exception):
    pass


class LogicError(Error):
    pass


class LaunchError(Error):
    pass


class MemoryError(Error):  # noqa: A001 - the driver's own name
    pass


class RuntimeError(Error):  # noqa: A001 - the driver's own name
    pass


def init(flags=0):
    global _initialized
    _initialized = True


def get_version():
    return _CUDA_VERSION


def get_driver_version():
    return _CUDA_VERSION[0] * 1000 + _CUDA_VERSION[1] * 10


def _check_balanced_at_exit():
    # Runs after the exit handlers of autoinit and autoprimaryctx (registered later, run earlier), which pop
    # their own contexts: whatever is left was pushed and never popped.
    if [ctx for ctx in _stack() if ctx._alive]:
        sys.stderr.write("PyCUDA ERROR: The context stack was not empty upon module cleanup.\n"
                         "A context was still active when the context stack was being cleaned up.\n")
        sys.stderr.flush()
        os._exit(1)


atexit.register(_check_balanced_at_exit)


def _check_init():
    if not _initialized:
        raise LogicError("cuInit has not been called")


def _stack():
    stack = getattr(_tls, "stack", None)
    if stack is None:
        stack = _tls.stack = []
    return stack


def _current(what):
    _check_init()
    stack = _stack()
    if not stack:
        raise LogicError(f"{what} failed: invalid device context")
    return stack[-1]


def _require_context(obj, what):
    ctx = _current(what)
    if obj._context is not ctx:
        raise LogicError(f"{what} failed: context mismatch (object belongs to {obj._context!r}, "
                         f"current is {ctx!r})")
    obj._context._check_alive(what)
    return ctx


class Device:
    def __init__(self, number):
        _check_init()
        if not isinstance(number, int) or not 0 <= number < _DEVICE_COUNT:
            raise LogicError("cuDeviceGet failed: invalid device ordinal")
        self._number = number
        self._primary = None

    @staticmethod
    def count():
        _check_init()
        return _DEVICE_COUNT

    def name(self):
        return "Stand-in GPU"

    def total_memory(self):
        return _DEVICE_MEMORY

    def compute_capability(self):
        return (8, 6)

    def make_context(self, flags=0):
        ctx = Context(self)
        _stack().append(ctx)
        return ctx

    def retain_primary_context(self):
        with _lock:
            if self._primary is None or not self._primary._alive:
                self._primary = Context(self, primary=True)
            self._primary._refs += 1
        return self._primary

    def __eq__(self, other):
        return isinstance(other, Device) and other._number == self._number

    def __hash__(self):
        return hash(self._number)


class Context:
    _ids = itertools.count(1)

    def __init__(self, device, primary=False):
        self._device = device
        self._id = next(Context._ids)
        self._primary = primary
        self._refs = 0 if primary else 1
        self._alive = True
        self._default_stream = None

    def __repr__(self):
        return f"<stand-in CUDA context {self._id} on device {self._device._number}>"

    def _check_alive(self, what):
        if not self._alive:
            raise LogicError(f"{what} failed: context is destroyed")

    def push(self):
        _check_init()
        self._check_alive("cuCtxPushCurrent")
        _stack().append(self)

    class _Pop:
        """``Context.pop()`` pops the top of the stack; ``ctx.pop()`` pops ``ctx``, which must be on top."""

        def __get__(self, instance, owner):
            def pop():
                stack = _stack()
                if not stack:
                    raise LogicError("cuCtxPopCurrent failed: invalid device context")
                if instance is not None and stack[-1] is not instance:
                    raise LogicError("cuCtxPopCurrent failed: the context is not the current one")
                stack.pop()
            return pop

    pop = _Pop()

    @staticmethod
    def get_current():
        stack = _stack()
        return stack[-1] if stack else None

    @staticmethod
    def get_device():
        return _current("cuCtxGetDevice")._device

    @staticmethod
    def synchronize():
        ctx = _current("cuCtxSynchronize")
        for stream in list(_streams.values()):
            if stream._context is ctx:
                stream._drain()
        if ctx._default_stream is not None:
            ctx._default_stream._drain()

    def detach(self):
        """Drops this reference; the last one destroys the context. A context that is current on this
        thread is popped first; one buried under another context of this thread's stack is refused."""
        stack = _stack()
        if self in stack and stack[-1] is not self:
            raise LogicError("cuCtxDetach failed: context is not current but is on this thread's stack")
        if stack and stack[-1] is self:
            stack.pop()
        self._refs -= 1
        if self._refs <= 0:
            self._destroy()

    def _destroy(self):
        self._alive = False
        with _lock:
            for ref in _pinned.pop(self, ()):
                array = ref()
                if array is not None and array.size:
                    array.reshape(-1).view(np.uint8).fill(_POISON)
                    _freed_host_memory.add(id(array))
            for base, alloc in list(_allocations.items()):
                if alloc._context is self:
                    alloc._freed = True
                    del _allocations[base]
            for handle, stream in list(_streams.items()):
                if stream._context is self:
                    del _streams[handle]

    def _default(self):
        if self._default_stream is None:
            self._default_stream = Stream.__new__(Stream)
            self._default_stream._setup(self, 0)
        return self._default_stream


class DeviceAllocation:
    def __init__(self, nbytes, ctx):
        self._context = ctx
        self.size = nbytes
        self._buf = np.full(nbytes, 0xA5, dtype=np.uint8)  # uninitialised device memory
        self._freed = False
        with _lock:
            self._base = _reserve_address(nbytes)
            _allocations[self._base] = self

    def __int__(self):
        self._check("int(DeviceAllocation)")
        return self._base

    def __index__(self):
        return self.__int__()

    def _check(self, what):
        if self._freed:
            raise LogicError(f"{what} failed: memory was freed")

    def free(self):
        if not self._freed:
            self._freed = True
            with _lock:
                _allocations.pop(self._base, None)

    def __del__(self):
        try:
            self.free()
        except Exception:
            pass


def _resolve(address, nbytes, what):
    """(allocation, offset) for device memory [address, address + nbytes); raises when the range is not
    inside one live allocation."""
    address = int(address)
    with _lock:
        for base, alloc in _allocations.items():
            if base <= address < base + max(alloc.size, 1):
                offset = address - base
                if offset + nbytes > alloc.size:
                    raise LogicError(f"{what} failed: {nbytes} bytes at offset {offset} run past the end of "
                                     f"a {alloc.size}-byte allocation")
                return alloc, offset
    raise LogicError(f"{what} failed: invalid device pointer 0x{address:x}")


def device_view(address, nbytes, what="device access"):
    """The bytes [address, address + nbytes) of device memory as a writable uint8 array; the range must
    lie inside one live allocation of the current context."""
    alloc, offset = _resolve(address, nbytes, what)
    _require_context(alloc, what)
    return alloc._buf[offset:offset + nbytes]


def mem_alloc(nbytes):
    ctx = _current("cuMemAlloc")
    ctx._check_alive("cuMemAlloc")
    nbytes = int(nbytes)
    if nbytes <= 0:
        raise LogicError("cuMemAlloc failed: invalid argument (size must be positive)")
    return DeviceAllocation(nbytes, ctx)


def mem_get_info():
    _current("cuMemGetInfo")
    used = sum(a.size for a in _allocations.values())
    return (_DEVICE_MEMORY - used, _DEVICE_MEMORY)


_pinned = {}  # context -> weak references to its page-locked arrays
_freed_host_memory = set()  # ids of arrays whose context is gone


def _pin(array):
    ctx = _current("cuMemHostAlloc")
    key = id(array)
    with _lock:
        _pinned.setdefault(ctx, []).append(weakref.ref(array, lambda _ref: _freed_host_memory.discard(key)))
    return array


def check_host_memory(array):
    """Raises LogicError when ``array`` is page-locked memory of a context that is gone (what a read of
    freed pinned memory would be on a real GPU); returns the array otherwise."""
    if id(array) in _freed_host_memory:
        raise LogicError("host memory read failed: the page-locked allocation was freed with its context")
    return array


def pagelocked_empty(shape, dtype, order="C", mem_flags=0):
    _check_init()
    array = np.empty(shape, dtype=dtype, order=order)
    if array.size:
        array.reshape(-1).view(np.uint8).fill(_POISON)
    return _pin(array)


def pagelocked_zeros(shape, dtype, order="C", mem_flags=0):
    _check_init()
    return _pin(np.zeros(shape, dtype=dtype, order=order))


class Stream:
    def __init__(self, flags=0):
        ctx = _current("cuStreamCreate")
        ctx._check_alive("cuStreamCreate")
        self._setup(ctx, next(_handles))
        with _lock:
            _streams[self.handle] = self

    def _setup(self, ctx, handle):
        self._context = ctx
        self.handle = handle
        self._queue = []

    def _enqueue(self, work):
        self._queue.append(work)

    def _drain(self):
        # Work may enqueue more work (nothing here does); run until empty, in order.
        while self._queue:
            work = self._queue.pop(0)
            work()

    def _drain_until(self, marker):
        while self._queue:
            work = self._queue.pop(0)
            work()
            if work is marker:
                return

    def synchronize(self):
        self._context._check_alive("cuStreamSynchronize")
        self._drain()

    def is_done(self):
        return not self._queue

    def __del__(self):
        try:
            with _lock:
                if _streams.get(getattr(self, "handle", None)) is self:
                    del _streams[self.handle]
        except Exception:  # interpreter shutdown
            pass


def stream_from_handle(handle):
    """The stream with this handle (0: the current context's default stream)."""
    if int(handle) == 0:
        return _current("stream lookup")._default()
    with _lock:
        stream = _streams.get(int(handle))
    if stream is None:
        raise LogicError(f"invalid stream handle 0x{int(handle):x}")
    return stream


def _stream_for(stream, what):
    if stream is None:
        return _current(what)._default()
    if not isinstance(stream, Stream):
        raise TypeError(f"{what}: stream must be a Stream, got {type(stream).__name__}")
    _require_context(stream, what)
    return stream


class Event:
    def __init__(self, flags=0):
        self._context = _current("cuEventCreate")
        self._time = None
        self._pending = None

    def record(self, stream=None):
        self._context._check_alive("cuEventRecord")
        target = _current("cuEventRecord")._default() if stream is None else stream
        if not isinstance(target, Stream):
            raise TypeError(f"cuEventRecord: stream must be a Stream, got {type(target).__name__}")
        if target._context is not self._context:
            raise LogicError("cuEventRecord failed: context mismatch (the event and the stream belong to "
                             "different contexts)")
        self._time = None

        def mark():
            self._time = time.perf_counter()
            self._pending = None

        self._pending = (target, mark)
        target._enqueue(mark)
        return self

    def synchronize(self):
        if self._pending is not None:
            stream, mark = self._pending
            stream._drain_until(mark)
        return self

    def query(self):
        return self._pending is None

    def _elapsed_ms(self, start, end):
        if start._time is None or end._time is None:
            raise LogicError("cuEventElapsedTime failed: device not ready (event not recorded or not complete)")
        return (end._time - start._time) * 1000.0

    def time_till(self, other):
        return self._elapsed_ms(self, other)

    def time_since(self, other):
        return self._elapsed_ms(other, self)


def _host_bytes(array, what):
    if not isinstance(array, np.ndarray):
        array = np.asarray(array)
    if not array.flags.c_contiguous:
        raise ValueError(f"{what}: host buffer must be contiguous")
    return array.reshape(-1).view(np.uint8)


def memcpy_htod_async(dest, src, stream=None):
    alloc = dest if isinstance(dest, DeviceAllocation) else None
    src_bytes = _host_bytes(src, "memcpy_htod_async")
    target = _stream_for(stream, "cuMemcpyHtoDAsync")
    address = int(dest)
    view = device_view(address, src_bytes.size, "cuMemcpyHtoDAsync")  # checks bounds and context now
    del alloc

    def copy():
        view[:] = src_bytes  # the host buffer is read when the copy runs

    target._enqueue(copy)


def memcpy_dtoh_async(dest, src, stream=None):
    dest_bytes = _host_bytes(dest, "memcpy_dtoh_async")
    if not dest_bytes.flags.writeable:
        raise ValueError("memcpy_dtoh_async: host buffer is read-only")
    target = _stream_for(stream, "cuMemcpyDtoHAsync")
    view = device_view(int(src), dest_bytes.size, "cuMemcpyDtoHAsync")

    def copy():
        dest_bytes[:] = view

    target._enqueue(copy)


def memcpy_dtod_async(dest, src, size, stream=None):
    target = _stream_for(stream, "cuMemcpyDtoDAsync")
    size = int(size)
    dst_view = device_view(int(dest), size, "cuMemcpyDtoDAsync")
    src_view = device_view(int(src), size, "cuMemcpyDtoDAsync")

    def copy():
        dst_view[:] = src_view

    target._enqueue(copy)


def memcpy_htod(dest, src):
    memcpy_htod_async(dest, src)
    Context.synchronize()


def memcpy_dtoh(dest, src):
    memcpy_dtoh_async(dest, src)
    Context.synchronize()


def enqueue(stream, work):
    """Queues `work` (a callable) on `stream`; for the tensorrt stand-in's executions."""
    stream._enqueue(work)
