"""Operational-state (ops) feature classes."""
