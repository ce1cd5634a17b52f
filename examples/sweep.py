"""A parameter sweep: the patch antenna's feed line at five widths, each model
run in a process of its own (any number of models works), two at a time:
the quasi-static Z0 of each feed line and the S11 minimum of the antenna.

    python examples/sweep.py [--out DIR] [--coarse]
"""
import argparse
import dataclasses
import os

import fdtdhost as fh
from patch import patch_antenna


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/sweep")
    parser.add_argument("--coarse", action="store_true",
                        help="1 mm cells, no pictures, 1500 time steps")
    args = parser.parse_args(argv)
    cell = 1.0 if args.coarse else 0.5
    widths = [2.0, 2.5, 3.0, 3.5, 4.0]
    models = [patch_antenna(cell=cell, feed_width=w) for w in widths]
    if args.coarse:
        models = [dataclasses.replace(m, simulation=fh.TimeDomain(max_steps=1500))
                  for m in models]
    outs = [os.path.join(args.out, f"feed_{w:g}mm") for w in widths]
    summaries = fh.run_all(models, outs, pictures=not args.coarse, processes=2)
    print("feed width   Z0       eps_eff   S11 minimum")
    for w, s in zip(widths, summaries):
        feed, best = s["feed_line"], s["simulation"]["s11_minimum"]
        print(f"{w:6.1f} mm  {feed['impedance_ohm']:6.2f}   {feed['eps_eff']:.3f}     "
              f"{best['db']:6.1f} dB at {best['frequency_Hz'] / 1e9:.3g} GHz")


if __name__ == "__main__":
    main()
