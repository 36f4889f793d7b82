#!/usr/bin/env python3
"""The library's folders under src/ are layers: a file includes only from its
own folder and the folders below it, never from one above (which would make
a circle). Internal includes name their folder ("format/record_format.h").

usage: check_layers.py SRC_DIR
"""
import os
import re
import sys

# Bottom first; a folder may include from itself and those before it.
LAYERS = ["status", "format", "kernels", "stdio", "api"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def main():
    src = sys.argv[1]
    problems = []
    for root, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp")):
                continue
            path = os.path.join(root, name)
            rel = os.path.relpath(path, src)
            layer = rel.split(os.sep)[0]
            if layer not in LAYERS:
                problems.append("%s: not in a layer folder (%s)" % (rel, ", ".join(LAYERS)))
                continue
            with open(path, encoding="utf-8") as f:
                text = f.read()
            for target in INCLUDE.findall(text):
                if target == "qelcode.h":
                    continue
                to = target.split("/")[0]
                if "/" not in target or to not in LAYERS:
                    problems.append('%s: includes "%s", which names no layer folder' % (rel, target))
                elif LAYERS.index(to) > LAYERS.index(layer):
                    problems.append('%s: includes "%s" from %s/, a layer above %s/' % (rel, target, to, layer))
                elif not os.path.exists(os.path.join(src, target)):
                    problems.append('%s: includes "%s", which does not exist' % (rel, target))
    for p in problems:
        print(p)
    print("%d problem(s)" % len(problems) if problems else "every include points to its own layer or one below")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
