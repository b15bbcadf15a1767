"""Coverage-guided fuzzing of the profile and monitor decoders with atheris.

The first input byte picks a mode: raw bytes; a body wrapped in a valid frame (header,
fingerprint and checksum computed, so the parser behind them is reached); or a valid profile
with bytes of its body overwritten. Decoding may succeed (and then must round-trip) or raise
`morvane.FormatError`; anything else (another exception, a crash) is a finding.

    python fuzz/fuzz_profile.py -runs=200000          # a short run
    python fuzz/fuzz_profile.py -max_total_time=3600  # a long run
"""

import hashlib
import struct
import sys

import atheris

with atheris.instrument_imports():
    import numpy as np

    import morvane as mv
    from morvane.state import format as _format


def _seeds():
    rng = np.random.default_rng(1)
    n = 50
    t = {"x": rng.normal(size=n), "c": rng.choice(["a", "b"], n), "y": rng.integers(0, 2, n), "p": rng.random(n)}
    ref = mv.profile(t, target="y", prediction="p", task="binary", facets={"c": None, "x": mv.at_least(0)})
    reg = mv.profile(t, target="x", prediction="p", task="regression", n_bins=3)
    mon = mv.Monitor(ref)
    mon.update(t)
    return [ref.to_bytes(), reg.to_bytes()], mon.to_bytes()


PROFILES, MONITOR = _seeds()


def frame(magic, body):
    fingerprint = 0
    if magic == _format.PROFILE_MAGIC and len(body) >= 8:
        (n,) = struct.unpack_from("<Q", body)
        fingerprint = int.from_bytes(hashlib.blake2b(body[8:8 + n], digest_size=8).digest(), "little")
    head = struct.pack("<4sHHQQ", magic, _format.VERSION, 0, fingerprint, len(body))
    return head + body + hashlib.blake2b(head + body, digest_size=8).digest()


def candidates(data: bytes):
    if not data:
        return []
    mode, rest = data[0] % 4, data[1:]
    if mode == 0:
        return [rest]
    if mode == 1:
        return [frame(_format.PROFILE_MAGIC, rest), frame(_format.MONITOR_MAGIC, rest)]
    base = PROFILES[mode - 2] if mode < 4 else MONITOR
    body = bytearray(base[24:-8])
    # Pairs of (position, byte) overwrite the valid body.
    for i in range(0, len(rest) - 2, 3):
        pos = int.from_bytes(rest[i:i + 2], "little") % max(1, len(body))
        body[pos] = rest[i + 2]
    return [frame(base[:4], bytes(body))]


def test_one(data: bytes):
    for blob in candidates(data):
        for cls in (mv.Profile, mv.Monitor):
            try:
                obj = cls.from_bytes(blob)
            except mv.FormatError:
                continue
            again = cls.from_bytes(obj.to_bytes())
            assert again == obj, "a decoded object does not round-trip"


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one)
    atheris.Fuzz()
