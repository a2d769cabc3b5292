#!/usr/bin/env python3
"""Two figures of the source tree that the project keeps an eye on.

1. Test lines against code lines: non-blank lines that are not only a // comment or inside a
   /* */ comment, in the C++ sources (.cpp, .hpp). Code is the library, the helper and the
   benchmarks; the fuzz targets are counted on a line of their own, and the project's measure is
   the tests against everything else (the fuzz targets counted with the code): at most 35 %.
2. Include cycles between the library's modules (a header and its sources; the BlockerService*
   sources are one module).

usage: scripts/code-metrics.py [CHECKOUT]   (the checkout this script lies in by default)
"""
import glob
import os
import re
import sys


def lines(paths):
    count = 0
    for path in paths:
        in_comment = False
        for raw in open(path, encoding="utf-8", errors="replace"):
            line = raw.strip()
            if in_comment:
                if "*/" not in line:
                    continue
                in_comment, line = False, line.split("*/", 1)[1].strip()
            if not line or line.startswith("//"):
                continue
            if line.startswith("/*"):
                in_comment = "*/" not in line
                continue
            count += 1
    return count


def sources(root, *folders):
    found = []
    for folder in folders:
        for extension in ("cpp", "hpp"):
            found += glob.glob(os.path.join(root, folder, "**", "*." + extension), recursive=True)
    return sorted(found)


def module(name):
    return "BlockerService" if name.startswith("BlockerService") else name


def include_cycles(root):
    graph = {}
    for path in sources(root, "VellorinBlockerCore"):
        own = module(os.path.splitext(os.path.basename(path))[0])
        for raw in open(path, encoding="utf-8"):
            found = re.match(r'#include "VellorinBlockerCore/(\w+)\.hpp"', raw)
            if found and module(found.group(1)) != own:
                graph.setdefault(own, set()).add(module(found.group(1)))
    cycles, state = [], {}

    def visit(node, trail):
        state[node] = "open"
        for neighbour in sorted(graph.get(node, ())):
            if state.get(neighbour) == "open":
                cycles.append(trail[trail.index(neighbour):] + [neighbour])
            elif neighbour not in state:
                visit(neighbour, trail + [neighbour])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    return cycles


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    code = lines(sources(root, "VellorinBlockerCore", "VellorinHelper", "bench"))
    tests = lines(sources(root, "tests"))
    fuzz = lines(sources(root, "fuzz"))
    print(f"code {code} lines (library, helper, benchmarks), tests {tests} lines: tests are {tests / code:.1%} of code")
    print(f"fuzz targets {fuzz} lines: counted with the code {tests / (code + fuzz):.2%}, with the tests {(tests + fuzz) / code:.1%}")
    cycles = include_cycles(root)
    print("include cycles: " + ("; ".join(" -> ".join(cycle) for cycle in cycles) if cycles else "none"))


if __name__ == "__main__":
    main()
