"""The command line refuses what it cannot handle safely: rules outside the rule
language, rules that cannot be evaluated, malformed tables and unknown output formats;
and it writes files with the modes a user expects."""

import os
import stat
import subprocess
import sys

import pandas as pd
import pytest

from velmora.cli import main


@pytest.fixture
def people(tmp_path):
    path = tmp_path / "people.csv"
    pd.DataFrame({"age": [34, -1, 12, 51], "income": [52000, 0, 800, -5], "body mass": [3.5, 4, 5, 6]}).to_csv(
        path, index=False
    )
    return path


def validate(capsys, *args):
    status = main(["validate", *map(str, args)])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


@pytest.mark.parametrize(
    "rule, reason",
    [
        ("@os.system('touch {marker}') == 0", "'@' refers to Python variables"),
        ("age.to_csv('{marker}') == 0", "it holds a function call"),
        ("__import__('os').system('touch {marker}') == 0", "it holds a function call"),
        ("age.values > 0", "it holds attribute access"),
        ("[age][0] > 0", "it holds indexing"),
        ("age > (lambda: 0)()", "it holds a function call"),
        ("age * 'x' * 10 ** 12 > ''", "it does arithmetic on text"),
        ("age > 9 ** 9 ** 9 ** 9", "it raises numbers alone to a power"),
        ("age in [income.max()]", "the list after 'in' may hold literals only"),
        ("if age < 18 then income.to_csv('{marker}') == 0", "it holds a function call"),
    ],
)
def test_code_in_rules_is_refused_and_never_run(capsys, monkeypatch, people, tmp_path, rule, reason):
    monkeypatch.chdir(tmp_path)
    rule = rule.format(marker="ran")
    status, out, err = validate(capsys, people, "--rule", rule)
    assert status == 2 and out == ""
    assert err.startswith(f"velmora: error: rule {rule!r} is not in the rule language: {reason}")
    assert not (tmp_path / "ran").exists()


@pytest.mark.parametrize(
    "rule, reason",
    [
        ("bill_lenght_mm > 0", "cannot be evaluated on the table (UndefinedVariableError: name 'bill_lenght_mm'"),
        ("age >", "is not in the rule language: it is not an expression (SyntaxError"),
        ("1 > 2", "names no column, so it checks no row"),
        ("if agee < 18 then income == 0", "cannot be evaluated on the table"),
    ],
)
def test_rules_that_cannot_be_evaluated_are_refused(capsys, people, rule, reason):
    status, out, err = validate(capsys, people, "--rule", "age > 0", "--rule", rule, "--fail-on-violation")
    assert status == 2 and out == ""
    assert err.startswith(f"velmora: error: rule {rule!r} {reason}")


def test_the_rule_language_is_accepted_and_trust_lifts_the_check(capsys, people):
    rules = [
        "age > 0 and not income < 0",
        "`body mass` * 2 >= 7 | (age != 12) & ~(income == 0)",
        "age in [34, -1, 51] or income not in (0, -5)",
        "if age < 18 then income == 0",
        "age ** 2 // 3 % 7 >= -1e3",
        "index >= 0",
        "income < inf",
        "1 < age <= 60",
    ]
    status, out, _ = validate(capsys, people, *[arg for rule in rules for arg in ("--rule", rule)])
    assert status == 0 and out.count("Rule ") == len(rules)
    assert validate(capsys, people, "--rule", "age.abs() > 0")[0] == 2
    status, out, _ = validate(capsys, people, "--rule", "age.abs() > 0", "--trust-rules")
    assert status == 0 and "Rule 'age.abs() > 0': 0 violations" in out


@pytest.mark.parametrize(
    "rule", ["(" * 8000 + "age > 0" + ")" * 8000, "age" + "+age" * 120000 + " > 0"], ids=["nested", "chain"]
)
def test_rules_too_long_to_parse_are_refused_not_crashed(people, tmp_path, rule):
    rules = tmp_path / "deep.txt"
    rules.write_text(rule + "\n", encoding="utf-8")
    for extra in ([], ["--trust-rules"]):
        result = subprocess.run(
            [sys.executable, "-m", "velmora", "validate", str(people), "--rules", str(rules), *extra],
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert result.returncode == 2, result.stderr[-2000:]
        assert result.stderr.startswith("velmora: error: rule ") and "Rule refused: the rule is" in result.stderr


# The leading fields of longer rows would become an index: of evenly spaced numbers
# (which pandas 3 stores as a RangeIndex), of 0, 1, ... (the default index), of text.
@pytest.mark.parametrize("text", ["a,b\n1,2,3\n4,5,6\n", "a,b\n0,2,3\n1,5,6\n", "a,b\nx,2,3\ny,5,\n"])
def test_rows_longer_than_the_header_are_refused(capsys, tmp_path, text):
    table = tmp_path / "shifted.csv"
    table.write_text(text, encoding="utf-8")
    status, _, err = validate(capsys, table, "--rule", "a > 0")
    assert status == 2 and "shifted.csv: its rows have more fields than the header (2 names)" in err


def test_a_delimiter_closing_every_row_is_read_as_no_field(capsys, tmp_path):
    table = tmp_path / "closed.csv"
    table.write_text("a,b\n1,2,\n-3,4,\n", encoding="utf-8")
    status, out, _ = validate(capsys, table, "--rule", "a > 0", "--rule", "b > 3")
    assert status == 0 and "Rule 'a > 0': 1 violation\n" in out and "Rule 'b > 3': 1 violation\n" in out


@pytest.mark.parametrize(
    "command",
    [
        ["perturb", "{people}", "{out}"],
        ["validate", "{people}", "--rule", "age > 0", "--fix", "drop", "--output", "{out}"],
    ],
)
@pytest.mark.parametrize("name", ["out.xlsx", "out"])
def test_outputs_in_formats_not_written_are_refused(capsys, people, tmp_path, command, name):
    out = tmp_path / name
    status = main([part.format(people=people, out=out) for part in command])
    assert status == 2 and "cannot write a table with" in capsys.readouterr().err
    assert not out.exists()


def test_written_files_get_the_umask_mode_or_keep_their_own(capsys, people, tmp_path):
    previous = os.umask(0o027)
    try:
        new, kept = tmp_path / "new.csv", tmp_path / "kept.csv"
        kept.write_text("old")
        os.chmod(kept, 0o604)
        for out in (new, kept):
            assert main(["perturb", str(people), str(out), "--seed", "1"]) == 0
    finally:
        os.umask(previous)
    assert stat.S_IMODE(new.stat().st_mode) == 0o640
    assert stat.S_IMODE(kept.stat().st_mode) == 0o604 and kept.read_text() != "old"


def test_arithmetic_on_text_columns_is_refused(capsys, tmp_path):
    path = tmp_path / "names.csv"
    pd.DataFrame({"name": ["y", "z"], "full name": ["a b", "c d"], "n": [1, 2]}).to_csv(path, index=False)
    for rule, column in [("name + name + name == 'yyy'", "name"), ("`full name` * n == 'a b'", "full name")]:
        status, out, err = validate(capsys, path, "--rule", rule)
        assert status == 2 and out == ""
        assert f"it does arithmetic on the text column {column!r}" in err
    assert validate(capsys, path, "--rule", "n + n > 1")[0] == 0


def test_a_rule_failing_beyond_the_checked_rows_is_an_error(capsys, tmp_path):
    # pandas reads the column as numbers in the first rows and as text further down.
    path = tmp_path / "mixed.csv"
    path.write_text("x\n" + "7\n" * 600_000 + "seven\n" + "3\n" * 10, encoding="utf-8")
    status, out, err = validate(capsys, path, "--rule", "x > 5", "--fail-on-violation")
    assert status == 2
    assert err.startswith("velmora: error: rule 'x > 5' cannot be evaluated on the whole of ")


def test_pipes_and_links_to_them_are_written_through_not_replaced(people, tmp_path):
    import concurrent.futures

    fifo = tmp_path / "report.json"
    os.mkfifo(fifo)
    link = tmp_path / "link.json"
    link.symlink_to(fifo)
    for target in (fifo, link):
        with concurrent.futures.ThreadPoolExecutor(1) as pool:
            reading = pool.submit(lambda: fifo.read_text(encoding="utf-8"))
            result = subprocess.run(
                [
                    sys.executable,
                    "-m",
                    "velmora",
                    "evaluate",
                    str(people),
                    str(people),
                    "--metrics",
                    "ks_complement",
                    "--json",
                    str(target),
                ],
                capture_output=True,
                text=True,
                timeout=300,
            )
            assert result.returncode == 0, result.stderr
            assert '"aggregate_metrics"' in reading.result(timeout=60)
        assert stat.S_ISFIFO(os.stat(target).st_mode)
    assert link.is_symlink()


@pytest.mark.parametrize(
    "args, message",
    [
        (["validate", "data.csv", "--rule", "a > 0", "--seed", "4294967296"], "argument --seed: 4294967296 is outside"),
        (["perturb", "in.csv", "out.csv", "--seed", "-1"], "argument --seed: -1 is outside"),
        (["evaluate", "a.csv", "b.csv", "--fail-under", "nan"], "argument --fail-under: nan is not a finite number"),
    ],
)
def test_out_of_range_options_are_bad_input(capsys, args, message):
    with pytest.raises(SystemExit) as stopped:
        main(args)
    assert stopped.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("args", [["--version"], ["metrics"]])
def test_a_full_standard_output_is_one_line_of_error(args):
    with open("/dev/full", "w") as full:
        result = subprocess.run(
            [sys.executable, "-m", "velmora", *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=120
        )
    assert result.returncode == 2
    assert result.stderr == "velmora: error: cannot write to standard output (No space left on device)\n"


KEPT_CSV = (
    b'id,zip,code,n,age,note\n007,02134,NA,1e3,34,"a, b"\n008,02135,null,5,-1,x\n'
    b'009,00001,N/A,+7,12,"q ""z"""\r\n010,00002,,1.50,-3,y\n'
)


@pytest.mark.parametrize("strategy", ["drop", "resample", "clip"])
def test_rows_a_repair_keeps_come_back_byte_identical(capsys, tmp_path, strategy):
    data, output = tmp_path / "data.csv", tmp_path / "out.csv"
    data.write_bytes(KEPT_CSV)
    status, _, err = validate(capsys, data, "--rule", "age > 0", "--fix", strategy, "--output", output, "--seed", 1)
    assert status == 0, err
    lines, written = KEPT_CSV.splitlines(keepends=True), output.read_bytes().splitlines(keepends=True)
    if strategy == "drop":
        assert written == [lines[0], lines[1], lines[3]]
    elif strategy == "resample":
        assert len(written) == 5 and written[:3] == [lines[0], lines[1], lines[3]]
        assert set(written[3:]) <= {lines[1], lines[3]}
    else:  # only the bound changes, in the rows that broke the rule
        assert written == [lines[0], lines[1], b"008,02135,null,5,1e-06,x\n", lines[3], b"010,00002,,1.50,1e-06,y\n"]


def test_columns_perturb_preserves_come_back_byte_identical(tmp_path):
    data, output = tmp_path / "data.csv", tmp_path / "out.csv"
    data.write_bytes(KEPT_CSV)
    assert main(["perturb", str(data), str(output), "--preserve", "id", "zip", "code", "n", "note", "--seed", "1"]) == 0
    original = pd.read_csv(data, dtype=str, keep_default_na=False)
    written = pd.read_csv(output, dtype=str, keep_default_na=False)
    pd.testing.assert_frame_equal(written.drop(columns="age"), original.drop(columns="age"))
    assert (written["age"] != original["age"]).all()


def test_parquet_rows_and_columns_keep_their_types_and_values(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    table = pa.table(
        {
            "id": ["007", "008", "009"],
            "ts": pa.array([1, 2, 3], type=pa.timestamp("us")),
            "age": pa.array([34, -1, 12], type=pa.int32()),
        }
    )
    pq.write_table(table, tmp_path / "data.parquet")
    assert (
        main(
            [
                "validate",
                str(tmp_path / "data.parquet"),
                "--rule",
                "age > 0",
                "--fix",
                "drop",
                "--output",
                str(tmp_path / "out.parquet"),
            ]
        )
        == 0
    )
    assert pq.read_table(tmp_path / "out.parquet").equals(table.take([0, 2]))
    assert (
        main(
            [
                "perturb",
                str(tmp_path / "data.parquet"),
                str(tmp_path / "noisy.parquet"),
                "--preserve",
                "id",
                "ts",
                "--seed",
                "1",
            ]
        )
        == 0
    )
    noisy = pq.read_table(tmp_path / "noisy.parquet")
    assert noisy.select(["id", "ts"]).equals(table.select(["id", "ts"]))
