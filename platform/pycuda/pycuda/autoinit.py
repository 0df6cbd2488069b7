"""pycuda.autoinit stand-in: initialises the driver and makes a new context on device 0 current on the
importing thread; the context is popped and released at interpreter exit."""
import atexit

from pycuda import driver as cuda

cuda.init()
device = cuda.Device(0)
context = device.make_context()


def _finish_up():
    try:
        if cuda.Context.get_current() is context:
            context.pop()
        context._refs = 0
        context._destroy()
    except Exception:
        pass


atexit.register(_finish_up)
