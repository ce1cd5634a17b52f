"""What a port's signals mean at the terminals: impedance, S11, a Touchstone
file; a line's impedance and eps_eff from V and I at two planes; and the
closed forms the simulated figures are held against.

Frequencies are in Hz, lengths in metres unless a name says mm.
"""
import math

import numpy as np

from .grid import C0, EPS0, MU0

ETA0 = math.sqrt(MU0 / EPS0)


def reflection(impedance, reference):
    """S11 of a port of reference impedance `reference` (ohm) that sees `impedance`."""
    z = np.asarray(impedance)
    return (z - reference) / (z + reference)


def db(values):
    """20 log10 |values|."""
    return 20 * np.log10(np.abs(values))


def write_touchstone(path, freqs, s11, reference, comments=()):
    """A one-port Touchstone (version 1) file: frequencies in Hz, S11 as real
    and imaginary parts, the port's reference impedance."""
    with open(path, "w", encoding="ascii", errors="replace") as out:
        for line in comments:
            out.write(f"! {line}\n")
        out.write(f"# HZ S RI R {reference:.10g}\n")
        for f, s in zip(freqs, s11):
            out.write(f"{f:.12g} {s.real:.12g} {s.imag:.12g}\n")


def two_plane(v1, i1, v2, i2, length, freqs):
    """Impedance and eps_eff of a uniform line from the voltage and current
    (along +x) at two planes `length` apart, at each frequency.

    The section between the planes is a symmetric two-port: with r =
    (I2 - I1)(V2 - V1) / ((V1 + V2)(I1 + I2)), cosh(gamma l) = (1 + r)/(1 - r)
    and Z0^2 = (V2^2 - V1^2) / (I2^2 - I1^2), whatever the line ends in.
    """
    v1, i1, v2, i2 = (np.asarray(a, complex) for a in (v1, i1, v2, i2))
    r = (i2 - i1) * (v2 - v1) / ((v1 + v2) * (i1 + i2))
    cosh = (1 + r) / (1 - r)
    z0 = np.sqrt((v2 ** 2 - v1 ** 2) / (i2 ** 2 - i1 ** 2))
    z0 = np.where(z0.real < 0, -z0, z0)
    beta = np.abs(np.arccosh(cosh).imag) / length
    eps_eff = (beta * C0 / (2 * np.pi * np.asarray(freqs))) ** 2
    return z0, eps_eff


def _hj_air(u):
    """Hammerstad-Jensen impedance of a strip of width/height u in air."""
    f = 6 + (2 * math.pi - 6) * math.exp(-(30.666 / u) ** 0.7528)
    return ETA0 / (2 * math.pi) * math.log(f / u + math.sqrt(1 + 4 / u ** 2))


def _hj_eps(u, eps_r):
    a = 1 + math.log((u ** 4 + (u / 52) ** 2) / (u ** 4 + 0.432)) / 49 \
        + math.log(1 + (u / 18.1) ** 3) / 18.7
    b = 0.564 * ((eps_r - 0.9) / (eps_r + 3)) ** 0.053
    return (eps_r + 1) / 2 + (eps_r - 1) / 2 * (1 + 10 / u) ** (-a * b)


def microstrip(width, height, eps_r, thickness=0.0):
    """(Z0, eps_eff) of a microstrip by Hammerstad and Jensen (1980), with
    their correction for a strip of `thickness` (any unit, all the same)."""
    u = width / height
    if thickness > 0:
        t = thickness / height
        du1 = t / math.pi * math.log(1 + 4 * math.e / (t / math.tanh(math.sqrt(6.517 * u)) ** 2))
        dur = 0.5 * (1 + 1 / math.cosh(math.sqrt(eps_r - 1))) * du1
    else:
        du1 = dur = 0.0
    u1, ur = u + du1, u + dur
    eps_eff = _hj_eps(ur, eps_r)
    z0 = _hj_air(ur) / math.sqrt(eps_eff)
    return z0, eps_eff * (_hj_air(u1) / _hj_air(ur)) ** 2


def patch_resonance(length, width, height, eps_r):
    """The TM010 resonance (Hz) of a rectangular patch of `length` along its
    feed, `width` across, on a substrate of `height` (metres): the cavity
    lengthened at each radiating edge by Hammerstad's fringing extension,
    with the eps_eff of a strip of the patch's width."""
    eps_eff = (eps_r + 1) / 2 + (eps_r - 1) / 2 / math.sqrt(1 + 12 * height / width)
    w = width / height
    extension = 0.412 * height * (eps_eff + 0.3) * (w + 0.264) / ((eps_eff - 0.258) * (w + 0.8))
    return C0 / (2 * (length + 2 * extension) * math.sqrt(eps_eff))
