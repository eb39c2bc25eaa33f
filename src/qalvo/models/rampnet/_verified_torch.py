"""The torch releases the native training engine is verified on.

Bit for bit identity with the generic path rests on the engine making the
operation calls that autograd and Adam make in a given torch release, so the
engine is compiled and run only for releases its identity and fallback tests
ran on (``make test-torch``). On any other torch the generic path runs. The
build reads this file too; add a release here only together with a passing
``make test-torch`` on it.
"""

VERIFIED = ("2.13.0", "2.14.1")


def public_version(version):
    """A torch version without its local label: "2.13.0+cpu" -> "2.13.0"."""
    return version.split("+", 1)[0]


def is_verified(version):
    return public_version(version) in VERIFIED
