#!/usr/bin/env python3
"""The tests' share of the code as docs/MUTANTS.md counts it: non-blank C++ lines (.cpp, .cc, .h,
.hpp) that are not comments, under tests/ against all others of the tree (build folders and hidden
folders left out)."""
import os
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def code_lines(path):
    n = 0
    in_block = False
    for raw in open(path, errors="replace"):
        s = raw.strip()
        if in_block:
            if "*/" not in s:
                continue
            in_block = False
            s = s.split("*/", 1)[1].strip()
        if not s or s.startswith("//"):
            continue
        if s.startswith("/*"):
            if "*/" not in s:
                in_block = True
                continue
            if not s.split("*/", 1)[1].strip():
                continue
        n += 1
    return n


tests = code = 0
for folder, subfolders, files in os.walk(root):
    subfolders[:] = [d for d in subfolders if not d.startswith((".", "build"))]
    for name in files:
        if name.endswith((".cpp", ".cc", ".h", ".hpp")):
            path = os.path.join(folder, name)
            if os.path.relpath(path, root).startswith("tests" + os.sep):
                tests += code_lines(path)
            else:
                code += code_lines(path)
print(f"test lines {tests}, code lines {code}, share {100 * tests / code:.1f} %")
