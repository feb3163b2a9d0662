"""Reliability checks: prints the number of fuzzed calls at the end."""

from support import CASES, record_figure


def pytest_terminal_summary(terminalreporter):
    if CASES["count"]:
        terminalreporter.write_line(f"reliability: {CASES['count']} fuzzed calls")
        record_figure("fuzzed calls", CASES["count"])
