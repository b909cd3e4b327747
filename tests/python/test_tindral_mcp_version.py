"""tools/mcp/tindral_mcp.py names the release of the file VERSION, wherever it is laid out."""

import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "tools" / "mcp" / "tindral_mcp.py"


def version_of(script):
    r = subprocess.run([sys.executable, "-c", "import runpy, sys; print(runpy.run_path(sys.argv[1])['VERSION'])",
                        str(script)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout.strip()


def test_stdio_server_hard_coded_its_version_instead_of_reading_version_file(tmp_path):
    # A source checkout: tools/mcp/ two levels below VERSION.
    checkout = tmp_path / "checkout"
    (checkout / "tools" / "mcp").mkdir(parents=True)
    shutil.copy(SCRIPT, checkout / "tools" / "mcp")
    (checkout / "VERSION").write_text("9.8.7\n", encoding="ascii")
    assert version_of(checkout / "tools" / "mcp" / "tindral_mcp.py") == "9.8.7"

    # The Windows package: agent/ beside tindral_xl/ with the build's _version.py;
    # a VERSION file above the package folder is not its.
    package = tmp_path / "above" / "TindralXL"
    (package / "agent").mkdir(parents=True)
    (package / "tindral_xl").mkdir()
    shutil.copy(SCRIPT, package / "agent")
    (package / "tindral_xl" / "_version.py").write_text(
        '# Written by the build from the file VERSION; do not edit.\n__version__ = "4.5.6"\n', encoding="utf-8")
    (tmp_path / "above" / "VERSION").write_text("0.0.1\n", encoding="ascii")
    assert version_of(package / "agent" / "tindral_mcp.py") == "4.5.6"

    # Neither: said so, never a number made up.
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy(SCRIPT, alone)
    assert version_of(alone / "tindral_mcp.py") == "unknown"


def test_repository_copy_names_the_version_file_release():
    assert version_of(SCRIPT) == (ROOT / "VERSION").read_text(encoding="ascii").strip()
