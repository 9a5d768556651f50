# Morvane: `make` builds build/Morvane.efi; `make demo` flashes a sample
# image onto the simulated EC in QEMU; `make test` runs every test;
# `make plan IMAGE=ec.bin` checks an image; `make stick IMAGE=ec.bin` builds
# the operator's flashing stick (build/morvane-stick.img);
# `make depot IMAGE=ec.bin` serves Morvane, the image and the results page
# to machines that boot from the network.
# Each target installs what it needs first (scripts/setup.sh).

.PHONY: all demo test host-test e2e-test bench plan stick depot clean

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
	@bash scripts/plan.sh "$(IMAGE)"

stick:
	@bash scripts/stick.sh "$(IMAGE)"

depot:
	@bash scripts/depot.sh "$(IMAGE)"

clean:
	rm -rf build
