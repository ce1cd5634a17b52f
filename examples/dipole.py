"""A half-wave dipole for 2.4 GHz: two perfectly conducting wires along z
with a 73 ohm lumped feed in the gap between them.

The wires are 1 mm thick on 2 mm cells: each keeps the column of cells its
axis passes through (a wire is never thinner than a cell).

    python examples/dipole.py [--out DIR] [--coarse]
"""
import argparse
import dataclasses

import fdtdhost as fh

C0 = 299_792_458.0


def dipole(frequency=2.4e9, cell=2.0, radius=0.5):
    """The model: the gap is one cell, the feed across it along z."""
    half = 0.5 * 0.48 * C0 / frequency * 1e3      # each arm, mm (a little short of lambda/4)
    pml = 6
    # 20 mm of air around the wires, then the PML
    nx = ny = 2 * (round(20.0 / cell) + pml) + 1
    nz = 2 * (round((half + 20.0) / cell) + pml) + 1
    x = y = (nx // 2 + 0.5) * cell                # the axis through a column of cell centres
    lo, hi = (nz // 2) * cell, (nz // 2 + 1) * cell   # the gap: the middle cell layer
    return fh.Model(
        name=f"half-wave dipole, {frequency / 1e9:g} GHz",
        grid=fh.Grid(x=[fh.Uniform(nx, cell)], y=[fh.Uniform(ny, cell)],
                     z=[fh.Uniform(nz, cell)]),
        pml=pml,
        materials=[fh.Material("air", show=False)],
        shapes=[fh.Wire(fh.PEC, (x, y, lo - half), (x, y, lo), radius),
                fh.Wire(fh.PEC, (x, y, hi), (x, y, hi + half), radius)],
        lumped=[fh.Lumped((x, y, lo), (x, y, hi), 73.0, name="feed")],
        frequency=frequency,
        view=fh.View(360, 480))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/dipole")
    parser.add_argument("--coarse", action="store_true",
                        help="4 mm cells, small pictures, 2000 time steps")
    args = parser.parse_args(argv)
    model = dipole(cell=4.0 if args.coarse else 2.0)
    if args.coarse:
        model = dataclasses.replace(model, simulation=fh.TimeDomain(max_steps=2000))
    summary = fh.run(model, out=args.out)
    print(f"{summary['model']}: {summary['cells']:,} cells, time step "
          f"{summary['time_step_s']:.3g} s")


if __name__ == "__main__":
    main()
