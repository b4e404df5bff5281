#!/usr/bin/env python3
"""Write the synthetic MSTAR sample chip vantrel/data/mstar/BTR70_HB03787.004.

The chip is a made-up stand-in for the real MSTAR chip of that name: a BTR70
on speckled clutter at 15 degrees depression, radar at the bottom of the image
(near range = high row numbers), so the shadow falls towards the top.

The output must be identical on every machine and numpy version, so the
randomness comes from a counter-based splitmix64 on uint64 arrays and the
arithmetic is restricted to correctly rounded IEEE operations (+ - * / sqrt,
comparisons, float32 casts). No numpy.random and no transcendental functions.

Usage: make_sample_chip.py [OUTPUT_PATH]
"""

import hashlib
import math
import sys
from pathlib import Path

import numpy as np

ROWS = COLS = 128
DEFAULT_OUT = (Path(__file__).resolve().parent.parent
               / "vantrel" / "data" / "mstar" / "BTR70_HB03787.004")

SEED = 0x5A12_3787_0004_B770
TWO_PI = 2.0 * 3.141592653589793
PIXEL_M = 0.2                    # ground metres per pixel, both axes
SHADOW_PX_PER_M = 18.0           # ~cos^2(15 deg)/sin(15 deg)/0.2: shadow length per metre of height
LAYOVER_PX_PER_M = 1.3           # ~sin(15 deg)/0.2: high points lean towards the radar
CLUTTER_SIGMA = 0.034            # per I/Q component; median magnitude ~0.04 like real chips
PSF_WIDTH_PX = 1.5               # 0.3 m resolution / 0.2 m spacing
PSF_HALF_SPAN = 9                # cross arm half length in pixels
ASPECT_T = 0.2                   # tan(aspect/2); rational rotation avoids sin/cos


# ---------------------------------------------------------------- randomness
def _bits(stream, n):
    """n 64-bit words of splitmix64 output for an independent stream id."""
    with np.errstate(over="ignore"):
        z = (np.arange(n, dtype=np.uint64) + np.uint64(1)) * np.uint64(0x9E3779B97F4A7C15)
        z = z + np.uint64((SEED + stream * 0xD1B54A32D192ED03) & 0xFFFFFFFFFFFFFFFF)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return z ^ (z >> np.uint64(31))


def uniform(stream, shape):
    """Uniform in [0, 1), exact multiples of 2**-53."""
    n = int(np.prod(shape))
    return ((_bits(stream, n) >> np.uint64(11)).astype(np.float64) * math.ldexp(1.0, -53)).reshape(shape)


def gaussian(stream, shape):
    """Unit-variance normal approximation: sum of 12 uniforms minus 6.

    The 12 uniforms are 32-bit integers summed exactly, so the result is
    independent of summation order.
    """
    n = int(np.prod(shape))
    w = _bits(stream, 6 * n).reshape(6, n)
    lo32 = np.uint64(0xFFFFFFFF)
    total = np.zeros(n, dtype=np.uint64)
    for k in range(6):
        total = total + (w[k] >> np.uint64(32)) + (w[k] & lo32)
    centred = total.astype(np.int64) - np.int64(6 << 32)
    return (centred.astype(np.float64) * math.ldexp(1.0, -32)).reshape(shape)


# ------------------------------------------------------------------ helpers
def smooth(a, kernel):
    """Separable 'valid' correlation with elementwise adds in a fixed order."""
    k = len(kernel)
    rows = a.shape[0] - k + 1
    out = kernel[0] * a[0:rows]
    for i in range(1, k):
        out = out + kernel[i] * a[i:i + rows]
    cols = a.shape[1] - k + 1
    res = kernel[0] * out[:, 0:cols]
    for i in range(1, k):
        res = res + kernel[i] * out[:, i:i + cols]
    return res


def sinc(x):
    """sin(pi x)/(pi x) via Bhaskara's rational sine, exact zeros at integers."""
    n = np.floor(x)
    t = x - n
    q = t * (1.0 - t)
    s = 16.0 * q / (5.0 - 4.0 * q)                  # ~sin(pi t) on [0, 1]
    odd = (n - 2.0 * np.floor(n * 0.5)) != 0.0
    s = np.where(odd, -s, s)
    safe = np.where(x == 0.0, 1.0, x)
    # 3.2 is the slope of the approximation at 0, so the peak is exactly 1
    return np.where(x == 0.0, 1.0, s / (3.2 * safe))


def psf_1d(x):
    """Unweighted sinc along one axis, so the sidelobe cross stays visible; tapered to zero."""
    y = sinc(x / PSF_WIDTH_PX)
    r = x * (1.0 / PSF_HALF_SPAN)
    taper = (1.0 - r * r) * (1.0 - r * r)
    return np.where(np.abs(x) < PSF_HALF_SPAN, y * taper, 0.0)


# ------------------------------------------------------------------ scene
# Scatterers in vehicle coordinates: along-hull u (front +), across-hull v
# (negative = side facing the radar), height h, all metres; amplitude.
SCATTERERS = [
    (0.7, 0.0, 2.3, 2.00),     # turret
    (3.6, -1.1, 1.2, 1.15),    # front corner facing the radar
    (-3.6, -1.2, 1.6, 0.95),   # rear corner facing the radar
    (2.3, -1.35, 0.5, 0.80),   # near-side wheels
    (0.8, -1.35, 0.5, 0.55),
    (-0.9, -1.35, 0.5, 0.70),
    (-2.4, -1.35, 0.5, 0.60),
    (2.3, 1.35, 0.5, 0.22),    # far-side wheels, mostly hidden
    (-2.4, 1.35, 0.5, 0.18),
    (-2.2, 0.3, 1.9, 0.40),    # engine deck
    (1.9, -0.6, 1.9, 0.45),    # hull ridge
    (-1.0, -0.8, 1.9, 0.35),
    (3.2, 0.9, 1.1, 0.30),
]
HALF_LEN_M = 3.75
HALF_WID_M = 1.4


def vehicle_frame():
    """Pixel grid expressed in vehicle coordinates (metres)."""
    c = (1.0 - ASPECT_T * ASPECT_T) / (1.0 + ASPECT_T * ASPECT_T)
    s = 2.0 * ASPECT_T / (1.0 + ASPECT_T * ASPECT_T)
    cy, cx = 66.0, 63.5
    y, x = np.mgrid[0:ROWS, 0:COLS].astype(np.float64)
    dy, dx = (y - cy) * PIXEL_M, (x - cx) * PIXEL_M
    # hull axis tilted by the aspect angle from the range (vertical) axis
    u = dx * s - dy * c
    v = dx * c + dy * s
    return u, v, (c, s, cy, cx)


def to_pixel(u, v, h, frame):
    c, s, cy, cx = frame
    x = cx + (u * s + v * c) * (1.0 / PIXEL_M)
    y = cy + (-u * c + v * s) * (1.0 / PIXEL_M) + h * LAYOVER_PX_PER_M
    return y, x


def footprint_and_shadow():
    u, v, frame = vehicle_frame()
    au = np.abs(u)
    # boat-shaped hull: narrower towards the nose and tail
    nose = np.minimum(1.0, (HALF_LEN_M - au) * (1.0 / 0.9) + 0.55)
    foot = (au <= HALF_LEN_M) & (np.abs(v) <= HALF_WID_M * nose)
    ru = au * (1.0 / HALF_LEN_M)
    height = 1.95 - 0.7 * ru * ru
    du, dv = u - 0.7, v
    height = np.where(du * du + dv * dv <= 0.8 * 0.8, 2.32, height)
    height = np.where(foot, height, 0.0)

    rows = np.arange(ROWS, dtype=np.float64)[:, None] * np.ones((1, COLS))
    # a ray from a pixel towards the radar (increasing row) is blocked if it
    # meets a hull pixel that is tall enough for the distance travelled
    reach = np.where(foot, rows - height * SHADOW_PX_PER_M, np.inf).min(axis=0)
    bottom = np.where(foot, rows, -np.inf).max(axis=0)
    shadow = (rows >= reach[None, :]) & (rows <= bottom[None, :]) & ~foot
    return foot, shadow, u, v, frame


def make_planes():
    foot, shadow, u, v, frame = footprint_and_shadow()

    # amplitude reflectivity: grass, faint shadow, brighter near side of the hull
    refl = np.ones((ROWS, COLS))
    refl = np.where(shadow, 0.2, refl)
    refl = np.where(foot, 2.0 - 0.6 * v, refl)
    # gentle large-scale variation of the ground
    tex = smooth(gaussian(1, (ROWS + 16, COLS + 16)), [1.0] * 17) * (1.0 / 17.0)
    refl = refl * np.where(foot, 1.0, 1.0 + 0.18 * tex)

    kernel = [0.5, 1.0, 0.5]
    pad = len(kernel) - 1
    norm = sum(k * k for k in kernel)
    scale = CLUTTER_SIGMA / norm
    big = np.pad(refl, pad // 2, mode="edge")
    re = smooth(big * gaussian(2, big.shape), kernel) * scale
    im = smooth(big * gaussian(3, big.shape), kernel) * scale

    # point scatterers add coherently with a random phase each
    pg = gaussian(4, (len(SCATTERERS), 2))
    yy = np.arange(ROWS, dtype=np.float64)
    xx = np.arange(COLS, dtype=np.float64)
    for (su, sv, sh, amp), (gr, gi) in zip(SCATTERERS, pg):
        r0, c0 = to_pixel(su, sv, sh, frame)
        unit = amp / np.sqrt(gr * gr + gi * gi)
        resp = psf_1d(yy - r0)[:, None] * psf_1d(xx - c0)[None, :]
        re = re + (gr * unit) * resp
        im = im + (gi * unit) * resp

    mag = np.sqrt(re * re + im * im).astype(np.float32)

    phase = (uniform(5, (ROWS, COLS)) * TWO_PI).astype(np.float32)
    # float32 rounding can reach 2*pi (which is then above 2*pi); that is phase 0
    phase = np.where(phase >= np.float32(TWO_PI), np.float32(0.0), phase)
    return mag, phase.astype(np.float32)


# ------------------------------------------------------------------ header
HEADER_TEMPLATE = [
    ("PhoenixHeaderLength", "{hlen:05d}"),
    ("PhoenixSigSize", "{size:08d}"),
    ("PhoenixSigNum", "0001"),
    ("PhoenixHeaderCallingSequence", ""),
    ("HeaderVersionNumber", "8CM"),
    ("PhoenixLines", "{lines:04d}"),
    ("native_header_length", "0"),
    ("Filename", "hb03787.0004_vantrel_synthetic"),
    ("Chip_MD5_CheckSum", "{md5}"),
    ("ParentScene", "synthetic"),
    ("NumberOfColumns", str(COLS)),
    ("NumberOfRows", str(ROWS)),
    ("TargetType", "btr70_transport"),
    ("TargetSerNum", "synthetic"),
    ("TargetAz", "22.619865"),
    ("TargetRoll", "0.000000"),
    ("TargetPitch", "0.000000"),
    ("TargetYaw", "22.619865"),
    ("DesiredDepression", "15"),
    ("DesiredGroundPlaneSquint", "-90"),
    ("DesiredSlantPlaneSquint", "-90"),
    ("DesiredRange", "5000"),
    ("DesiredAimpointElevation", "0"),
    ("MeasuredDepression", "15.000000"),
    ("MeasuredGroundPlaneSquint", "-90.000000"),
    ("MeasuredSlantPlaneSquint", "-90.000000"),
    ("MeasuredRange", "5000"),
    ("MeasuredAimpointElevation", "0.000000"),
    ("MeasuredAircraftHeading", "0.000000"),
    ("MeasuredAircraftAltitude", "1294.095215"),
    ("RadarMode", "mode 5 - spot light (synthetic)"),
    ("SensorCalibrationFactor", "1.000000"),
    ("RadarPosition", "bottom"),
    ("Range3dBWidth", "0.300000"),
    ("CrossRange3dBWidth", "0.300000"),
    ("SceneCenterReferenceLine", "64"),
    ("X_Velocity", "36.000000"),
    ("DataCollectors", "vantrel synthetic sample"),
    ("CollectionName", "synthetic"),
    ("SensorName", "synthetic"),
    ("Classification", "UNCLASSIFIED"),
    ("MultiplicativeNoise", "-10 dB"),
    ("AdditiveNoise", "-32 dB"),
    ("CenterFrequency", "9.600000 GHz"),
    ("CrossRangeWeighting", "synthetic sinc, sidelobes -13 dB"),
    ("RangeWeighting", "synthetic sinc, sidelobes -13 dB"),
    ("DynamicRange", "64 dB"),
    ("Bandwidth", "0.591 GHz"),
    ("RangeResolution", "0.300000"),
    ("CrossRangeResolution", "0.300000"),
    ("RangePixelSpacing", "0.200000"),
    ("CrossRangePixelSpacing", "0.200000"),
    ("AverageImageCalFactor", "1.000000"),
    ("Polarization", "HH"),
    ("TargetSeasonalCover", "synthetic grass"),
    ("TargetWaterContent", "dry"),
    ("TargetArticulation", "none (synthetic)"),
]


def build_header(data):
    lines = ["", "[PhoenixHeaderVer01.05]"]
    lines += [f"{key}= {value}" for key, value in HEADER_TEMPLATE]
    lines.append("[EndofPhoenixHeader]")
    template = "\n".join(lines) + "\n"
    fields = dict(md5=hashlib.md5(data).hexdigest(), lines=template.count("\n"))
    # every field is fixed-width, so a dry run with zeros gives the final length
    hlen = len(template.format(hlen=0, size=0, **fields).encode("ascii"))
    if hlen > 99999:
        raise AssertionError("header too long for a 5-digit length")
    header = template.format(hlen=hlen, size=hlen + len(data), **fields).encode("ascii")
    assert len(header) == hlen
    return header


def main(argv):
    out = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUT
    mag, phase = make_planes()
    assert np.all(np.isfinite(mag)) and np.all(mag >= 0.0)
    assert np.all(phase >= 0.0) and np.all(phase < TWO_PI)
    data = mag.astype(">f4").tobytes() + phase.astype(">f4").tobytes()
    header = build_header(data)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(header + data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
