"""The kinds of configuration source, named by their file-name extensions:
`Extensions` and its record type `_Extensions`."""

from dataclasses import dataclass as dataclass
from typing import Final

# The record's type is public despite its underscore (its one instance takes
# the plain name); listing it here lets type checkers import it without a
# private-use warning. Stub only: the module itself has no `__all__`.
__all__ = ["Extensions", "_Extensions"]

@dataclass(frozen=True)
class _Extensions:
    """The file-name extensions, without the dot, of the four kinds of
    configuration source. A frozen dataclass: each field is a `str` that
    defaults to its own name; assigning or deleting an attribute raises
    `dataclasses.FrozenInstanceError`, and `dataclasses.replace` makes a
    changed copy. Records compare equal and hash by their four fields.
    """

    py: str = "py"
    """Python sources: 'py'."""
    yaml: str = "yaml"
    """YAML files: 'yaml'."""
    json: str = "json"
    """JSON files: 'json'."""
    env: str = "env"
    """Environment files: 'env'."""

Extensions: Final[_Extensions]
"""The default record, `_Extensions()`: py='py', yaml='yaml', json='json',
env='env'."""

# Empty: the module has no doctests for the doctest collector to find.
__test__: dict[str, object]
