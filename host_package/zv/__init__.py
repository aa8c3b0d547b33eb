"""Substitute for the host package: just the two names c_sdk imports."""
