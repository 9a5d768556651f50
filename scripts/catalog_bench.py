#!/usr/bin/env python3
"""make depot-bench, the catalogue half: a depot serving a catalogue of a
mixed fleet (scripts/depot.sh --start with CATALOG=, on a free 127.0.0.1
port), measured from this machine.

    catalog_bench.py [--models 10] [--versions 20] [--machines 1000]

Makes models x versions signed capsules of 1 MiB each (EDK II's
GenerateCapsule.py and its test signer, two at a time), times the depot's
build of the catalogue (every capsule read, parsed and verified, the index
written), then has each simulated machine do what Morvane does before its
first erase: GET MORVANE.CFG and CATALOG.TXT, choose its model's highest
version, GET that capsule and check its CRC-32 against the index. Prints
the bytes each machine fetched against its capsule's size, the build time
and the machines served; asserts nothing about time.
"""

import argparse
import concurrent.futures
import http.client
import os
import shutil
import socket
import subprocess
import sys
import time
import uuid
import zlib

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MIB = 1024 * 1024


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_capsules(folder, models, versions):
    """Each model's ID is a name-based GUID, as hardware IDs are."""
    edk2 = subprocess.run(["bash", os.path.join(ROOT, "scripts", "setup.sh")], capture_output=True,
                          text=True).stdout.strip().splitlines()[-1]
    py = os.path.join(edk2, "BaseTools", "Source", "Python")
    certs = os.path.join(py, "Pkcs7Sign")
    payload = os.path.join(folder, "..", "ec.bin")
    with open(payload, "wb") as out:
        out.write(os.urandom(MIB - 4096))
    jobs = []
    for model in range(models):
        hwid = str(uuid.uuid5(uuid.NAMESPACE_DNS, "bench-model-%d" % model))
        for version in range(versions):
            name = os.path.join(folder, "m%02d-v%02d.cap" % (model, version))
            jobs.append(["python3", os.path.join(py, "Capsule", "GenerateCapsule.py"), "--encode", "--guid", hwid,
                         "--fw-version", "0x%08X" % (0x100 + version), "--lsv", "0x00000100", "--monotonic-count", "1",
                         "--signer-private-cert", os.path.join(certs, "TestCert.pem"),
                         "--other-public-cert", os.path.join(certs, "TestSub.pub.pem"),
                         "--trusted-public-cert", os.path.join(certs, "TestRoot.pub.pem"), "-o", name, payload])
    env = dict(os.environ, PYTHONPATH=py)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for done in pool.map(lambda job: subprocess.run(job, env=env, capture_output=True), jobs):
            if done.returncode != 0:
                sys.exit("catalog-bench: GenerateCapsule.py failed: " + done.stderr.decode()[-400:])
    return [str(uuid.uuid5(uuid.NAMESPACE_DNS, "bench-model-%d" % model)) for model in range(models)]


def machine(port, hwid):
    """One machine's fetches before its first erase: bytes fetched, the capsule's size, and a failure or None."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    fetched = 0
    try:
        bodies = {}
        for name in ["MORVANE.CFG", "CATALOG.TXT"]:
            connection.request("GET", "/" + name)
            answer = connection.getresponse()
            bodies[name] = answer.read()
            fetched += len(bodies[name])
            if answer.status != 200:
                return fetched, 0, "%s answered %d" % (name, answer.status)
        entries = [line.split(" ") for line in bodies["CATALOG.TXT"].decode().splitlines()[1:]
                   if line and not line.startswith("#") and line != "morvane-catalog 1"]
        mine = [entry for entry in entries if entry[1] == hwid]
        if not mine:
            return fetched, 0, "no entry for " + hwid
        chosen = max(mine, key=lambda entry: int(entry[2], 16))
        connection.request("GET", "/" + chosen[0])
        answer = connection.getresponse()
        capsule = answer.read()
        fetched += len(capsule)
        if answer.status != 200 or "%08X" % zlib.crc32(capsule) != chosen[5] or len(capsule) != int(chosen[4]):
            return fetched, len(capsule), "%s: answered %d, or not as the index says" % (chosen[0], answer.status)
        return fetched, len(capsule), None
    except OSError as error:
        return fetched, 0, str(error)
    finally:
        connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--models", type=int, default=10)
    parser.add_argument("--versions", type=int, default=20)
    parser.add_argument("--machines", type=int, default=1000)
    options = parser.parse_args()
    if not (1 <= options.models <= 50 and 1 <= options.versions <= 50 and 1 <= options.machines <= 5000):
        sys.exit("catalog-bench: at most 50 models of 50 versions, and 5000 machines")
    work = os.path.join(ROOT, "build", "catalog-bench")
    shutil.rmtree(work, ignore_errors=True)
    folder = os.path.join(work, "catalog")
    os.makedirs(folder)
    os.chmod(work, 0o755)
    began = time.monotonic()
    models = make_capsules(folder, options.models, options.versions)
    made = time.monotonic() - began
    with open(os.path.join(work, "Morvane.efi"), "wb") as out:
        out.write(b"MZ")
    port = free_port()
    env = dict(os.environ, DEPOT_DIR=os.path.join(work, "depot"), ADDRESS="127.0.0.1:%d" % port, CATALOG=folder,
               TRUST=os.path.join(subprocess.run(["bash", os.path.join(ROOT, "scripts", "setup.sh")], capture_output=True,
                                                 text=True).stdout.strip().splitlines()[-1],
                                  "BaseTools", "Source", "Python", "Pkcs7Sign", "TestRoot.pub.pem"))
    env.pop("MORVANE_EFI", None)
    # The planner is built first, so that the build time is the catalogue's.
    subprocess.run(["bash", os.path.join(ROOT, "scripts", "plan.sh"), "--build"], check=True)
    began = time.monotonic()
    built = subprocess.run(["bash", os.path.join(ROOT, "scripts", "plan.sh"), "--catalog", folder, "--out",
                            os.path.join(work, "stage")], env=env, capture_output=True, text=True)
    build_seconds = time.monotonic() - began
    if built.returncode != 0:
        sys.exit("catalog-bench: the catalogue was refused:\n" + built.stderr[-1000:])
    # The depot itself (a stand-in Morvane.efi: what is measured is the catalogue), without TRUST.
    env.pop("TRUST")
    env["MORVANE_EFI"] = os.path.join(work, "Morvane.efi")
    started = subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot.sh"), "--start", ""], env=env,
                             capture_output=True, text=True, timeout=600)
    if started.returncode != 0:
        sys.exit("catalog-bench: the depot did not start:\n" + started.stderr[-1000:])
    master = started.stdout.split()[-1]
    try:
        began = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(50) as pool:
            results = list(pool.map(lambda number: machine(port, models[number % len(models)]),
                                    range(options.machines)))
        wall = time.monotonic() - began
    finally:
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "depot-server.sh"), "stop", master], capture_output=True)
        shutil.rmtree(os.path.join(ROOT, "build", "depot-%d" % port), ignore_errors=True)
        index_bytes = os.path.getsize(os.path.join(work, "depot", "CATALOG.TXT"))
        shutil.rmtree(work, ignore_errors=True)
    failed = [failure for _, _, failure in results if failure]
    over = [fetched - size for fetched, size, failure in results if not failure]
    print("catalog-bench: %d machines of %d models, a catalogue of %d capsules (1 MiB each), on 127.0.0.1 (%d cores)"
          % (options.machines, options.models, options.models * options.versions, os.cpu_count()))
    print("  capsules made:       %.1f s (GenerateCapsule.py, two at a time)" % made)
    print("  catalogue built:     %.1f s (each capsule read, parsed and verified against TRUST; index %d bytes)"
          % (build_seconds, index_bytes))
    print("  before first erase:  each machine fetched its capsule plus %d to %d bytes (MORVANE.CFG and the index;"
          " goal: at most 65536)" % (min(over or [0]), max(over or [0])))
    print("  machines served:     %d of %d, %d refused or not as the index says, in %.1f s"
          % (len(over), options.machines, len(failed), wall))
    for failure in failed[:10]:
        print("  failed: " + failure)
    return 0 if not failed else 1


if __name__ == "__main__":
    sys.exit(main())
