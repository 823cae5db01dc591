"""Test harness of the framework."""
