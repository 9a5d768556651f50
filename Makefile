# Morvane: `make` builds build/Morvane.efi (`make TRUST=ca.pem`: one that
# flashes only capsules signed under that certificate); `make demo` flashes
# a sample image onto the simulated EC in QEMU; `make test` runs every test;
# `make plan IMAGE=ec.bin` checks an image or a capsule (with TRUST, its
# signature); `make stick IMAGE=ec.bin` builds
# the operator's flashing stick (build/morvane-stick.img);
# `make depot IMAGE=ec.bin` serves Morvane, the image and the results page
# to machines that boot from the network; `make depot-bench` measures a
# depot serving 1,000 machines on this machine's loopback;
# `make fmp HWID=GUID TRUST=cert.pem` builds the EC update driver
# (build/EcFmpDxe.efi and its option ROM).
# Each target installs what it needs first (scripts/setup.sh).

.PHONY: all demo test host-test e2e-test bench plan stick depot depot-bench fmp clean

# What the scripts are given (an image's path, a model, keys...) reaches
# them byte for byte, from make's command line or from the environment:
# make would read a '$' in it as its own, and a shell a quote or a
# backquote, so each goes into the scripts' environment exactly as typed
# ($(value ...)), and no recipe writes one into a command line.
PASSED := IMAGE MODEL ADDRESS SIGN_KEY SIGN_CERT SHELL_STICK DEPOT_DIR TRUST
$(foreach v,$(PASSED),$(if $(filter undefined,$(origin $(v))),,$(eval override $(v) := $$(value $(v)))$(eval export $(v))))

all:
	@bash scripts/build.sh

demo:
	@bash scripts/demo.sh

test: host-test e2e-test

host-test:
	@bash scripts/host-tests.sh

e2e-test:
	@bash scripts/e2e-tests.sh

bench:
	@bash scripts/bench.sh

plan:
	@bash scripts/plan.sh "$$IMAGE"

stick:
	@bash scripts/stick.sh "$$IMAGE"

depot:
	@bash scripts/depot.sh "$$IMAGE"

depot-bench:
	@nice /usr/bin/python3 scripts/depot_bench.py

# `make capsule IMAGE=ec.bin VERSION=0x... [LOWEST=0x...] HWID={guid}
# [FIELDS=fields.ini] SIGN_KEY=... SIGN_CERT=... [OTHER_CERT=...]` wraps an image in a signed
# capsule, build/NAME.cap; its own variables reach the script as the others do.
.PHONY: capsule
CAPSULE_PASSED := VERSION LOWEST HWID OTHER_CERT FIELDS
$(foreach v,$(CAPSULE_PASSED),$(if $(filter undefined,$(origin $(v))),,$(eval override $(v) := $$(value $(v)))$(eval export $(v))))

capsule:
	@bash scripts/capsule.sh

fmp:
	@bash scripts/fmp.sh

clean:
	rm -rf build
