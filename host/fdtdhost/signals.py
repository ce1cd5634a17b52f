"""Resonances of a time signal by harmonic inversion (the matrix pencil method),
and the frequency-domain sums a post-processor takes of port signals.

The matrix pencil fits a sum of damped complex exponentials to equally spaced
samples: it resolves modes closer than an FFT's bin or window leakage allows
(the FFT of a cavity's ring-down merges 3.464 and 3.535 GHz into one false
peak) and gives each mode's decay, hence its Q.
"""
from dataclasses import dataclass

import numpy as np
from scipy import linalg, signal


@dataclass(frozen=True)
class Mode:
    """One damped oscillation: amplitude * exp(-decay t) cos(2 pi frequency t + phase)."""
    frequency: float   # Hz
    decay: float       # 1/s; below 0 for a growing mode
    amplitude: float
    phase: float

    @property
    def q(self):
        """Quality factor pi f / decay (inf for an undamped mode)."""
        return np.pi * self.frequency / self.decay if self.decay > 0 else np.inf


def decimated(samples, dt, fmax):
    """The samples low-pass filtered and thinned to a rate above 2.5 fmax, with
    the new sample spacing. Filtering (FIR, zero phase) moves no frequency."""
    x = np.asarray(samples, dtype=np.float64)
    factor = max(1, int(1.0 / (2.5 * fmax * dt)))
    while factor > 1:
        q = min(factor, 10)
        x = signal.decimate(x, q, ftype="fir", zero_phase=True)
        dt *= q
        factor //= q
    return x, dt


def matrix_pencil(samples, dt, fmax=None, rcond=1e-7, order=None):
    """Modes of a real signal sampled every `dt`, by the matrix pencil method.

    With `fmax` the signal is first decimated to about 2.5 fmax and only modes
    below fmax are returned. The model order is the number of singular values
    of the Hankel matrix above `rcond` times the largest (or `order`).
    Returns the modes of positive frequency, in ascending frequency.
    """
    x, step = (decimated(samples, dt, fmax) if fmax else (np.asarray(samples, float), dt))
    n = len(x)
    pencil = n // 3
    hankel = linalg.hankel(x[:n - pencil], x[n - pencil - 1:])
    _, s, vh = linalg.svd(hankel, full_matrices=False)
    m = order if order is not None else int(np.sum(s > rcond * s[0]))
    m = max(1, min(m, pencil))
    v = vh[:m].conj().T
    z = linalg.eigvals(linalg.lstsq(v[:-1], v[1:])[0])
    # Residues by least squares on all samples. Each column is scaled to 1 at
    # its largest sample (the first for a decaying mode, the last for a
    # growing one), so no power overflows; the residue is its value at n = 0.
    log_z = np.log(z)
    shift = np.where(np.abs(z) > 1, n - 1, 0)
    powers = np.exp((np.arange(n)[:, None] - shift[None, :]) * log_z[None, :])
    residues = linalg.lstsq(powers, x.astype(complex))[0] * np.exp(-shift * log_z)
    modes = []
    for zi, ri in zip(z, residues):
        f = np.angle(zi) / (2 * np.pi * step)
        if f <= 0 or (fmax and f > fmax):
            continue
        modes.append(Mode(frequency=float(f), decay=float(-np.log(abs(zi)) / step),
                          amplitude=float(2 * abs(ri)), phase=float(np.angle(ri))))
    return sorted(modes, key=lambda mode: mode.frequency)


def strongest(modes, count):
    """The `count` modes of largest amplitude, in ascending frequency."""
    return sorted(sorted(modes, key=lambda m: -m.amplitude)[:count], key=lambda m: m.frequency)


SPECTRUM_TERMS = 1 << 22       # exponentials per block of frequencies (64 MB)


def spectrum(samples, dt, freqs, offset=0.5):
    """sum(x[n] exp(-i 2 pi f t_n)) dt at each frequency, t_n = (n + offset) dt:
    the Fourier transform of a sampled signal (a port's V or I at (n + 1/2) dt).
    Taken a block of frequencies at a time, so memory stays bounded."""
    x = np.asarray(samples, dtype=np.float64)
    t = (np.arange(len(x)) + offset) * dt
    f = np.atleast_1d(np.asarray(freqs, dtype=np.float64))
    out = np.empty(len(f), dtype=np.complex128)
    block = max(1, SPECTRUM_TERMS // max(len(x), 1))
    for start in range(0, len(f), block):
        part = f[start:start + block]
        out[start:start + block] = np.exp(-2j * np.pi * part[:, None] * t[None, :]) @ x * dt
    return out
