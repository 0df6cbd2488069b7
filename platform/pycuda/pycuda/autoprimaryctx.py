"""pycuda.autoprimaryctx stand-in: initialises the driver, retains the primary context of device 0 and
pushes it on the importing thread."""
import atexit

from pycuda import driver as cuda

cuda.init()
device = cuda.Device(0)
context = device.retain_primary_context()
context.push()


def _finish_up():
    try:
        if cuda.Context.get_current() is context:
            context.pop()
    except Exception:
        pass


atexit.register(_finish_up)
