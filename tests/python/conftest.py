"""Fixtures shared by the package's tests."""

import sys

import pytest


class RecordingNative:
    """The add-in's exec_limit as the worker sees it: the first report counts."""

    def __init__(self):
        self.reports = []

    def exec_limit(self, seconds, label, on_timeout, on_close):
        self.reports.append((seconds, label, on_timeout, on_close))
        return len(self.reports) == 1


@pytest.fixture
def recording_native(monkeypatch):
    """A stand-in for tindral_xl._native that records each time-limit report."""
    native = RecordingNative()
    monkeypatch.setitem(sys.modules, "tindral_xl._native", native)
    return native
