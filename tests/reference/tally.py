"""Counts of the cases compared with the reference, printed at the end of the run for CI logs."""

import collections

COUNTS = collections.Counter()
PLUGIN_NAME = "vornak-differential-tally"


def record(outcome):
    COUNTS[outcome] += 1


class _Reporter:
    def pytest_terminal_summary(self, terminalreporter):
        if not COUNTS:
            return
        total = sum(COUNTS.values())
        parts = ", ".join(f"{COUNTS[k]} {k}" for k in sorted(COUNTS))
        terminalreporter.write_sep("-", f"differential: {total} sweeps compared with the reference ({parts})")


def register(config):
    """Make the summary line appear once, whichever differential module runs first."""
    if not config.pluginmanager.has_plugin(PLUGIN_NAME):
        config.pluginmanager.register(_Reporter(), PLUGIN_NAME)
