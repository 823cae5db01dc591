"""Show-command parsers."""
