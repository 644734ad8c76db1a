#!/usr/bin/env python3
"""Checks every mutant of scripts/mutants.txt (or the list given) without building anything: its
file exists and the text it replaces occurs exactly once there. A mutant whose anchor is gone or
ambiguous would otherwise be reported as "noanchor" only after a long run."""
import os
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "scripts", "mutants.txt")
bad = total = 0
seen = set()
mutant = None
for number, raw in enumerate(open(path, encoding="utf-8"), 1):
    line = raw.rstrip("\n")
    if line.startswith("@ "):
        mutant = line[2:].split(None, 2)[:2] + [number]
    elif line.startswith("- ") and mutant:
        ident, file, at = mutant
        mutant = None
        total += 1
        problem = None
        if ident in seen:
            problem = "the id is used twice"
        seen.add(ident)
        target = os.path.join(root, file)
        if not os.path.isfile(target):
            problem = "no such file"
        else:
            count = open(target, encoding="utf-8").read().count(line[2:])
            if count != 1:
                problem = f"the text occurs {count} times"
        if problem:
            bad += 1
            print(f"{path}:{at}: {ident} {file}: {problem}")
print(f"{total - bad} of {total} mutants anchored once", file=sys.stderr)
sys.exit(1 if bad else 0)
