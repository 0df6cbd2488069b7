"""Test stand-in for pycuda: a strict, host-memory model of the CUDA driver as pycuda exposes it.

Not pycuda and not installed with ostrel: tests put platform/pycuda on sys.path. Device memory,
page-locked memory and streams live in host memory; work queued on a stream runs when something
synchronises with it. Copies are bounds-checked, every driver object is tagged with the context it was
made in and refused while another context is current, and page-locked buffers start poison-filled, so
faults of the code under test show instead of passing silently.
"""
VERSION = (2024, 1)
VERSION_TEXT = "2024.1"
