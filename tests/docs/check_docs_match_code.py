#!/usr/bin/env python3
"""The tables of the docs that name what the code defines name exactly that: the keyword table
of docs/initialisation-file.md holds the keywords of kIniKeywordNames in config/ini_names.h, and the
counter table of docs/line-health.md holds kLineCounterNames of
include/merix/statistics_gates.h, in their order. Usage: check_docs_match_code.py SOURCE_DIR"""
import pathlib
import re
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from markdown import table_column


def between(text, start, end, what):
    begin = text.find(start)
    if begin < 0:
        raise SystemExit(f"{what}: '{start}' not found; update this check with the code")
    return text[begin : text.index(end, begin)]


def ini_keywords(root):
    source = (root / "config" / "ini_names.h").read_text(encoding="utf-8")
    table = between(source, "kIniKeywordNames[] = {", "};", "config/ini_names.h")
    return re.findall(r'"([^"]+)"', table)


def counter_names(root):
    header = (root / "include" / "merix" / "statistics_gates.h").read_text(encoding="utf-8")
    names = between(header, "kLineCounterNames[] = {", "};", "statistics_gates.h")
    return re.findall(r'"([^"]+)"', names)


def compare(what, documented, defined, ordered):
    if not defined:
        return [f"{what}: nothing found in the code; update this check with the code"]
    if documented is None:
        return [f"{what}: the table is missing"]
    problems = []
    for name in defined:
        if name not in documented:
            problems.append(f"{what}: {name} is defined but not documented")
    for name in documented:
        if name not in defined:
            problems.append(f"{what}: {name} is documented but not defined")
        if documented.count(name) > 1:
            problems.append(f"{what}: {name} is documented {documented.count(name)} times")
    if ordered and not problems and documented != defined:
        problems.append(f"{what}: the order differs: {documented} against {defined}")
    return problems


def main():
    root = pathlib.Path(sys.argv[1])
    ini = (root / "docs" / "initialisation-file.md").read_text(encoding="utf-8")
    health = (root / "docs" / "line-health.md").read_text(encoding="utf-8")
    problems = compare("docs/initialisation-file.md keywords", table_column(ini, "Keyword"),
                       ini_keywords(root), ordered=False)
    problems += compare("docs/line-health.md counters", table_column(health, "Counter"),
                        counter_names(root), ordered=True)
    for problem in problems:
        print(problem)
    print(f"{len(problems)} differences between the docs and the code")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
