"""A parameter sweep: the patch antenna's feed line at five widths, each model
run in a process of its own (any number of models works), two at a time.

    python examples/sweep.py [--out DIR] [--coarse]
"""
import argparse
import os

import fdtdhost as fh
from patch import patch_antenna


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/sweep")
    parser.add_argument("--coarse", action="store_true", help="1 mm cells, no pictures")
    args = parser.parse_args(argv)
    cell = 1.0 if args.coarse else 0.5
    widths = [2.0, 2.5, 3.0, 3.5, 4.0]
    models = [patch_antenna(cell=cell, feed_width=w) for w in widths]
    outs = [os.path.join(args.out, f"feed_{w:g}mm") for w in widths]
    summaries = fh.run_all(models, outs, pictures=not args.coarse, processes=2)
    print("feed width   Z0       eps_eff")
    for w, s in zip(widths, summaries):
        feed = s["feed_line"]
        print(f"{w:6.1f} mm  {feed['impedance_ohm']:6.2f}   {feed['eps_eff']:.3f}")


if __name__ == "__main__":
    main()
