#!/usr/bin/env python3
"""Writes a man page from a template and the usage text a program prints.

    make-manpage.py --template Updater.1.in --output Updater.1 -- PROGRAM ARG...

The template is roff; the line "@USAGE@" is replaced by what PROGRAM ARG...
writes on standard error (the usage), set as a literal block, and "@VERSION@"
by the version given with --version. So the page shows the very text the
program prints and the two cannot drift apart.
"""
import argparse
import os
import subprocess
import sys


def roff_literal(text):
    """Text as a no-fill block: backslashes doubled, leading dots and quotes guarded."""
    lines = [".nf", ".ft CR"]
    for line in text.rstrip("\n").split("\n"):
        line = line.rstrip().replace("\\", "\\e")
        if line.startswith((".", "'")):
            line = "\\&" + line
        lines.append(line)
    lines += [".ft R", ".fi"]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--template", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--version", default="")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()

    run = subprocess.run(args.command, capture_output=True, text=True, timeout=60)
    usage = run.stderr.strip("\n")
    if not usage:
        sys.exit(f"make-manpage: {args.command[0]} printed no usage")
    with open(args.template, encoding="utf-8") as template:
        page = template.read()
    if "@USAGE@" not in page:
        sys.exit(f"make-manpage: {args.template} has no @USAGE@ line")
    page = page.replace("@USAGE@", roff_literal(usage)).replace("@VERSION@", args.version)
    with open(args.output + ".tmp", "w", encoding="utf-8") as out:
        out.write(page)
    os.replace(args.output + ".tmp", args.output)


if __name__ == "__main__":
    main()
