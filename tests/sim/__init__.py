"""Tests of the simulated Camera SDK, through a ctypes binding of its entry points (sdk.py).

A package, so that its conftest does not take the module name of the extension tests' conftest.
"""
