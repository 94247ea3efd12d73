"""A module function's row is checked when it is compiled: a row with more parameters or local names
than a function object holds does not build, instead of overflowing its tables at import."""

from __future__ import annotations

import os
import shutil
import subprocess
import sysconfig

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMPILER = shutil.which(os.environ.get("CXX", "c++"))

ROW = """
#include "function.h"
namespace qel {
namespace {
constexpr const char kFile[] = "row.cpp";
PyObject *probe(Call &) { return nullptr; }
}  // namespace
QEL_FUNCTION(probe).params({%s}).locals({%s});
}  // namespace qel
"""


def compile_row(tmp_path, nparams: int, nlocals: int) -> subprocess.CompletedProcess[str]:
    source = tmp_path / "row.cpp"
    params = ", ".join(f'Int("p{i}")' for i in range(nparams))
    local_names = ", ".join(f'"l{i}"' for i in range(nlocals))
    source.write_text(ROW % (params, local_names))
    includes = [os.path.join(ROOT, "qel"), os.path.join(ROOT, "sdk", "include"), sysconfig.get_paths()["include"]]
    command = [COMPILER, "-std=c++17", "-fsyntax-only", *(f"-I{d}" for d in includes), str(source)]
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


@pytest.mark.skipif(COMPILER is None, reason="no C++ compiler")
@pytest.mark.parametrize(
    "nparams, nlocals, refusal",
    [
        (5, 4, None),
        (6, 1, "at most kMaxParams parameters"),
        (1, 5, "at most kMaxLocals local names"),
    ],
)
def test_row_sizes_are_checked_at_compile_time(tmp_path, nparams, nlocals, refusal):
    done = compile_row(tmp_path, nparams, nlocals)
    if refusal is None:
        assert done.returncode == 0, done.stderr
    else:
        assert done.returncode != 0
        assert refusal in done.stderr
