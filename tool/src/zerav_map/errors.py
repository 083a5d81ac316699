"""The tool's own failures, each with the exit code it ends the program with."""

from __future__ import annotations

# Exit codes: 0 the mapping fits, 1 it does not fit, 2 bad input (files, flags), 3 a back-end
# module is missing, 4 an unexpected error inside the tool (a fault, never a verdict).
EXIT_FITS = 0
EXIT_DOES_NOT_FIT = 1
EXIT_BAD_INPUT = 2
EXIT_NO_BACKEND = 3
EXIT_INTERNAL = 4


class ToolError(Exception):
    """A failure reported as one message, ending the program with ``exit_code``."""

    exit_code = EXIT_BAD_INPUT


class InputError(ToolError):
    """A model, chip or output file, or a flag, that the tool cannot use."""


class FileProblem(InputError):
    """A problem with one named file: the message names the file first."""

    def __init__(self, path: object, problem: str) -> None:
        super().__init__(f"{path}: {problem}")
        self.path = path
        self.problem = problem


class BackendMissing(ToolError):
    """A native back-end module (or an optional package the tool needs) cannot be imported."""

    exit_code = EXIT_NO_BACKEND
