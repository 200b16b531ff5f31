"""What `flvsplice [COMMAND] --help` lists: the commands, and for the top level
and each command its options, with the value each one takes.

The manual page and the shell completion are checked against this, so that an
option added to the command without them fails a test.
"""

import re
import subprocess

SECTION = re.compile(r"^([A-Za-z][A-Za-z ]*):$")
# Names, then the value one space after them ("-o,--output OUT REQUIRED");
# a flag's description starts further away.
OPTION = re.compile(r"^  (-\S+)(?: (\S+))?")
COMMAND = re.compile(r"^  ([^\s-]\S*)")


class Option:
    def __init__(self, names, value):
        self.names = names  # ["-o", "--output"]
        self.value = value  # "OUT", "FORMAT:{flv,avi,audio}" or None for a flag
        choices = re.search(r"\{([^}]*)\}", value or "")
        self.choices = choices.group(1).split(",") if choices else []

    def __repr__(self):
        return ",".join(self.names)


class Help:
    """One --help text: `options` (a list of Option) and `commands`."""

    def __init__(self, text):
        self.options, self.commands = [], []
        section = None
        for line in text.splitlines():
            heading = SECTION.match(line)
            if heading:
                section = heading.group(1)
            elif section == "Options" and OPTION.match(line):
                names, value = OPTION.match(line).groups()
                self.options.append(Option(names.split(","), value))
            elif section == "Subcommands" and COMMAND.match(line):
                self.commands.append(COMMAND.match(line).group(1))

    def names(self):
        return [name for option in self.options for name in option.names]


def read_help(binary, command=None):
    args = [binary] + ([command] if command else []) + ["--help"]
    return Help(subprocess.run(args, capture_output=True, text=True, check=True).stdout)


def read_all(binary):
    """{None: the top level's Help, "cut": the cut command's Help, ...}"""
    top = read_help(binary)
    every = {None: top}
    for command in top.commands:
        every[command] = read_help(binary, command)
    return every
