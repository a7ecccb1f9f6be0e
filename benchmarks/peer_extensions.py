"""The source-kind record written in plain Python, for the import benchmark."""

from dataclasses import dataclass


@dataclass(frozen=True)
class _Extensions:
    py: "str" = "py"
    yaml: "str" = "yaml"
    json: "str" = "json"
    env: "str" = "env"


Extensions = _Extensions()
