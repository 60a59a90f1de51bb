"""Slow, obvious Python versions of tessel's two text algorithms: the native
module must give the same results for every input."""

import re

BRACE_PATTERN = r"([^{]*)\{([^}]+)\}([^{]*)"


def regroup(args):
    """Join with blanks, split again at blanks outside braces."""
    file_list = []
    current = []
    in_braces = False
    for char in " ".join(args):
        if char == "{":
            current.append(char)
            in_braces = True
        elif char == "}":
            current.append(char)
            in_braces = False
        elif char == " " and not in_braces:
            if current:
                file_list.append("".join(current))
                current = []
        else:
            current.append(char)
    if current:
        file_list.append("".join(current))
    return file_list


def expand(text):
    """Expand the one brace group of a file argument into its paths."""
    match = re.search(BRACE_PATTERN, text)
    if not match:
        return [text]
    prefix, items_str, suffix = match.group(1), match.group(2), match.group(3)
    if prefix and not prefix.endswith(("/", "\\")):
        prefix = prefix + "/"
    items = []
    for part in items_str.split(","):
        items.extend(part.strip().split())
    return [prefix + item + suffix for item in items]


def is_brace_arg(text):
    return "{" in text and "}" in text


def expected_count(file_list):
    return sum(len(expand(f)) if is_brace_arg(f) else 1 for f in file_list)
