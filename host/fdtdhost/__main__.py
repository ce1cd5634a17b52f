"""Command line: python -m fdtdhost [--model FILE] [--out DIR] [--no-simulation]."""
import argparse
import sys

from . import app, gl, model


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m fdtdhost",
        description="Takes an FDTD model through the back end: coefficients, run "
                    "tables, skin records, numeric checks, pictures and a summary.")
    parser.add_argument("--model", metavar="FILE",
                        help="model file (JSON); default: the embedded patch antenna")
    parser.add_argument("--out", metavar="DIR", default="out",
                        help="folder for summary.json and the pictures (default: out)")
    parser.add_argument("--no-simulation", action="store_true",
                        help="stop before the time stepping: pre-processing, numeric checks "
                             "and the model pictures only")
    args = parser.parse_args(argv)
    try:
        loaded = model.load(args.model)
        run = app.Run(loaded, args.out, simulation=not args.no_simulation).run()
    except model.ModelError as err:
        print(f"fdtdhost: model error: {err}", file=sys.stderr)
        return 2
    except gl.CanvasError as err:
        print(f"fdtdhost: cannot draw the pictures: {err}", file=sys.stderr)
        return 1
    print(app.table(run.summary))
    print(f"\nwritten to {args.out}/: summary.json, {', '.join(run.pictures)}")
    failed = [name for name, ok in run.summary["checks"].items() if not ok]
    if failed:
        print(f"fdtdhost: check failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
