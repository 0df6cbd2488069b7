"""pycuda.gpuarray stand-in: present so that importing it works; it offers no arrays."""
