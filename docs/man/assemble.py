#!/usr/bin/env python3
"""Assembles a manual page's Markdown from its template and the sections of the README and
docs/protocol.md that it names, so that the manual never holds a second, hand-kept copy.

Template lines of the form

    @body FILE "HEADING"        the section's text without its heading; its subsections
                                become the manual's subsections
    @section FILE "HEADING"     the section with its heading, as a subsection
    @lead FILE "HEADING"        the section's text before its first subsection

pull in a section of FILE (relative to the source tree). HEADING may be a path of nested
headings separated by " > ", e.g. "trbrowserctl > Exit status". "@VERSION@" and "@DOCDIR@"
are replaced. Links into the source tree point to where the package installs the files.

Usage: assemble.py TEMPLATE SOURCE_DIR VERSION DOCDIR OUTPUT
"""

import re
import shlex
import sys

HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^(```|~~~)")
LINK = re.compile(r"\[([^\]]+)\]\(([^)\s]+)\)")
TABLE_RULE = re.compile(r"^\|?\s*:?-+:?\s*(\|\s*:?-+:?\s*)*\|?\s*$")
# Files of the source tree that the package installs in DOCDIR, by their place in the tree.
INSTALLED = {"README.md": "README.md", "docs/protocol.md": "protocol.md",
             "docs/examples/": "examples/"}


def headings(lines):
    """(index, level, title) of every Markdown heading outside code blocks."""
    out, in_fence = [], False
    for i, line in enumerate(lines):
        if FENCE.match(line):
            in_fence = not in_fence
            continue
        match = None if in_fence else HEADING.match(line)
        if match:
            out.append((i, len(match.group(1)), match.group(2)))
    return out


def find_section(lines, path, where):
    """The lines of the section that the heading path names, its own heading first, and its
    level."""
    marks = headings(lines)
    start, end, level = 0, len(lines), 0
    for title in path.split(" > "):
        found = [(i, lvl) for i, lvl, t in marks
                 if t == title and start <= i < end and lvl > level]
        if len(found) != 1:
            raise SystemExit("%s: %s heading %r" % (where, "no" if not found else "more than one",
                                                    title))
        start, level = found[0]
        end = next((i for i, lvl, _ in marks if i > start and lvl <= level), len(lines))
    return lines[start:end], level


def relevel(lines, shift, floor):
    """Moves every heading by `shift` levels, never above `floor`."""
    out, in_fence = [], False
    for line in lines:
        if FENCE.match(line):
            in_fence = not in_fence
        match = None if in_fence else HEADING.match(line)
        if match:
            level = max(floor, min(6, len(match.group(1)) + shift))
            line = "#" * level + " " + match.group(2)
        out.append(line)
    return out


def cells(row):
    """The cells of a Markdown table row; "\\|" stays inside its cell."""
    row = row.strip()
    row = row[1:] if row.startswith("|") else row
    row = row[:-1] if row.endswith("|") and not row.endswith("\\|") else row
    # Outside a table the escape is not needed, and inside a code span it would show.
    return [c.strip().replace("\\|", "|") for c in re.split(r"(?<!\\)\|", row)]


def tables_to_lists(lines):
    """Turns each table into a definition list, the usual form of a manual page: the first
    cell is the term; the others, headed by their column's name when there are more than two
    columns, say what it means. Tables squeezed into a terminal's width read badly."""
    out, i = [], 0
    while i < len(lines):
        if not (lines[i].lstrip().startswith("|") and i + 1 < len(lines)
                and TABLE_RULE.match(lines[i + 1])):
            out.append(lines[i])
            i += 1
            continue
        header = cells(lines[i])
        i += 2
        while i < len(lines) and lines[i].lstrip().startswith("|"):
            row = cells(lines[i])
            if len(header) == 2:
                meaning = row[1]
            else:
                meaning = "; ".join("%s: %s" % (name, cell)
                                    for name, cell in zip(header[1:], row[1:]) if cell)
            term = "**%s**" % row[0] if "`" in row[0] else row[0]
            out += [term, ":   " + meaning, ""]
            i += 1
    return out


def rewrite_links(text, docdir):
    def replace(match):
        label, target = match.group(1), match.group(2)
        if re.match(r"^[a-z]+:", target):
            return match.group(0)
        for tree_path, installed in INSTALLED.items():
            if target == tree_path or (tree_path.endswith("/") and target.startswith(tree_path)):
                place = docdir + "/" + installed + target[len(tree_path):]
                return place if label.strip("`") == target else "%s (%s)" % (label, place)
        return label
    return LINK.sub(replace, text)


def assemble(template_path, source_dir, version, docdir):
    out = []
    with open(template_path, encoding="utf-8") as f:
        template = f.read().replace("@VERSION@", version).replace("@DOCDIR@", docdir)
    for number, line in enumerate(template.splitlines(), 1):
        if not line.startswith("@"):
            out.append(line)
            continue
        where = "%s:%d" % (template_path, number)
        words = shlex.split(line)
        if len(words) != 3 or words[0] not in ("@body", "@section", "@lead"):
            raise SystemExit(where + ": expected @body, @section or @lead FILE \"HEADING\"")
        with open("%s/%s" % (source_dir, words[1]), encoding="utf-8") as f:
            lines = f.read().splitlines()
        section, level = find_section(lines, words[2], where + ": " + words[1])
        if words[0] == "@lead":
            inner = [i for i, _, _ in headings(section[1:])]
            out += section[1:inner[0] + 1] if inner else section[1:]
        elif words[0] == "@body":
            # Subsections of the section become the manual's subsections (level 2).
            out += relevel(section[1:], 1 - level, 2)
        else:
            out += relevel(section, 2 - level, 2)
        out.append("")
    return rewrite_links("\n".join(tables_to_lists(out)) + "\n", docdir)


def main():
    if len(sys.argv) != 6:
        raise SystemExit(__doc__)
    template, source_dir, version, docdir, output = sys.argv[1:]
    text = assemble(template, source_dir, version, docdir)
    with open(output, "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main()
