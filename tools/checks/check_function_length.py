#!/usr/bin/env python3
"""Every function of the product and the rig fits on a screen or two: at most LIMIT lines.

    tools/checks/check_function_length.py [--limit N] DIR|FILE...   (exit 0: none longer; 1: the list)

C and C++ in the house style: a function's body opens with "{" alone at column 0 and closes with
"}" at column 0; a type or namespace body, which also opens there, is told by its head line.
Methods defined in a class body are indented and short by habit, so they are not measured.
Python functions by their syntax tree; shell functions as "name() {" ... "}" at column 0.
"""
import ast
import os
import re
import sys

SOURCES = (".c", ".cpp", ".h")
NOT_A_FUNCTION = re.compile(r"^\s*(namespace|struct|class|union|enum|typedef|extern\s+\"C\")\b|=\s*$")


def c_functions(path, lines):
    head = ""
    start = None
    for number, line in enumerate(lines, 1):
        if start is None:
            if line.rstrip() == "{" and not NOT_A_FUNCTION.search(head):
                start = number
                name = head.strip()
            elif line.strip():
                head = line
        elif line.startswith("}"):
            yield name, start, number
            start = None


def python_functions(path, text):
    for node in ast.walk(ast.parse(text, path)):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node.lineno, node.end_lineno


def shell_functions(path, lines):
    start = None
    for number, line in enumerate(lines, 1):
        match = re.match(r"^([A-Za-z_][\w-]*)\s*\(\)\s*\{\s*$", line)
        if match:
            start, name = number, match.group(1)
        elif start is not None and line.startswith("}"):
            yield name, start, number
            start = None


def functions(path):
    if not path.endswith(SOURCES + (".py", ".sh")):
        return []
    # Some sources are in the product's code page (936); only the ASCII structure matters here.
    with open(path, encoding="latin-1") as f:
        text = f.read()
    lines = text.split("\n")
    if path.endswith(SOURCES):
        return c_functions(path, lines)
    if path.endswith(".py"):
        return python_functions(path, text)
    return shell_functions(path, lines)


def main(argv):
    limit = 100
    if len(argv) > 2 and argv[1] == "--limit":
        limit = int(argv[2])
        argv = argv[2:]
    long_ones = []
    paths = []
    for top in argv[1:]:
        paths += [top] if os.path.isfile(top) else [
            os.path.join(folder, name) for folder, _, names in sorted(os.walk(top)) for name in sorted(names)]
    for path in paths:
        for function, first, last in functions(path):
            if last - first + 1 > limit:
                long_ones.append("%s:%d: %s is %d lines" % (path, first, function, last - first + 1))
    for line in long_ones:
        print(line)
    if long_ones:
        print("%d functions over %d lines" % (len(long_ones), limit))
        return 1
    print("no function over %d lines" % limit)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
