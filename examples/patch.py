"""A 2.4 GHz microstrip patch antenna on FR4, written as a Python model.

The geometry of the host's default model, from a few parameters: the patch,
its inset feed line, a 50 ohm lumped feed, two rows of vias and a graded grid
that is fine only in the substrate.

    python examples/patch.py [--out DIR] [--coarse]
"""
import argparse
import dataclasses

import fdtdhost as fh


def patch_antenna(cell=0.5, patch=(29.5, 38.0), feed_width=3.0, h=1.6, eps_r=4.4):
    """The model: `patch` is (length, width) in mm, `h` the substrate height."""
    board = (63.0, 48.0)                  # FR4 board, mm
    margin = 6.0                          # air around it, and the PML inside that
    nx, ny = round((board[0] + 2 * margin) / cell), round((board[1] + 2 * margin) / cell)
    z0 = 11.407                           # top of the air below the board
    grid = fh.Grid(x=[fh.Uniform(nx, cell)], y=[fh.Uniform(ny, cell)],
                   z=[fh.Graded(10, 2.0, 0.5), fh.Uniform(5, 0.4), fh.Graded(25, 0.4, 2.0)])
    x0, y0 = margin, margin
    px = x0 + 24.0                        # the patch's feed edge
    py = y0 + (board[1] - patch[1]) / 2
    yc = y0 + board[1] / 2
    top = round(z0 + h, 6)                # mm to the nanometre: no rounding noise
    vias = [fh.Via("copper", (x0 + 4.0 + 3.0 * n, yc + dy), 0.6, (round(z0 - 0.4, 6), top))
            for dy in (-5.0, 5.0) for n in range(6)]
    return fh.Model(
        name=f"patch antenna {patch[0]:g} x {patch[1]:g} mm on FR4",
        grid=grid, pml=6,
        materials=[fh.Material("air", colour=(0.8, 0.9, 1.0), show=False),
                   fh.Material("fr4", eps_r=eps_r, sigma=0.0117, colour=(0.25, 0.55, 0.3)),
                   fh.Material("copper", sigma=5.8e7, colour=(0.85, 0.5, 0.2))],
        boxes=[fh.Box("fr4", (x0, y0, z0), (x0 + board[0], y0 + board[1], top))],
        sheets=[fh.Sheet("copper", "z", round(z0 - 0.2, 6), (x0, y0),
                         (x0 + board[0], y0 + board[1])),
                fh.Sheet("copper", "z", round(top + 0.2, 6), (px, py),
                         (px + patch[0], py + patch[1])),
                fh.Sheet("copper", "z", round(top + 0.2, 6), (x0 + 2.0, yc - feed_width / 2),
                         (px, yc + feed_width / 2))],
        lumped=[fh.Lumped((x0 + 2.25, yc + 0.25, z0), (x0 + 2.25, yc + 0.25, top), 50.0,
                          name="feed")],
        vias=vias,
        view=fh.View(480, 360), field=fh.FieldView(height=6.0))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/patch")
    parser.add_argument("--coarse", action="store_true",
                        help="1 mm cells, small pictures, 3000 time steps")
    args = parser.parse_args(argv)
    model = patch_antenna(cell=1.0 if args.coarse else 0.5)
    if args.coarse:
        model = dataclasses.replace(model, view=fh.View(160, 120),
                                    simulation=fh.TimeDomain(max_steps=3000))
    summary = fh.run(model, out=args.out)
    feed = summary["feed_line"]
    print(f"{summary['model']}: {summary['cells']:,} cells, feed line "
          f"Z0 {feed['impedance_ohm']:g} ohm, eps_eff {feed['eps_eff']:g}")
    sim = summary["simulation"]
    if sim["resonance"]:
        print(f"resonance {sim['resonance']['frequency_Hz'] / 1e9:.4g} GHz (harmonic inversion), "
              f"S11 minimum {sim['s11_minimum']['db']:.1f} dB at "
              f"{sim['s11_minimum']['frequency_Hz'] / 1e9:.4g} GHz")


if __name__ == "__main__":
    main()
