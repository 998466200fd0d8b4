#!/usr/bin/env python3
"""Lists the C++ functions longer than a limit, counting the whole definition from its first
line (template and return type included) to its closing brace.

Usage: scripts/function_length.py LIMIT PATH...
       scripts/function_length.py --self-test
PATH is a file or a directory (its .cpp and .h files, recursively, leaving out build trees and
hidden or third-party directories). Exits 1 when a function is longer than LIMIT lines, after
naming each one as FILE:LINE: NAME is N lines.

It reads the source as a reader does, not as a compiler: comments, literals and preprocessor
lines are set aside, then every brace at namespace or class level that follows a parameter
list opens a function. Lambdas and local classes count as part of the function around them.
A template's parameter list is no parameter list of a function; `extern "C"` with a brace of
its own opens a scope, and before a declaration it is part of the function's head.
"""
import os
import pathlib
import re
import sys

SUFFIXES = {".cpp", ".h"}
# Not our code, or not source: what CMake builds, and what others wrote.
SKIPPED_DIRECTORIES = {"build", "third_party", "third-party", "vendor"}
ACCESS = re.compile(r"^\s*(?:public|private|protected)\s*:(?!:)")
OPERATOR = re.compile(r"\boperator\s*(?:\(\)|[^\s(]+)")


def blank(text):
    """The text with comments, string and character literals and preprocessor lines replaced by
    spaces, so that only code is left and every line keeps its number."""
    out = []
    i = 0
    n = len(text)
    line_start = True
    # Only the first branch of a conditional is read, as if its condition held: the other
    # branches would open a second function head for one body.
    branches = []  # per open conditional: whether a later branch is being skipped
    while i < n:
        c = text[i]
        if line_start and c == "#":
            # A directive runs to the end of the line, and on over escaped line ends.
            j = i
            while j < n and text[j] != "\n":
                j += 2 if text[j] == "\\" and j + 1 < n else 1
            directive = re.match(r"#\s*(\w*)", text[i:j]).group(1)
            if directive in ("if", "ifdef", "ifndef"):
                branches.append(False)
            elif directive in ("elif", "else") and branches:
                branches[-1] = True
            elif directive == "endif" and branches:
                branches.pop()
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
            continue
        if c == "\n":
            line_start = True
            out.append(c)
            i += 1
            continue
        if any(branches):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
            continue
        if not c.isspace():
            line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not _word(text[i - 1])):
            open_paren = text.find("(", i + 2)
            delimiter = text[i + 2 : open_paren]
            j = text.find(")" + delimiter + '"', open_paren)
            j = n if j < 0 else j + len(delimiter) + 2
            out.append('""' + re.sub(r"[^\n]", " ", text[i + 2 : j]))
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():
                out.append(c)  # a digit separator: 1'000
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _word(c):
    return c.isalnum() or c == "_"


def line_of(text, index):
    return text.count("\n", 0, index) + 1


def matching_brace(code, open_index):
    depth = 0
    for j in range(open_index, len(code)):
        if code[j] == "{":
            depth += 1
        elif code[j] == "}":
            depth -= 1
            if depth == 0:
                return j
    return len(code) - 1


def in_initializer_list(head):
    """Whether a constructor's member initializers have begun: a ':' after the parameter
    list's ')'."""
    close = head.rfind(")")
    return close >= 0 and re.search(r"\)[^;{}]*?(?<!:):(?!:)", head[head.find("(") :]) is not None


def without_template_parameters(head):
    """The head with each `template <...>` parameter list blanked, so that a non-type parameter
    such as `void (*F)(int)` is not read as the function's name and parameters."""
    out = list(head)
    for start in re.finditer(r"\btemplate\s*<", head):
        angles = parentheses = 0
        for j in range(start.start(), len(head)):
            c = head[j]
            if c == "(":
                parentheses += 1
            elif c == ")":
                parentheses -= 1
            elif c == "<" and parentheses == 0:
                angles += 1
            elif c == ">" and parentheses == 0:
                angles -= 1
            out[j] = " " if c != "\n" else c
            if angles == 0 and c == ">":
                break
    return "".join(out)


def kind_of_block(head):
    """'function', 'scope' (namespace, class: functions may be inside) or 'data'."""
    words = re.sub(r"\s+", " ", without_template_parameters(head)).strip()
    if re.search(r"\b(?:enum)\b", words):
        return "data"
    if re.match(r"^(?:inline )?namespace\b", words) or re.match(r'^extern " *"$', words):
        return "scope"
    before_paren = OPERATOR.sub("operator", words.split("(", 1)[0])
    if "(" in words and "=" not in before_paren and not re.search(
        r"\b(?:class|struct|union)\b", before_paren
    ):
        return "function"
    if re.search(r"\b(?:class|struct|union)\b", words) and "=" not in words:
        return "scope"
    return "data"


def name_of(head):
    """The function's name; a test's is its suite and name, as GoogleTest prints them."""
    head = without_template_parameters(head)
    test = re.search(r"\bTEST(?:_F|_P)?\s*\(\s*(\w+)\s*,\s*(\w+)\s*\)", head)
    if test:
        return f"{test.group(1)}.{test.group(2)}"
    name = re.search(r"((?:[~\w:]*)operator\s*(?:\(\)|[^\s(]+)|[~\w:]+)\s*\(", head)
    return name.group(1) if name else "?"


def functions(code):
    """Yields (name, first line, last line) of every function defined in `code`."""
    i = 0
    head_start = 0
    n = len(code)
    scope_ends = []
    while i < n:
        c = code[i]
        if scope_ends and i == scope_ends[-1]:
            scope_ends.pop()
            head_start = i + 1
        elif c in ";":
            head_start = i + 1
        elif c == "}":
            head_start = i + 1
        elif c == "{":
            head = code[head_start:i]
            previous = head.rstrip()[-1:]
            inside_parentheses = head.count("(") > head.count(")")
            if inside_parentheses or (
                in_initializer_list(head) and (_word(previous) or previous == ">")
            ):
                # A default argument, or a member initialised with braces: part of the head.
                i = matching_brace(code, i) + 1
                continue
            kind = kind_of_block(head)
            close = matching_brace(code, i)
            if kind == "scope":
                scope_ends.append(close)
                head_start = i + 1
            else:
                if kind == "function":
                    stripped = ACCESS.sub(lambda m: " " * len(m.group(0)), head)
                    first = head_start + len(stripped) - len(stripped.lstrip())
                    yield (name_of(head), line_of(code, first), line_of(code, close))
                i = close + 1
                head_start = i
                continue
        i += 1


def skipped(directory):
    name = directory.name
    return (
        name.startswith(".")
        or name in SKIPPED_DIRECTORIES
        or (directory / "CMakeCache.txt").exists()  # a build tree, whatever its name
    )


def sources(paths):
    for path in map(pathlib.Path, paths):
        if not path.is_dir():
            yield path
            continue
        found = []
        for directory, subdirectories, files in os.walk(path):
            here = pathlib.Path(directory)
            subdirectories[:] = [d for d in subdirectories if not skipped(here / d)]
            found += [here / f for f in files if pathlib.Path(f).suffix in SUFFIXES]
        yield from sorted(found)


# What the reading above got wrong once, each with the functions it must find: (name, lines).
SELF_TESTS = [
    (
        'extern "C" int Entry(int x) {\n    return x;\n}\n',
        [("Entry", 3)],
    ),
    (
        'extern "C" {\nint Inside() {\n    return 0;\n}\n}\n',
        [("Inside", 3)],
    ),
    (
        "template <typename S, void (*Out)(S&)> class Slots {\n"
        "public:\n"
        "    void End(S& s) {\n        Out(s);\n    }\n"
        "};\n",
        [("End", 3)],
    ),
    (
        "template <typename T, int (*F)(T)>\nint Apply(T t) {\n    return F(t);\n}\n",
        [("Apply", 4)],
    ),
    (
        "TEST_F(Suite, Name) {\n    EXPECT_TRUE(true);\n}\n",
        [("Suite.Name", 3)],
    ),
]


def self_test():
    failed = 0
    for snippet, expected in SELF_TESTS:
        found = [(name, last - first + 1) for name, first, last in functions(blank(snippet))]
        if found != expected:
            print(f"expected {expected}, found {found} in:\n{snippet}")
            failed += 1
    return 1 if failed else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) < 3 or not argv[1].isdigit():
        print(__doc__[__doc__.index("Usage") : __doc__.index("PATH is")], end="", file=sys.stderr)
        return 2
    limit = int(argv[1])
    too_long = 0
    for path in sources(argv[2:]):
        code = blank(path.read_text(encoding="utf-8", errors="replace"))
        for name, first, last in functions(code):
            if last - first + 1 > limit:
                print(f"{path}:{first}: {name} is {last - first + 1} lines (at most {limit})")
                too_long += 1
    if too_long:
        print(f"{too_long} function(s) over {limit} lines: split them into named steps")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
