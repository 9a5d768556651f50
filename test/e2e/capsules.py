"""EC update capsules for the tests: signed by EDK II's GenerateCapsule.py
with EDK II's test certificates, and the driver built to trust their root
(scripts/fmp.sh with the test GUID)."""

import os
import subprocess

EDK2 = os.environ.get("EDK2_DIR", os.path.expanduser("~/.cache/morvane/edk2-stable202211"))
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
PKCS7 = os.path.join(EDK2, "BaseTools", "Source", "Python", "Pkcs7Sign")
TRUST = os.path.join(PKCS7, "TestRoot.pub.pem")

# The test driver's capsule GUID (ESRT firmware class) and the version
# record's vendor GUID (MorvanePkg.dec).
HWID = "2a9b8c51-1f3e-4d62-9a07-5e4c3b2d1f60"
RECORD_GUID = "5baf24e3-918d-4465-bd06-20f92754b734"

# FmpDxe's last-attempt statuses for what it refuses before the device.
VERSION_TOO_LOW, AUTH_FAILURE = 0x1010, 0x1012


def build_driver(mode="test", hwid=HWID, out=None):
    """scripts/fmp.sh for hwid (the test GUID unless given) and EDK II's test root: the
    driver, its ROM and (mode "test") the test-only parts, into out (build/).
    Returns the printed lines."""
    env = dict(os.environ, HWID=hwid, TRUST=TRUST)
    if out:
        env["FMP_OUT"] = out
    result = subprocess.run(["bash", os.path.join(ROOT, "scripts", "fmp.sh"), mode], env=env,
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("fmp.sh failed:\n" + result.stdout + result.stderr)
    return [line for line in result.stdout.splitlines() if line.startswith("fmp: built")]


def generate(payload, out, version, lsv, folder, hwid=HWID):
    """Writes a signed capsule of payload (bytes) for hwid to out."""
    source = os.path.join(folder, os.path.basename(out) + ".payload")
    with open(source, "wb") as handle:
        handle.write(payload)
    env = dict(os.environ, PYTHONPATH=os.path.join(EDK2, "BaseTools", "Source", "Python"))
    subprocess.run(["python3", os.path.join(EDK2, "BaseTools", "Source", "Python", "Capsule", "GenerateCapsule.py"),
                    "--encode", "--guid", hwid, "--fw-version", "0x%08x" % version, "--lsv", "0x%08x" % lsv,
                    "--monotonic-count", "1",
                    "--signer-private-cert", os.path.join(PKCS7, "TestCert.pem"),
                    "--other-public-cert", os.path.join(PKCS7, "TestSub.pub.pem"),
                    "--trusted-public-cert", TRUST, "-o", out, source],
                   env=env, check=True, capture_output=True)
    with open(out, "rb") as handle:
        capsule = handle.read()
    if not capsule.endswith(payload):
        raise RuntimeError("the payload is not at the capsule's end")
    return capsule


def changed(capsule, payload_size):
    """The capsule with one byte of its payload flipped (the signature no
    longer holds)."""
    at = len(capsule) - payload_size // 2
    return capsule[:at] + bytes([capsule[at] ^ 0x01]) + capsule[at + 1:]
