#!/usr/bin/env python3
"""Keeps the manual page in step with the command.

    test_manual.py --binary build/cli/flvsplice --page build/packaging/flvsplice.1

Every command and every option that `flvsplice [COMMAND] --help` lists must be
described in the page: the top level's options under OPTIONS, a command's in
its subsection of COMMANDS (or under OPTIONS when the top level has it too).
Described means named by an item (.TP) there. The values an option offers
must be items of the page, every result code of flvsplice/common/FlvResult.h
must be listed under ERRORS, and the page must carry the version that
--version prints.
"""

import argparse
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from help_text import read_all  # noqa: E402

BINARY = PAGE = None
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCE = "packaging/flvsplice.1.in"


def plain(line):
    """The text of one line of roff source: no fonts, no escapes, no macro."""
    line = re.sub(r"\\f(\[[^]]*\]|\(..|.)", "", line)
    line = line.replace("\\-", "-").replace("\\(en", "-").replace("\\(em", "-")
    return re.sub(r"^\.[A-Za-z]+\s*", "", line).replace('"', " ")


def mentions(text, name):
    return re.search(r"(?<![\w-])" + re.escape(name) + r"(?![\w-])", text) is not None


class Page:
    """The page's items: the first line after each .TP, with the section and
    the command (subsection of COMMANDS) it stands in."""

    def __init__(self, source):
        self.items, self.commands = [], set()
        section = command = None
        after_tp = False
        for line in source.splitlines():
            if line.startswith('.\\"'):
                continue
            if line.startswith(".TH"):
                self.title = line
            heading = re.match(r"^\.S([HS])\s+(.*)$", line)
            if heading and heading.group(1) == "H":
                section, command = plain(heading.group(2)).strip(), None
            elif heading and section == "COMMANDS":
                words = plain(heading.group(2)).split()
                command = words[1] if words[0] == "flvsplice" else words[0]
                self.commands.add(command)
            elif after_tp and plain(line).strip():
                self.items.append((section, command, plain(line).strip()))
            after_tp = line.startswith(".TP")

    def describes(self, name, section, command=None):
        return any(s == section and c == command and mentions(text, name)
                   for s, c, text in self.items)


class ManualTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.help = read_all(BINARY)
        with open(PAGE, encoding="utf-8") as page:
            cls.page = Page(page.read())

    def test_help_is_understood(self):
        # Otherwise the tests below would pass on nothing.
        self.assertGreater(len(self.help[None].commands), 0)
        for command, help in self.help.items():
            self.assertIn("--help", help.names(), f"flvsplice {command or ''} --help")

    def test_every_command_and_option_is_described(self):
        top = [name for name in self.help[None].names() if self.page.describes(name, "OPTIONS")]
        missing = [f"option {name} of `flvsplice` is not described under OPTIONS"
                   for name in self.help[None].names() if name not in top]
        for command, help in self.help.items():
            if command is None:
                continue
            if command not in self.page.commands:
                missing.append(f"command `flvsplice {command}` has no subsection under COMMANDS")
                continue
            missing += [f"option {name} of `flvsplice {command}` is not described in its "
                        f"subsection of COMMANDS" for name in help.names()
                        if name not in top
                        and not self.page.describes(name, "COMMANDS", command)]
        if missing:
            self.fail(f"the manual page ({SOURCE}) lags behind --help:\n  " + "\n  ".join(missing))

    def test_every_value_an_option_offers_is_an_item(self):
        items = {text.split()[0] for _, _, text in self.page.items}
        missing = [f"value '{value}' of {option.names[-1]} (flvsplice {command or ''}) "
                   "is not an item (.TP) of the page"
                   for command, help in self.help.items() for option in help.options
                   for value in option.choices if value not in items]
        if missing:
            self.fail("\n".join(missing))

    def test_every_result_code_is_listed(self):
        with open(os.path.join(ROOT, "flvsplice/common/FlvResult.h")) as header:
            codes = {int(code) for code in re.findall(r"=\s*(\d+);", header.read())} - {0}
        self.assertGreater(len(codes), 0)
        listed = set()
        for section, _, item in self.page.items:
            for first, last in re.findall(r"(\d+)(?:-(\d+))?", item if section == "ERRORS" else ""):
                listed.update(range(int(first), int(last or first) + 1))
        self.assertEqual(sorted(codes - listed), [], "result codes missing under ERRORS")
        self.assertEqual(sorted(listed - codes), [], "codes under ERRORS that do not exist")

    def test_the_page_carries_the_version(self):
        out = subprocess.run([BINARY, "--version"], capture_output=True, text=True).stdout
        version = re.search(r"\d+\.\d+\.\d+", out).group(0)
        self.assertRegex(self.page.title, rf'"flvsplice {re.escape(version)}"')


def main():
    global BINARY, PAGE
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--page", required=True, help="the manual page as built")
    args, rest = parser.parse_known_args()
    BINARY, PAGE = os.path.abspath(args.binary), args.page
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
