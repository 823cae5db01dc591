"""The seven result objects a test section can end with."""

__all__ = ["Passed", "Failed", "Aborted", "Errored", "Skipped", "Blocked", "Passx"]


class TestResult:
    """One result kind. Each kind has exactly one instance, so equality is identity."""

    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name

    def __repr__(self) -> str:
        return self.name

    __str__ = __repr__

    def __eq__(self, other: object) -> bool:
        return self is other

    def __hash__(self) -> int:
        return hash(self.name)

    def __reduce__(self) -> str:
        # Unpickling must give back the module's instance, not a copy.
        return self.name


Passed = TestResult("Passed")
Failed = TestResult("Failed")
Aborted = TestResult("Aborted")
Errored = TestResult("Errored")
Skipped = TestResult("Skipped")
Blocked = TestResult("Blocked")
Passx = TestResult("Passx")
