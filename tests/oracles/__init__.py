"""Small executable models used as oracles by the tests."""
