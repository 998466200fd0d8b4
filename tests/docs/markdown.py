"""The little of Markdown the docs checks need: fenced code, headings, links and tables."""
import re

FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")


def prose_lines(text):
    """(line number, line) of every line outside fenced code blocks."""
    fenced = False
    for number, line in enumerate(text.split("\n"), start=1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced:
            yield number, line


def github_anchor(heading):
    """The anchor GitHub gives a heading: lower case, punctuation dropped, spaces to dashes."""
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # a link keeps its text
    text = text.lower()
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def anchors(text):
    """Every heading's anchor, with GitHub's -1, -2 for repeated ones."""
    seen = {}
    result = set()
    for _, line in prose_lines(text):
        match = HEADING.match(line)
        if not match:
            continue
        base = github_anchor(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def links(text):
    """(line number, target) of every inline link and image outside code."""
    for number, line in prose_lines(text):
        for match in LINK.finditer(CODE_SPAN.sub("", line)):
            yield number, match.group(1)


def table_column(text, header):
    """The first cells of the body rows of the first table whose first header cell is
    `header`, backticks and blanks stripped; None when there is no such table."""
    rows = None
    for _, line in prose_lines(text):
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if rows is None:
            if line.lstrip().startswith("|") and cells[0] == header:
                rows = []
            continue
        if not line.lstrip().startswith("|"):
            break
        if set(cells[0]) <= set("-: "):
            continue  # the delimiter row
        rows.append(cells[0].strip("`").strip())
    return rows
