#!/usr/bin/env python3
"""Every function that docs/ARCHITECTURE.md names still exists in the code.

The page traces flows by function name; a rename or a removal leaves it
telling a new engineer about code that is gone. Names are looked up in the
sources of link/, app/, sim/ and tools/ wherever they are (files move between
folders; only the names matter), with comments blanked out, so that a name
that lives on only in a comment counts as missing.

What counts as a name on the page: a backticked span that is a qualified name
(`Class::function`, `Class::function()`, `Outer::Inner::member`) or a plain
call (`function()`). Names of other libraries (Qt, libusb, libmicrohttpd,
Avahi, the C library) are not ours to check. Each name is found when the code
uses it as written (`Class::function` in a definition, a call or a pointer
to member: the code compiles, so it exists), or when a class, struct or
namespace of that name declares or defines the member inside its body.

Usage: check_architecture.py [--root DIR] [--page FILE]
Exits 1 with the list of missing names.
"""

import argparse
import os
import re
import sys

SOURCE_DIRS = ("link", "app", "sim", "tools")
SOURCE_EXTENSIONS = (".h", ".hpp", ".c", ".cc", ".cpp")

# Names of other libraries: the page names them as what our code calls.
FOREIGN = re.compile(
    r"^(std::|Q[A-Z]|Qt|q[A-Z]|libusb_|MHD_|avahi_|pthread_|mosquitto_|yajl_|umockdev_|"
    r"sigaction|pipe2|write\(\)|read\(\)|main\(\))"
)
QUALIFIED = re.compile(r"^~?[A-Za-z_]\w*(?:::~?[A-Za-z_]\w*)+(?:\(\))?$")
PLAIN_CALL = re.compile(r"^[A-Za-z_]\w*\(\)$")
BACKTICKED = re.compile(r"`([^`\n]+)`")


def strip_comments(text):
    """Blanks // and /* */ comments, keeping strings and line breaks."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == "/" and i + 1 < n and text[i + 1] == "/":
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif c == "/" and i + 1 < n and text[i + 1] == "*":
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("\n" * text.count("\n", i, j))
            i = j
        elif c in "\"'":
            # A raw string literal R"(...)" is read to its closing delimiter.
            if c == '"' and i > 0 and text[i - 1] == "R":
                m = re.match(r'"([^(\s]*)\(', text[i:])
                if m:
                    end = text.find(")" + m.group(1) + '"', i)
                    end = n if end < 0 else end + len(m.group(1)) + 2
                    out.append(text[i:end])
                    i = end
                    continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(text[i : j + 1])
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_sources(root):
    code = []
    for top in SOURCE_DIRS:
        for folder, _, files in os.walk(os.path.join(root, top)):
            for name in files:
                if name.endswith(SOURCE_EXTENSIONS):
                    with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
                        code.append(strip_comments(f.read()))
    return "\n".join(code)


_bodies = {}


def bodies_of(code, scope):
    """The bodies of every class, struct or namespace named `scope`."""
    if scope not in _bodies:
        _bodies[scope] = list(_find_bodies(code, scope))
    return _bodies[scope]


def _find_bodies(code, scope):
    head = re.compile(r"\b(?:class|struct|namespace)\s+(?:\w+::)*" + re.escape(scope) + r"\b[^;{]*\{")
    for m in head.finditer(code):
        depth, i = 1, m.end()
        while i < len(code) and depth:
            depth += {"{": 1, "}": -1}.get(code[i], 0)
            i += 1
        yield code[m.end() : i]


def exists(name, code):
    bare = name[:-2] if name.endswith("()") else name
    if PLAIN_CALL.match(name):
        return re.search(r"\b" + re.escape(bare) + r"\s*\(", code) is not None
    parts = bare.split("::")
    if re.search(r"\b" + re.escape(bare) + r"\b", code):
        return True
    scope, member = parts[-2], parts[-1]
    pattern = re.compile(r"(?<![\w])" + re.escape(member) + r"\b")
    return any(pattern.search(body) for body in bodies_of(code, scope))


def names_on(page_text):
    # Fenced blocks are examples, not claims about the code.
    text = re.sub(r"^```.*?^```", "", page_text, flags=re.S | re.M)
    seen = []
    for span in BACKTICKED.findall(text):
        span = span.strip()
        if FOREIGN.match(span):
            continue
        if (QUALIFIED.match(span) or PLAIN_CALL.match(span)) and span not in seen:
            seen.append(span)
    return seen


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.normpath(os.path.join(here, "..", "..")))
    parser.add_argument("--page")
    args = parser.parse_args()
    page = args.page or os.path.join(args.root, "docs", "ARCHITECTURE.md")

    with open(page, encoding="utf-8") as f:
        names = names_on(f.read())
    code = read_sources(args.root)
    missing = [n for n in names if not exists(n, code)]
    if not names:
        print(f"{page}: no function names found; is this the architecture page?")
        return 1
    if missing:
        print(f"{page} names {len(missing)} function(s) that the sources no longer have:")
        for n in missing:
            print(f"  {n}")
        print("Rename them on the page (or restore them in the code).")
        return 1
    print(f"{page}: all {len(names)} names found in {', '.join(SOURCE_DIRS)}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
