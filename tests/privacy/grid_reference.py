"""A plain transcription of the grid release kernel (velmora.privacy._privacy_kernels),
cell by cell in Python floats (IEEE doubles, the platform's libm through math), drawing
the same 64-bit words with the bit generator's random_raw (PCG64's raw output is its
next_uint64)."""

import math

import numpy as np

BLOCK_CELLS = 1 << 16
REFINEMENT_BELOW = 1 << 45
TWO_PI = 6.283185307179586
MASK = (1 << 64) - 1


def rint(x):
    return float(np.rint(x))


def noise_uniform(word, refinement):
    cell = float(word >> 11)
    if (word >> 11) >= REFINEMENT_BELOW:
        return (cell + 0.5) * 2.0**-53
    return (cell + (float(refinement >> 11) + 0.5) * 2.0**-53) * 2.0**-53


def keep(position, steps):
    return min(max(position, 0.0), float(steps))


def position_of(value, low, high, steps, step, integer):
    clipped = min(max(value, low), high)
    if integer:
        offset = float((clipped - low) % (1 << 64))
        if step == 1.0:
            return offset
    else:
        offset = clipped - low
    return keep(rint(offset * (1.0 / step)), steps)


def value_of(position, low, high, step, integer):
    if not integer:
        return min(max(position * step + low, low), high)
    span = high - low
    distance = position if step == 1.0 else rint(position * step)
    whole = span if distance >= 2.0**64 else int(distance)
    return low + min(whole, span)


def noise_of(noise, scale, words, cells, refinements):
    refinements = iter(refinements)

    def uniform(word):
        return noise_uniform(word, next(refinements) if (word >> 11) < REFINEMENT_BELOW else 0)

    out = []
    if noise == "laplace":
        for word in words[:cells]:
            magnitude = -math.log(uniform(word))
            out.append(rint(scale * (-magnitude if word & 1 else magnitude)))
        return out
    for i in range(0, cells, 2):
        radius = math.sqrt(-2.0 * math.log(uniform(words[i])))
        angle = TWO_PI * (float(words[i + 1] >> 11) * 2.0**-53)
        out.append(rint(scale * (radius * math.cos(angle))))
        out.append(rint(scale * (radius * math.sin(angle))))
    return out[:cells]


def release_on_grid(values, missing, low, high, steps, step, noise, scale, generator):
    """The kernel's result, as a list of Python numbers."""
    integer = values.dtype.kind in "iu"
    cells_in = [int(v) for v in values] if integer else [float(v) for v in values]
    flags = [bool(m) for m in missing] if missing is not None else [(not integer) and math.isnan(v) for v in cells_in]
    size = len(cells_in)
    if steps == 0:
        return [low] * size
    fill = any(flags)
    raw = generator.bit_generator.random_raw
    out = []
    for start in range(0, size, BLOCK_CELLS):
        cells = min(BLOCK_CELLS, size - start)
        count = cells if noise == "laplace" else 2 * ((cells + 1) // 2)
        words = [int(w) for w in raw(count)]
        fills = [int(w) for w in raw(cells)] if fill else []
        stride = 1 if noise == "laplace" else 2
        needed = sum(1 for w in words[::stride] if (w >> 11) < REFINEMENT_BELOW)
        refinements = [int(w) for w in raw(needed)] if needed else []
        drawn = noise_of(noise, scale, words, cells, refinements)
        for i in range(cells):
            row = start + i
            if flags[row]:
                position = float((fills[i] * (steps + 1)) >> 64)
            else:
                position = position_of(cells_in[row], low, high, steps, step, integer)
            out.append(value_of(keep(position + drawn[i], steps), low, high, step, integer))
    return out
