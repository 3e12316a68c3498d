"""Calls that the type checker must reject: each line marked `# error: CODE` is reported."""

from typing import Any

import vestra


def takes_two(event: dict[str, Any], extra: int) -> None: ...


def takes_text(event: str) -> None: ...


vestra.rswatcher(42, print)  # error: arg-type
vestra.rswatcher("/tmp", takes_two)  # error: arg-type
vestra.rswatcher("/tmp", takes_text)  # error: arg-type
vestra.rswatcher("/tmp")  # error: call-arg
vestra.rswatcher("/tmp", print, recursive=True)  # error: call-arg
