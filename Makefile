# Morvane: `make` builds build/Morvane.efi; `make demo` flashes a sample
# image onto the simulated EC in QEMU; `make test` runs every test.
# Each target installs what it needs first (scripts/setup.sh).

.PHONY: all demo test host-test e2e-test bench clean

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

clean:
	rm -rf build
