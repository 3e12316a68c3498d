"""Calls that the type checker must reject: each line marked `# error: CODE` is reported."""

from typing import Any

import vestra
import vestra.watch


def takes_two(event: dict[str, Any], extra: int) -> None: ...


def takes_text(event: str) -> None: ...


vestra.rswatcher(42, print)  # error: arg-type
vestra.rswatcher("/tmp", takes_two)  # error: arg-type
vestra.rswatcher("/tmp", takes_text)  # error: arg-type
vestra.rswatcher("/tmp")  # error: call-arg
vestra.rswatcher("/tmp", print, recursive=True)  # error: call-arg


def ignores_events(event: vestra.watch.Event) -> bool:
    return False


vestra.watch.Watch(42)  # error: arg-type
vestra.watch.Watch(b"/tmp")  # error: arg-type
vestra.watch.Watch("/tmp", ignore_if=ignores_events)  # error: arg-type
vestra.watch.Watch("/tmp", ignore_if=takes_text)  # error: arg-type
vestra.watch.Watch("/tmp", debounce="50ms")  # error: arg-type
for batch in vestra.watch.Watch("/tmp"):
    print(batch[0].name)  # error: attr-defined
    print(batch[0].kind == "Create(File)")  # error: comparison-overlap
