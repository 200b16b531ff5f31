#!/usr/bin/env python3
"""Sources the bash completion in a non-interactive bash and completes
flvsplice command lines with it.

    test_completion.py --binary build/cli/flvsplice --completion packaging/flvsplice.bash

What it must offer is read from `flvsplice [COMMAND] --help`, so an option
that the completion would miss fails here.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from help_text import read_all  # noqa: E402

BINARY = COMPLETION = None

# Calls the function that `complete -p flvsplice` names, as bash does on TAB.
DRIVER = r"""
source "$1" || exit 3
spec=$(complete -p flvsplice) || exit 4
fn=${spec#*-F } fn=${fn%% *}
shift
COMP_WORDS=("$@") COMP_CWORD=$(($# - 1))
COMP_LINE="${COMP_WORDS[*]}" COMP_POINT=${#COMP_LINE}
"$fn" flvsplice "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
printf '%s\n' "${COMPREPLY[@]}"
"""


class CompletionTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.help = read_all(BINARY)

    def setUp(self):
        temp = tempfile.TemporaryDirectory()
        self.addCleanup(temp.cleanup)
        self.dir = temp.name
        # The command is found on PATH, under its own name, as once installed.
        os.mkdir(os.path.join(self.dir, "bin"))
        os.symlink(BINARY, os.path.join(self.dir, "bin", "flvsplice"))
        self.work = os.path.join(self.dir, "work")
        os.makedirs(os.path.join(self.work, "clips"))
        for name in ("a.flv", "B.FLV", "notes.txt", "clips/c.flv"):
            open(os.path.join(self.work, name), "w").close()

    def complete(self, *words, program="flvsplice"):
        env = dict(os.environ, PATH=os.path.join(self.dir, "bin") + os.pathsep + "/usr/bin:/bin")
        done = subprocess.run(["bash", "--norc", "--noprofile", "-c", DRIVER, "bash", COMPLETION,
                               program, *words], capture_output=True, text=True, cwd=self.work,
                              env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        return sorted(filter(None, done.stdout.split("\n")))

    def test_commands_and_options_follow_help(self):
        commands = self.help[None].commands
        self.assertEqual(self.complete(""), sorted(commands))
        self.assertEqual(self.complete("c"), sorted(c for c in commands if c.startswith("c")))
        self.assertEqual(self.complete("-"), sorted(self.help[None].names()))
        for command in commands:
            self.assertEqual(self.complete(command, "-"), sorted(self.help[command].names()),
                             command)
            self.assertEqual(self.complete("-q", command, "x.flv", "--"),
                             sorted(n for n in self.help[command].names() if n.startswith("--")))
        # A command typed with its path, not found on PATH.
        self.assertEqual(self.complete("", program=BINARY), sorted(commands))

    def test_option_values(self):
        checked = 0
        for command, help in self.help.items():
            for option in help.options:
                name = option.names[-1]
                if option.choices:
                    self.assertEqual(self.complete(command, "a.flv", name, ""),
                                     sorted(option.choices), name)
                    # "--format=" and "--format=a": bash splits the word at "=".
                    self.assertEqual(self.complete(command, "a.flv", name, "="),
                                     sorted(option.choices), name)
                    first = option.choices[0][0]
                    self.assertEqual(self.complete(command, "a.flv", name, "=", first),
                                     sorted(c for c in option.choices if c.startswith(first)))
                    checked += 1
                elif option.value and not option.value.startswith("OUT"):
                    # Times and the like: nothing to offer, not even files.
                    self.assertEqual(self.complete(command, "a.flv", name, ""), [], name)
        self.assertGreater(checked, 0, "no option with a list of values in --help")

    def test_inputs_offer_flv_files_first(self):
        self.assertEqual(self.complete("info", ""), ["B.FLV", "a.flv", "clips"])
        self.assertEqual(self.complete("join", "a.flv", "c"), ["clips"])
        # No .flv name matches: any file.
        self.assertEqual(self.complete("cut", "n"), ["notes.txt"])
        # An output can be anything.
        self.assertEqual(self.complete("copy", "a.flv", "-o", ""),
                         ["B.FLV", "a.flv", "clips", "notes.txt"])
        self.assertEqual(self.complete("info", "clips/"), ["clips/c.flv"])


def main():
    global BINARY, COMPLETION
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--completion", required=True, help="the bash completion file")
    args, rest = parser.parse_known_args()
    BINARY, COMPLETION = os.path.abspath(args.binary), os.path.abspath(args.completion)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
