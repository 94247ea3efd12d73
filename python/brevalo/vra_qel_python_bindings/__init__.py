"""Python access to QELCamera2 astronomy cameras.

The camera functions live in the extension module ``brevalo.vra_qel_python_bindings.qel``;
``brevalo.vra_qel_python_bindings.sim`` drives the simulated Camera SDK that ships with the package.
"""

__version__ = "0.1.0"
