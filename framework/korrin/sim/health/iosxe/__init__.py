"""Health checks for iosxe devices."""
