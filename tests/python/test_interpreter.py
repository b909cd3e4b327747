"""The package's tests run where the package runs in Excel."""

import sys


def test_package_tests_ran_under_the_system_python_not_the_embedded_312():
    # The add-in embeds Python 3.12; a pass under another version proves
    # nothing about what Excel runs (scripts/test.sh picks the build's 3.12).
    assert sys.version_info[:2] == (3, 12), sys.version
