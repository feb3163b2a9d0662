"""Reliability checks: prints the number of fuzzed calls at the end."""

import os

from support import CASES


def pytest_terminal_summary(terminalreporter):
    if CASES["count"]:
        terminalreporter.write_line(f"reliability: {CASES['count']} fuzzed calls")
    out = os.environ.get("VARNEL_FUZZ_COUNT_FILE")
    if out:
        with open(out, "w") as f:
            f.write(str(CASES["count"]))
