#!/usr/bin/env python3
"""Turns a manual page written in a small plain-text format into roff, gzipped
as Debian wants it (gzip -9n: no name, no time stamp).

    mkman.py SOURCE OUTPUT.gz --version V --changelog FILE [--help-of PROGRAM]

The source format (close to scdoc's):

    PROGRAM(SECTION)                   first line: the page's name and section
    # HEADING                          a section heading (NAME, SYNOPSIS, ...)
    blank line                         ends a paragraph
    term line, then lines indented     a tagged paragraph: the term, then its
    by 4 blanks                        description
    ``` ... ```                        text shown as it is (no filling)
    @help                              PROGRAM --help, shown as it is
    *bold*  _italic_                   inline faces; "_" inside a word
                                       (log_file_path) stays an underscore

The page's date is the date of the changelog's newest entry, so that building
twice gives the same page.
"""

import argparse
import email.utils
import gzip
import re
import subprocess
import sys


def escape(text):
    text = text.replace("\\", "\\e")
    # A line may not start with a control character.
    if text.startswith((".", "'")):
        text = "\\&" + text
    return text


def inline(text):
    text = escape(text)
    # Dashes in bold text are options: minus signs, not hyphens.
    text = re.sub(r"(?<![\w*])\*([^*\s](?:[^*]*[^*\s])?)\*(?![\w*])",
                  lambda m: "\\fB" + m.group(1).replace("-", "\\-") + "\\fR", text)
    text = re.sub(r"(?<![\w])_([^_\s](?:[^_]*[^_\s])?)_(?![\w])",
                  lambda m: "\\fI" + m.group(1) + "\\fR", text)
    return text


def verbatim(lines):
    out = [".PP", ".nf", ".RS 2"]
    for line in lines:
        out.append(escape(line).replace("-", "\\-") if line else "")
    out += [".RE", ".fi"]
    return out


def changelog_date(path):
    with open(path) as f:
        for line in f:
            if line.startswith(" -- "):
                stamp = line.split("  ", 1)[1].strip()
                return email.utils.parsedate_to_datetime(stamp).strftime("%Y-%m-%d")
    raise SystemExit(f"{path}: no trailer line with a date")


def convert(source, version, date, help_of):
    lines = source.splitlines()
    title = re.fullmatch(r"([\w.-]+)\((\d)\)", lines[0].strip())
    if not title:
        raise SystemExit("the first line must be PROGRAM(SECTION)")
    name, section = title.groups()
    out = [f'.TH "{name.upper()}" "{section}" "{date}" "corvane {version}" "corvane media tier"',
           ".nh", ".ad l"]
    i = 1
    in_paragraph = False
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            in_paragraph = False
            i += 1
        elif line.startswith("# "):
            out.append(".SH " + escape(line[2:].strip()))
            in_paragraph = False
            i += 1
        elif line.strip() == "```":
            end = lines.index("```", i + 1)
            out += verbatim(lines[i + 1:end])
            in_paragraph = False
            i = end + 1
        elif line.strip() == "@help":
            if not help_of:
                raise SystemExit("@help needs --help-of")
            done = subprocess.run([help_of, "--help"], capture_output=True, text=True, timeout=60)
            text = (done.stdout + done.stderr).rstrip("\n")
            if done.returncode != 0 or not text:
                raise SystemExit(f"{help_of} --help failed: {text}")
            out += verbatim(text.splitlines())
            in_paragraph = False
            i += 1
        elif i + 1 < len(lines) and lines[i + 1].startswith("    ") and not line.startswith(" "):
            out += [".TP", inline(line.strip())]
            i += 1
            while i < len(lines) and lines[i].startswith("    "):
                out.append(inline(lines[i].strip()))
                i += 1
            in_paragraph = False
        else:
            if not in_paragraph:
                out.append(".PP")
                in_paragraph = True
            out.append(inline(line.strip()))
            i += 1
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("source")
    parser.add_argument("output")
    parser.add_argument("--version", required=True)
    parser.add_argument("--changelog", required=True)
    parser.add_argument("--help-of")
    args = parser.parse_args()
    with open(args.source) as f:
        roff = convert(f.read(), args.version, changelog_date(args.changelog), args.help_of)
    with open(args.output, "wb") as raw:
        with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=raw, mtime=0) as f:
            f.write(roff.encode())


if __name__ == "__main__":
    sys.exit(main())
