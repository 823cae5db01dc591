"""Libraries of the framework."""
