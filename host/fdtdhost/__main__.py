"""Command line: fdtdhost [MODEL] [--model FILE] [--out DIR] [--no-simulation]
[--field simulated|stand-in] [--export vtk] [--quiet] [--version].

Exit status: 0 done, 1 the run failed (a check failed, no OpenGL context, the
results could not be written), 2 nothing was done because the model or the
command line cannot be used (a bad model file, a model too large for this
machine, an unusable --out), 128 + the signal's number when SIGINT (130) or
SIGTERM (143) ended the run. Every failure is one line on standard error.
"""
import argparse
import os
import signal
import sys

from . import __version__


class Interrupted(BaseException):
    """SIGINT or SIGTERM: not an error of the run, so not an `Exception`."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _interrupt(signum, frame):
    raise Interrupted(signum)


def main(argv=None):
    previous = {s: signal.signal(s, _interrupt) for s in (signal.SIGINT, signal.SIGTERM)}
    # a model name that cannot be encoded must not end the run at the last print
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")
    try:
        args = parse(argv)
        try:
            return run(args)
        except Interrupted as stop:
            return _interrupted(stop.signum, args, None)
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="fdtdhost",
        description="Takes an FDTD model through the back end: coefficients, run "
                    "tables, skin records, numeric checks, the time-domain run of its port "
                    "(S11, resonance, fields), pictures and a summary.")
    parser.add_argument("model_file", nargs="?", metavar="MODEL",
                        help="model file (JSON); default: the embedded patch antenna")
    parser.add_argument("--model", metavar="FILE", help="the model file, as MODEL")
    parser.add_argument("--out", metavar="DIR", default="out",
                        help="folder for summary.json and the pictures (default: out)")
    parser.add_argument("--no-simulation", dest="simulate", action="store_false",
                        help="stop before the time stepping: pre-processing, numeric checks "
                             "and the model pictures only")
    parser.add_argument("--field", choices=("simulated", "stand-in"), default="simulated",
                        help="what the field pictures show (default: the simulated field)")
    parser.add_argument("--export", action="append", choices=("vtk",), default=[],
                        help="also write the voxel model and the DFT fields as VTK XML "
                             "rectilinear grids (.vtr) for ParaView")
    parser.add_argument("--quiet", action="store_true",
                        help="print no table and no progress; errors and warnings still go "
                             "to standard error")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    args = parser.parse_args(argv)
    if args.model_file and args.model:
        parser.error("give the model file once: as MODEL or with --model")
    args.model = args.model or args.model_file
    return args


def say(line):
    # under mpirun every process meets the same model, estimate and refusal:
    # process 0 alone says so
    if os.environ.get("OMPI_COMM_WORLD_RANK", "0") == "0":
        print(f"fdtdhost: {line}", file=sys.stderr)


def run(args):
    try:
        from . import app, capacity, distributed, gl, model, output
    except ImportError as err:
        say(f"cannot start: {err} (the package's dependencies are missing; "
            f"install them with pip install quoran-backend)")
        return 1
    if args.quiet:
        os.environ["TQDM_DISABLE"] = "1"        # the progress bars
    source = args.model or "default model"
    the_run = None
    try:
        loaded = model.load(args.model)
        the_run = distributed.run_class()(loaded, args.out, warn=lambda line: say(f"warning: {line}"),
                          simulate=args.simulate, field=args.field, export=args.export)
        the_run.run()
    except model.ModelError as err:
        say(f"model error: {err}")
        return 2
    except distributed.Refused:
        return 2                            # process 0 says why
    except capacity.CapacityError as err:
        say(f"model too large: {source}: {err}")
        return 2
    except MemoryError:
        said = the_run.estimate.describe() if the_run and the_run.estimate else ""
        say(f"model too large: {source}: out of memory; {said}".rstrip("; "))
        return 2
    except output.OutputError as err:
        prepared = the_run is not None and the_run.output is not None
        say(f"cannot write the results: {err}")
        return 1 if prepared else 2
    except gl.CanvasError as err:
        say(f"cannot draw the pictures: {err}")
        return 1
    except Interrupted as stop:
        return _interrupted(stop.signum, args, the_run)
    summary = the_run.summary
    failed = the_run.failed()
    if getattr(the_run, "rank", 0) != 0:
        return 1 if failed else 0        # process 0 reports the run
    try:
        if not args.quiet:
            print(app.table(summary))
            where = os.path.join(args.out, output.FAILED) if failed else args.out
            print(f"\nwritten to {where}/: summary.json, "
                  f"{', '.join(list(the_run.pictures) + the_run.written)}")
    except BrokenPipeError:
        # the reader went away; the results are written all the same
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    if failed:
        say(f"check failed: {', '.join(failed)}; this run's files are in "
            f"{os.path.join(args.out, output.FAILED)}/, {args.out}/ keeps the previous results")
        return 1
    return 0


def _interrupted(signum, args, the_run):
    name = signal.Signals(signum).name
    if the_run is not None and the_run.output is not None and the_run.output.committed:
        say(f"interrupted ({name}) after the results were written to {args.out}/")
    else:
        say(f"interrupted ({name}); nothing written, {args.out}/ keeps the previous results")
    return 128 + signum


if __name__ == "__main__":
    sys.exit(main())
