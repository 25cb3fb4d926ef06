"""Prints where this interpreter finds packages installed under PREFIX,
relative to PREFIX: the shortest of its site folders under PREFIX, or the
folder its own installation scheme gives PREFIX when none lies there.

    python3 PythonInstallDir.py PREFIX

With --searches FOLDER it exits with 0 when this interpreter imports from
FOLDER as it starts, else with 1.

    python3 -E PythonInstallDir.py --searches FOLDER
"""

import os
import site
import sys
import sysconfig


def relative_dir(prefix):
    prefix = os.path.abspath(prefix)
    folders = site.getsitepackages() if hasattr(site, "getsitepackages") else []
    inside = []
    for folder in folders + [p for p in sys.path if p.endswith(("site-packages", "dist-packages"))]:
        folder = os.path.abspath(folder)
        if os.path.commonpath([folder, prefix]) == prefix and folder != prefix:
            inside.append(os.path.relpath(folder, prefix))
    if inside:
        # /usr holds both lib/python3/dist-packages and local/...; the first
        # of the shortest is the interpreter's own choice.
        return min(inside, key=lambda path: len(path.split(os.sep)))
    scheme = "nt" if os.name == "nt" else "posix_prefix"
    path = sysconfig.get_path("purelib", scheme, vars={"base": prefix, "platbase": prefix})
    return os.path.relpath(path, prefix)


def searches(folder):
    real = os.path.realpath(folder)
    user = [site.getusersitepackages()] if site.ENABLE_USER_SITE else []
    return any(os.path.realpath(path) == real for path in sys.path + user if path)


if __name__ == "__main__":
    if sys.argv[1] == "--searches":
        sys.exit(0 if searches(sys.argv[2]) else 1)
    print(relative_dir(sys.argv[1]).replace(os.sep, "/"))
