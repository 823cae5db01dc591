"""Data file handling of the test infrastructure."""
