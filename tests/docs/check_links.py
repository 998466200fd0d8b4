#!/usr/bin/env python3
"""Every relative link of README.md and docs/*.md points to a file of the tree, and every
#anchor to a heading of the file it names. Usage: check_links.py SOURCE_DIR"""
import pathlib
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from markdown import anchors, links


def check(root):
    root = root.resolve()
    pages = [root / "README.md", *sorted((root / "docs").glob("*.md"))]
    problems = []
    for page in pages:
        for number, target in links(page.read_text(encoding="utf-8")):
            if ":" in target.split("#")[0].split("/")[0]:
                continue  # https:, mailto: and the like
            path, _, anchor = target.partition("#")
            where = f"{page.relative_to(root)}:{number}: {target}"
            file = (page.parent / path).resolve() if path else page
            if root not in file.parents and file != root:
                problems.append(f"{where}: points outside the tree")
            elif not file.exists():
                problems.append(f"{where}: no such file")
            elif anchor and file.suffix != ".md":
                problems.append(f"{where}: an anchor into a file that is not Markdown")
            elif anchor and anchor not in anchors(file.read_text(encoding="utf-8")):
                problems.append(f"{where}: no heading '{anchor}' in {file.relative_to(root)}")
    return len(pages), problems


def main():
    checked, problems = check(pathlib.Path(sys.argv[1]))
    for problem in problems:
        print(problem)
    print(f"{checked} pages checked, {len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
