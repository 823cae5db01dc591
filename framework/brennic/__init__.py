"""Stand-in for the test infrastructure that korrin.utils runs inside."""
