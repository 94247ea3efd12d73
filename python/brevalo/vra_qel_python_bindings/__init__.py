"""Python access to QELCamera2 astronomy cameras.

``brevalo.vra_qel_python_bindings.camera`` has the camera object (``Camera``, ``Frame``), ``fits`` and
``ser`` write files, and ``qel-capture`` (module ``cli``) captures from the command line.

The camera functions live in the extension module ``brevalo.vra_qel_python_bindings.qel``;
``brevalo.vra_qel_python_bindings.sim`` drives the simulated Camera SDK that ships with the package.
"""

__version__ = "0.1.0"
