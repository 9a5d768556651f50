# Morvane: `make` builds build/Morvane.efi (`make TRUST=ca.pem`: one that
# flashes only capsules signed under that certificate); `make demo` flashes
# a sample image onto the simulated EC in QEMU; `make test` runs every test;
# `make plan IMAGE=ec.bin` checks an image or a capsule (with TRUST, its
# signature); `make stick IMAGE=ec.bin` builds
# the operator's flashing stick (build/morvane-stick.img);
# `make depot IMAGE=ec.bin` serves Morvane, the image and the results page
# to machines that boot from the network; CATALOG=folder instead of IMAGE
# (plan, stick, depot) takes a catalogue of capsules for a mixed fleet; `make depot-bench` measures a
# depot serving 1,000 machines on this machine's loopback;
# `make fmp HWID=GUID TRUST=cert.pem` builds the EC update driver
# (build/EcFmpDxe.efi and its option ROM).
# Each target installs what it needs first (scripts/setup.sh).

.PHONY: all help demo test host-test e2e-test bench plan stick depot depot-bench fmp clean

# What the scripts are given (an image's path, a model, keys...) reaches
# them byte for byte, from make's command line or from the environment:
# make would read a '$' in it as its own, and a shell a quote or a
# backquote, so each goes into the scripts' environment exactly as typed
# ($(value ...)), and no recipe writes one into a command line.
PASSED := IMAGE CATALOG MODEL ADDRESS REMOTE_ADDRESS SIGN_KEY SIGN_CERT SHELL_STICK DEPOT_DIR TRUST METADATA_KEY METADATA_CERT
$(foreach v,$(PASSED),$(if $(filter undefined,$(origin $(v))),,$(eval override $(v) := $$(value $(v)))$(eval export $(v))))

# Every target has one `## target: what it does (its variables)` line
# above it: `make help` prints them, and the documents check holds the
# guides to them.
## all: build build/Morvane.efi (TRUST=ca.pem: one that flashes only capsules signed under it)
all:
	@bash scripts/build.sh

## demo: flash a sample image onto the simulated EC in QEMU and print the verdict
demo:
	@bash scripts/demo.sh

## test: every test: host tests, script tests, fuzz targets, then the QEMU suites
test: host-test e2e-test

## host-test: the host tests (both passes), script tests, documents check and fuzz targets
host-test:
	@bash scripts/host-tests.sh

## e2e-test: the end-to-end suites in QEMU (and the fwupd guest)
e2e-test:
	@bash scripts/e2e-tests.sh

## bench: port-access and signed-image benchmarks (prints figures)
bench:
	@bash scripts/bench.sh

## plan: check an image or capsule as Morvane reads it, or print a catalogue as a table (IMAGE= or CATALOG=, TRUST=)
plan:
	@bash scripts/plan.sh "$$IMAGE"

## stick: build the flashing stick build/morvane-stick.img (IMAGE= or CATALOG=, MODEL=, TRUST=, SIGN_KEY=, SIGN_CERT=, SHELL_STICK=)
stick:
	@bash scripts/stick.sh "$$IMAGE"

## depot: serve Morvane, the image or a catalogue, the fwupd remote and the results page (IMAGE= or CATALOG=, MODEL=, ADDRESS=, REMOTE_ADDRESS=, DEPOT_DIR=, TRUST=, SIGN_KEY=, SIGN_CERT=, METADATA_KEY=, METADATA_CERT=)
depot:
	@bash scripts/depot.sh "$$IMAGE"

## depot-bench: measure a depot serving 1,000 machines on loopback, and a catalogue of 200 capsules (prints figures)
depot-bench:
	@nice /usr/bin/python3 scripts/depot_bench.py
	@nice /usr/bin/python3 scripts/catalog_bench.py

# `make capsule IMAGE=ec.bin VERSION=0x... [LOWEST=0x...] HWID={guid}
# [FIELDS=fields.ini] SIGN_KEY=... SIGN_CERT=... [OTHER_CERT=...]` wraps an image in a signed
# capsule, build/NAME.cap; its own variables reach the script as the others do.
.PHONY: capsule
CAPSULE_PASSED := VERSION LOWEST HWID OTHER_CERT FIELDS
$(foreach v,$(CAPSULE_PASSED),$(if $(filter undefined,$(origin $(v))),,$(eval override $(v) := $$(value $(v)))$(eval export $(v))))

## capsule: wrap an image in a signed capsule build/NAME.cap (IMAGE=, VERSION=, LOWEST=, HWID=, FIELDS=, SIGN_KEY=, SIGN_CERT=, OTHER_CERT=)
capsule:
	@bash scripts/capsule.sh

## fmp: build the EC update driver build/EcFmpDxe.efi and its option ROM (HWID=, TRUST=)
fmp:
	@bash scripts/fmp.sh

## clean: remove build/
clean:
	rm -rf build

## help: list every target with what it does and its variables
help:
	@sed -n 's/^## \([a-z0-9-]*\): /\1\t/p' Makefile | expand -t 14
