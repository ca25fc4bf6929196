"""The service's template registry: names, builds, recipes and tags.

No image is built here: a build records the recipe the SDK sent and turns
"ready" after the configured delay, or "error" when a fault says so.
"""

from __future__ import annotations

import threading
import uuid
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any

DEFAULT_TAG = "default"
# The template the code-interpreter SDK asks for when none is given, and the
# plain one of the base SDK.
SEEDED_TEMPLATES = ("code-interpreter-v1", "base")


def _now() -> datetime:
    return datetime.now(timezone.utc)


def split_name(name: str) -> tuple[str, str | None]:
    """"name:tag" -> (name, tag); a bare name has no tag."""
    base, sep, tag = name.rpartition(":")
    if sep and base and "/" not in tag:
        return base, tag
    return name, None


@dataclass
class Build:
    build_id: str
    template_id: str
    requested_tags: list[str]
    status: str = "waiting"  # waiting -> building -> ready | error
    recipe: dict[str, Any] | None = None
    reason: str | None = None
    created_at: datetime = field(default_factory=_now)
    logs: list[tuple[datetime, str, str]] = field(default_factory=list)  # (time, level, message)

    def log(self, message: str, level: str = "info") -> None:
        self.logs.append((_now(), level, message))


@dataclass
class Template:
    template_id: str
    names: set[str]
    builds: dict[str, Build] = field(default_factory=dict)
    # tag -> build id of the ready build it points at
    tags: dict[str, str] = field(default_factory=dict)
    tagged_at: dict[str, datetime] = field(default_factory=dict)

    def ready_build(self, tag: str | None) -> Build | None:
        build_id = self.tags.get(tag or DEFAULT_TAG)
        return self.builds.get(build_id) if build_id else None


class TemplateRegistry:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._templates: dict[str, Template] = {}
        for name in SEEDED_TEMPLATES:
            self.seed(name)

    def seed(self, name: str, recipe: dict[str, Any] | None = None) -> Template:
        """Registers ``name`` with one ready build, as if built long ago."""
        template, build = self.request_build(name, [])
        self.start_build(template.template_id, build.build_id, recipe or {"fromImage": "local"})
        self.finish_build(template.template_id, build.build_id, error=None)
        return template

    def resolve(self, name_or_id: str) -> Template | None:
        name, _ = split_name(name_or_id)
        with self._lock:
            if name in self._templates:
                return self._templates[name]
            for template in self._templates.values():
                if name in template.names:
                    return template
        return None

    def request_build(self, name: str, tags: list[str]) -> tuple[Template, Build]:
        base, tag = split_name(name)
        with self._lock:
            template = next((t for t in self._templates.values() if base in t.names), None)
            if template is None:
                template = Template(template_id=uuid.uuid4().hex[:20], names={base})
                self._templates[template.template_id] = template
            wanted = ([tag] if tag else [DEFAULT_TAG]) + [t for t in tags if t != tag]
            build = Build(build_id=str(uuid.uuid4()), template_id=template.template_id, requested_tags=wanted)
            template.builds[build.build_id] = build
        return template, build

    def start_build(self, template_id: str, build_id: str, recipe: dict[str, Any]) -> Build:
        build = self.build(template_id, build_id)
        with self._lock:
            build.recipe = recipe
            build.status = "building"
        source = recipe.get("fromImage") or recipe.get("fromTemplate") or "(unspecified)"
        build.log(f"Building from {source}")
        for step in recipe.get("steps") or []:
            build.log(f"{step.get('type', '?')} {' '.join(step.get('args') or [])}")
        if recipe.get("startCmd"):
            build.log(f"Start command: {recipe['startCmd']}")
        return build

    def finish_build(self, template_id: str, build_id: str, error: str | None) -> None:
        build = self.build(template_id, build_id)
        with self._lock:
            if error is not None:
                build.status, build.reason = "error", error
            else:
                build.status = "ready"
                template = self._templates[template_id]
                for tag in build.requested_tags:
                    template.tags[tag] = build_id
                    template.tagged_at[tag] = _now()
        build.log(f"Build failed: {error}" if error else "Build finished", "error" if error else "info")

    def build(self, template_id: str, build_id: str) -> Build:
        template = self.resolve(template_id)
        if template is None or build_id not in template.builds:
            raise KeyError(build_id)
        return template.builds[build_id]

    def recipe(self, name: str) -> dict[str, Any] | None:
        """The recipe of the build that the name's tag (default tag when
        none) points at: what the SDK sent for it."""
        template = self.resolve(name)
        if template is None:
            return None
        build = template.ready_build(split_name(name)[1])
        return build.recipe if build else None

    def builds(self, name: str) -> list[Build]:
        template = self.resolve(name)
        return list(template.builds.values()) if template else []

    def remove(self, name: str) -> bool:
        template = self.resolve(name)
        if template is None:
            return False
        with self._lock:
            self._templates.pop(template.template_id, None)
        return True
