"""A part imported from an STL file: a copper ring (a torus) over a ground
plane on an FR4 board, fed by a lumped element from the ground.

The STL file is made here with trimesh; a part from CAD is used the same way,
`fh.Mesh("copper", "part.stl", scale=1.0)`, with `scale` in mm per STL unit.

    python examples/stl_part.py [--out DIR] [--coarse]
"""
import argparse
import os

import fdtdhost as fh
import trimesh


def ring_stl(path, major=8.0, minor=1.2):
    """Writes a torus of `major` and `minor` radius (mm), axis along z, to `path`."""
    trimesh.creation.torus(major_radius=major, minor_radius=minor).export(path)


def ring_model(stl, cell=0.5):
    n = round(40.0 / cell)
    return fh.Model(
        name="copper ring from an STL file over a grounded FR4 board",
        grid=fh.Grid(x=[fh.Uniform(n, cell)], y=[fh.Uniform(n, cell)],
                     z=[fh.Graded(8, 2.0, cell), fh.Uniform(round(6.0 / cell), cell),
                        fh.Graded(10, cell, 2.0)]),
        pml=6,
        materials=[fh.Material("air", colour=(0.8, 0.9, 1.0), show=False),
                   fh.Material("fr4", eps_r=4.4, sigma=0.0117, colour=(0.25, 0.55, 0.3)),
                   fh.Material("copper", sigma=5.8e7, colour=(0.85, 0.5, 0.2))],
        boxes=[fh.Box("fr4", (6, 6, 10.0), (34, 34, 11.6))],
        shapes=[fh.Mesh("copper", stl, offset=(20.0, 20.0, 13.0))],
        sheets=[fh.Sheet("copper", "z", 9.9, (6, 6), (34, 34))],
        lumped=[fh.Lumped((28.25, 20.25, 10.0), (28.25, 20.25, 11.8), 50.0, name="feed")],
        view=fh.View(480, 360))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="out/stl_part")
    parser.add_argument("--coarse", action="store_true", help="1 mm cells, small pictures")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    stl = os.path.join(args.out, "ring.stl")
    ring_stl(stl)
    summary = fh.run(ring_model(stl, cell=1.0 if args.coarse else 0.5), out=args.out)
    print(f"{summary['model']}: {summary['cells']:,} cells")


if __name__ == "__main__":
    main()
