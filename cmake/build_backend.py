"""The build backend: scikit-build-core, keeping the build tree from one `pip install .` to the next.

pip builds every `pip install .` in a fresh isolated environment, and scikit-build-core clears the CMake cache and
every compiled object of a build tree that another environment made, so the README's second command recompiled
what the first had just built.  What the objects depend on (compiler, flags, sources) CMake and Ninja track
themselves; so a tree that the same scikit-build-core version made from this source is marked as this
environment's before scikit-build-core looks, and only what changed recompiles.
"""

import json
from pathlib import Path

import scikit_build_core
from scikit_build_core import build as _backend
from scikit_build_core.build import *  # noqa: F403 (the hooks pip calls, unchanged but the two below)

__all__ = list(_backend.__all__)


def _adopt_build_trees():
    source = Path.cwd().resolve()
    version = scikit_build_core.__version__
    backend = Path(scikit_build_core.__file__).parent.resolve()
    for info_file in source.glob("build/*/.skbuild-info.json"):
        try:
            info = json.loads(info_file.read_text())
        except (OSError, ValueError):
            continue  # scikit-build-core clears an unreadable one itself
        same_build = info.get("source_dir") == str(source) and info.get("skbuild_version") == version
        if same_build and info.get("skbuild_path") != str(backend):
            info_file.write_text(json.dumps({**info, "skbuild_path": str(backend)}, indent=2))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    _adopt_build_trees()
    return _backend.build_wheel(wheel_directory, config_settings, metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    _adopt_build_trees()
    return _backend.build_editable(wheel_directory, config_settings, metadata_directory)
