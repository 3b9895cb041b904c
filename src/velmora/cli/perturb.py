"""velmora perturb: a perturbed copy of a table, from the noise processor or, with
public bounds or a total budget, as the protected release with its privacy ledger."""

import argparse
import math
import pathlib
import sys
from typing import TYPE_CHECKING, Dict, List, Sequence, Tuple

from velmora.cli.common import CommandError, counted, one_line
from velmora.cli.files import check_output_file, check_output_table, read_table_file, same_file, write_table, write_text
from velmora.cli.progress import Progress

if TYPE_CHECKING:
    import pandas as pd

PERTURB_METHODS = ("minimal", "laplace", "gaussian")
DEFAULT_EPSILON = 1.0
DEFAULT_DELTA = 1e-5

# The options that select the protected release (velmora.privacy.protect) over the noise
# processor (apply_noiseforge's algorithm).
PROTECTED_OPTIONS = ("--bounds", "--total-epsilon", "--total-delta", "--ledger")
PROTECTED_METHODS = ("laplace", "gaussian")


def _refuse_overwriting(args: argparse.Namespace) -> None:
    """Refuse, before anything is read or written, an output that would overwrite the
    input or another output of the same command."""
    outputs = [("OUTPUT", args.output)] + ([("--ledger", args.ledger)] if args.ledger else [])
    for name, path in outputs:
        if same_file(args.input, path):
            raise CommandError(f"{path}: {name} is the input {args.input}; write it to another file")
    if args.ledger and same_file(args.output, args.ledger):
        raise CommandError(f"{args.ledger}: --ledger is OUTPUT; write the ledger to another file")


def read_bounds(path: str, frame: "pd.DataFrame") -> Tuple[Dict[str, List[float]], Dict[str, List[object]]]:
    """The public bounds and categories of a --bounds file: a JSON object mapping column
    names to [low, high] (numbers, for a numeric column), to a list of categories (for
    any other column), or to {"categories": [...]} (categories of a numeric column)."""
    import json

    import pandas as pd

    file = pathlib.Path(path)
    if not file.is_file():
        raise CommandError(f"{path}: no such file")
    try:
        domains = json.loads(file.read_text(encoding="utf-8"))
    except (OSError, UnicodeDecodeError) as error:
        raise CommandError(f"{path}: cannot read it ({one_line(error)})") from None
    except json.JSONDecodeError as error:
        raise CommandError(f"{path}: not valid JSON ({error})") from None
    if not isinstance(domains, dict):
        raise CommandError(f"{path}: must hold a JSON object of column names, not {type(domains).__name__}")
    unknown = [name for name in domains if name not in frame.columns]
    if unknown:
        raise CommandError(f"{path}: names no column of the table: {', '.join(map(repr, unknown))}")
    bounds: Dict[str, List[float]] = {}
    categories: Dict[str, List[object]] = {}
    for name, domain in domains.items():
        column = frame[name]
        numeric = pd.api.types.is_numeric_dtype(column.dtype) and not pd.api.types.is_bool_dtype(column.dtype)
        if isinstance(domain, dict) and set(domain) == {"categories"} and isinstance(domain["categories"], list):
            categories[name] = domain["categories"]
        elif isinstance(domain, list) and numeric:
            if len(domain) != 2:
                raise CommandError(
                    f'{path}: {name!r} is numeric: give [low, high], or {{"categories": [...]}} for its categories'
                )
            bounds[name] = domain
        elif isinstance(domain, list):
            categories[name] = domain
        else:
            raise CommandError(f"{path}: {name!r} must map to [low, high] or a list of categories, not {domain!r}")
    return bounds, categories


def _whole_numbers_as_integers(frame: "pd.DataFrame", keep: Sequence[str]) -> "pd.DataFrame":
    """Columns of whole numbers with empty cells, which a CSV file gives as floats, as
    nullable integers, so that the protected release keeps them integer (the columns
    in `keep` stay as they are)."""
    import numpy as np

    converted = frame.copy(deep=False)
    for position, dtype in enumerate(frame.dtypes):
        if not (isinstance(dtype, np.dtype) and dtype.kind == "f") or frame.columns[position] in keep:
            continue
        values = frame.iloc[:, position].to_numpy()
        present = values[~np.isnan(values)]
        whole = bool(np.all(np.mod(present, 1) == 0)) and bool(np.all(np.abs(present) < 2.0**53))
        if len(present) < len(values) and whole:
            converted.isetitem(position, frame.iloc[:, position].astype("Int64").array)
    return converted


def _protected_release(args: argparse.Namespace, frame: "pd.DataFrame") -> "pd.DataFrame":
    from velmora.exceptions import VelmoraInputError
    from velmora.privacy import protect

    method = args.method or "laplace"
    if method not in PROTECTED_METHODS:
        raise CommandError(
            f"--method {method} has no protected release; with {', '.join(PROTECTED_OPTIONS)} use laplace or gaussian"
        )
    if method != "gaussian":
        for option, given in (("--delta", args.delta), ("--total-delta", args.total_delta)):
            if given is not None:
                raise CommandError(f"{option} is spent by --method gaussian only")
    bounds, categories = read_bounds(args.bounds, frame) if args.bounds else ({}, {})
    frame = _whole_numbers_as_integers(frame, args.preserve or [])
    epsilon = args.epsilon
    if epsilon is None and args.total_epsilon is None:
        epsilon = DEFAULT_EPSILON
    delta = args.delta
    if method == "gaussian" and delta is None and args.total_delta is None:
        delta = DEFAULT_DELTA
    try:
        noisy, ledger = protect(
            frame,
            epsilon=epsilon,
            delta=delta,
            method=method,
            bounds=bounds,
            categories=categories,
            total_epsilon=args.total_epsilon,
            total_delta=args.total_delta,
            preserve=list(args.preserve or []),
            random_state=args.seed,
        )
    except VelmoraInputError as error:
        raise CommandError(str(error)) from None
    print(ledger.summary())
    if args.ledger:
        write_text(ledger.to_json() + "\n", args.ledger)
        print(f"Ledger written to {args.ledger}")
    return noisy


def command_perturb(args: argparse.Namespace) -> int:
    _refuse_overwriting(args)
    check_output_table(args.output)
    if args.ledger:
        check_output_file(args.ledger)
    protected = any(given is not None for given in (args.bounds, args.total_epsilon, args.total_delta, args.ledger))
    for option, value in (
        ("--epsilon", args.epsilon),
        ("--total-epsilon", args.total_epsilon),
    ):
        if value is not None and not (value > 0 and math.isfinite(value)):
            raise CommandError(f"{option} must be a positive finite number")
    for option, value in (("--delta", args.delta), ("--total-delta", args.total_delta)):
        if value is not None and not 0 < value < 1:
            raise CommandError(f"{option} must lie between 0 and 1 (exclusive)")
    source = read_table_file(args.input)
    frame = source.frame
    missing = [column for column in args.preserve or [] if column not in frame.columns]
    if missing:
        raise CommandError(f"--preserve names no column of {args.input}: {', '.join(missing)}")
    if protected:
        noisy = _protected_release(args, frame)
        # Only the preserved columns are kept; every other cell was released anew.
        write_table(noisy, args.output, source, keep=list(args.preserve or []))
        print(f"Wrote {counted(len(noisy), 'protected row')} to {args.output}")
        return 0

    method = args.method or "minimal"
    epsilon = DEFAULT_EPSILON if args.epsilon is None else args.epsilon
    delta = DEFAULT_DELTA if args.delta is None else args.delta
    unused = [
        option
        for option, given, uses in (
            ("--epsilon", args.epsilon, ("laplace", "gaussian")),
            ("--delta", args.delta, ("gaussian",)),
        )
        if given is not None and method not in uses
    ]
    for option in unused:
        print(f"velmora: note: --method {method} does not use {option}", file=sys.stderr)
    from velmora.core_generator.noiseforge import NoiseforgeProcessor

    progress = Progress(2)
    progress.step(f"perturbing {len(frame):,} rows with {method!r}")
    processor = NoiseforgeProcessor(epsilon=epsilon, delta=delta, random_state=args.seed)
    noisy = processor.apply_dp(frame, method=method, preserve_columns=list(args.preserve) if args.preserve else None)
    progress.step(f"writing {args.output}")
    write_table(noisy, args.output, source)
    progress.finish()
    if method == "minimal":
        budget = "small fixed noise, which uses neither epsilon nor delta"
    elif method == "laplace":
        budget = f"epsilon {epsilon:g}"
    else:
        budget = f"epsilon {epsilon:g}, delta {delta:g}"
    print(f"Wrote {counted(len(noisy), 'perturbed row')} to {args.output} (method {method}: {budget})")
    return 0
