"""Helpers for process-wide services."""
