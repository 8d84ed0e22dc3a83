# The two set-up commands: `make demo` (the main job) and `make test`.
# Both create .venv/ (Python 3.13) with the package and its dependencies.
.PHONY: demo test venv bench bench-methods bench-epochs clean sanitize fuzz

venv:
	bash scripts/venv.sh

demo: venv
	.venv/bin/python -P scripts/demo.py

# The suite on TEST_JOBS worker processes (pytest-xdist); tests that share an
# expensive module fixture run on one worker (tests/conftest.py groups them).
TEST_JOBS ?= 2
test: venv
	.venv/bin/python -P -m pytest -q -n $(TEST_JOBS) --dist loadgroup

# The test suite with the extension modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer (build-sanitize/; .venv keeps the normal build).
sanitize: venv
	TEST_JOBS=$(TEST_JOBS) bash scripts/sanitize.sh

# Random argument vectors for every tool function, under the sanitizers:
# FUZZ_N inputs per function, FUZZ_JOBS functions at a time.
FUZZ_N ?= 2000
FUZZ_JOBS ?= 2
fuzz: venv
	bash scripts/sanitize.sh .venv/bin/python -P fuzz/fuzz.py -n $(FUZZ_N) -j $(FUZZ_JOBS)

bench: venv
	.venv/bin/python -P bench/run.py
	.venv/bin/python -P bench/cython_peer.py
	.venv/bin/python -P bench/host.py

bench-methods: venv
	.venv/bin/python -P bench/methods.py

bench-epochs: venv
	.venv/bin/python -P bench/epochs.py

clean:
	rm -rf build build-sanitize .venv
