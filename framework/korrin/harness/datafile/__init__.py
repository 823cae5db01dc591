"""Data file loaders of the harness."""
