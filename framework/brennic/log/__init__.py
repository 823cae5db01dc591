"""Logging helpers of the test infrastructure."""
