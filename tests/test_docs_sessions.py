"""The terminal sessions of the documentation become doctests that fail on a wrong
output or exit status (docs/_ext/velmora_docs.py)."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "docs" / "_ext"))
velmora_docs = pytest.importorskip("velmora_docs")


def test_session_commands_outputs_and_statuses():
    lines = [
        "$ velmora perturb a.csv b.csv \\",
        "      --seed 1",
        "Wrote 3 perturbed rows",
        "",
        "$ echo $?",
        "0",
        "$ velmora validate b.csv --rule 'x > 0' --fail-on-violation",
        "1 violation",
        "$ echo $?",
        "1",
    ]
    assert velmora_docs.parse_session(lines) == [
        ("velmora perturb a.csv b.csv --seed 1", ["Wrote 3 perturbed rows", ""], 0),
        ("velmora validate b.csv --rule 'x > 0' --fail-on-violation", ["1 violation"], 1),
    ]
    # A blank line inside the output is kept (doctest's <BLANKLINE>); trailing ones go.
    source = velmora_docs.doctest_source("velmora metrics", ["a", "", "b", ""], 1)
    assert source == ">>> run_command('velmora metrics', status=1)\na\n<BLANKLINE>\nb"


@pytest.mark.parametrize(
    "lines", [["output before a command"], ["$ echo $?", "0"], ["$ velmora metrics", "$ echo $?", "zero"]]
)
def test_malformed_sessions_are_refused(lines):
    with pytest.raises(ValueError):
        velmora_docs.parse_session(lines)


def test_an_unexpected_exit_status_shows_in_the_output(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    velmora_docs.run_command("velmora --version")
    assert capsys.readouterr().out.startswith("velmora ")
    velmora_docs.run_command("velmora perturb missing.csv out.csv", status=0)
    assert capsys.readouterr().out.endswith("[exit status 2, expected 0]\n")
