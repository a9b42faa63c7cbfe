"""The bash completions offer every option the programs' --help lists."""

import os
import pathlib
import re
import subprocess

from test_farm import BUILD

COMPLETIONS = pathlib.Path(__file__).resolve().parents[2] / "package" / "completions"


def options_in(text):
    return set(re.findall(r"(?<![\w-])(--?[a-zA-Z][\w-]*)", text))


def option_table(help_text):
    """The options --help lists in its table: lines that start with one."""
    table = "\n".join(re.findall(r"^\s+(--?[a-zA-Z][\w,-]*)", help_text, re.M))
    return options_in(table)


def test_completions_offer_every_documented_option():
    for program, hidden in (("tweenova-render", {"--plugin", "--model-library", "--simulate-gpu"}),
                            ("tweenova-farm", set())):
        help_text = subprocess.run([os.path.join(BUILD, program), "--help"], capture_output=True, text=True).stdout
        documented = option_table(help_text) - hidden
        assert len(documented) > 5, help_text
        offered = options_in((COMPLETIONS / program).read_text())
        assert documented <= offered, f"{program}: not completed: {sorted(documented - offered)}"
    # The completion scripts load in bash and answer.
    script = f"source {COMPLETIONS}/tweenova-render; COMP_WORDS=(tweenova-render --comp); COMP_CWORD=1; " \
             "_tweenova_render; echo ${COMPREPLY[@]}"
    assert subprocess.run(["bash", "-c", script], capture_output=True, text=True).stdout.split() == ["--compression"]
