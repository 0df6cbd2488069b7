"""GPUtil stand-in for tests: reports one GPU. Not GPUtil and not installed with ostrel; putting
platform/GPUtil on sys.path is what makes ostrel's machine probe see a GPU."""
__version__ = "1.4.0"


class GPU:
    def __init__(self, ID, uuid, load, memoryTotal, memoryUsed, memoryFree, driver, gpu_name, serial,
                 display_mode, display_active, temp_gpu):
        self.id = ID
        self.uuid = uuid
        self.load = load
        self.memoryUtil = float(memoryUsed) / float(memoryTotal)
        self.memoryTotal = memoryTotal
        self.memoryUsed = memoryUsed
        self.memoryFree = memoryFree
        self.driver = driver
        self.name = gpu_name
        self.serial = serial
        self.display_mode = display_mode
        self.display_active = display_active
        self.temperature = temp_gpu


def getGPUs():
    return [GPU(0, "GPU-00000000-0000-0000-0000-000000000000", 0.0, 16384.0, 512.0, 15872.0, "535.0",
                "Stand-in GPU", "0", "Disabled", "Disabled", 40.0)]


def getAvailable(order="first", limit=1, maxLoad=0.5, maxMemory=0.5, memoryFree=0, includeNan=False,
                 excludeID=(), excludeUUID=()):
    return [gpu.id for gpu in getGPUs()][:limit]
