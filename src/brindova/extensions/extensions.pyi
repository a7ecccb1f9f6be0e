from dataclasses import dataclass as dataclass
from typing import Final

@dataclass(frozen=True)
class _Extensions:
    py: str = "py"
    yaml: str = "yaml"
    json: str = "json"
    env: str = "env"

Extensions: Final[_Extensions]
# Empty: the module has no doctests for the doctest collector to find.
__test__: dict[str, object]
