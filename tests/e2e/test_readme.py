"""The README's walk-throughs, run as written: what it shows is what a
newcomer who types it gets."""

import json
import re
import subprocess
import sys

import pytest

from conftest import ROOT

README = ROOT / "README.md"


def mcp_walk_through():
    """From the README's MCP session: the requests typed into tindral_mcp.py,
    the answers it shows, the host commands of the printf line and the host
    lines shown after it."""
    text = README.read_text(encoding="utf-8")
    start = text.index("    $ python3 tools/mcp/tindral_mcp.py\n")
    block = text[start:text.index("\n\n", start)].splitlines()
    typed, shown, commands, host_lines = [], [], [], []
    state = "mcp"
    for line in block[1:]:
        line = line[4:]
        if state == "mcp":
            if line == "^D":
                state = "host"
            elif line.startswith('{"jsonrpc":"2.0"'):
                typed.append(line)  # a request: typed compactly
            else:
                shown.append(line)  # an answer: printed with spaces
        elif line.startswith("$ printf '"):
            commands = line[len("$ printf '"):line.rindex("' >&7")].split("\\n")
            commands = [c for c in commands if c]
        else:
            host_lines.append(line)
    return typed, shown, commands, host_lines


@pytest.mark.linux_only
@pytest.mark.needs_python
@pytest.mark.time_limit(180)
def test_readme_mcp_walk_through_runs_as_written(sandbox, addin_folder, start_host):
    typed, shown, commands, host_lines = mcp_walk_through()
    assert len(typed) == 3 and commands == ["close", "open", "call MARKUP n:80 n:25"], (typed, commands)
    # The README's host: the run folder's add-in with the example modules, opened.
    addin = addin_folder(package=True, python=True, modules=True)
    host = start_host(addin)
    assert host.command("open", "open ", timeout=120)[-1] == "open 1"

    r = subprocess.run([sys.executable, str(ROOT / "tools" / "mcp" / "tindral_mcp.py")], env=sandbox.env,
                       input="".join(t + "\n" for t in typed), capture_output=True, text=True, timeout=120)
    answers = [json.loads(l) for l in r.stdout.splitlines()]
    assert len(answers) == 2, r.stdout + r.stderr  # the notification is not answered
    assert answers[0]["result"]["serverInfo"] == json.loads(shown[0].replace(", ...}", "}"))["result"]["serverInfo"]
    written = answers[1]["result"]
    assert not written.get("isError"), written
    shown_written = json.loads(shown[1].replace("[...]", "[]"))["result"]["structuredContent"]
    assert written["structuredContent"]["module"] == shown_written["module"]
    assert written["structuredContent"]["functions"] == shown_written["functions"]
    assert written["structuredContent"]["path"].endswith(shown_written["path"].lstrip("."))

    got = []
    for command in commands:
        until = "result " if command.startswith("call ") else command.split()[0] + " "
        got += host.command(command, until, timeout=60)
    # The lines the README shows, in its order ("..." stands for lines it
    # leaves out; the host's xlFree bookkeeping aside).
    assert matches([l for l in got if not l.startswith("xlfree")], host_lines), (got, host_lines)
    assert host_lines[-1] == "result num 100 xltype=0x0001"


def matches(lines, shown):
    """`lines` read as `shown`, where a "..." of `shown` stands for any lines."""
    if not shown:
        return not lines
    if shown[0] == "...":
        return any(matches(lines[i:], shown[1:]) for i in range(len(lines) + 1))
    return bool(lines) and lines[0] == shown[0] and matches(lines[1:], shown[1:])


def test_readme_walk_through_reading_skips_only_what_the_readme_leaves_out():
    assert matches(["close 1", "register a", "register b", "open 1"], ["close 1", "...", "register b", "open 1"])
    assert not matches(["close 1", "register a", "open 1"], ["close 1", "open 1"])
    assert not matches(["close 1", "open 1"], ["close 1", "...", "register b", "open 1"])
