# The two set-up commands: `make demo` (the main job) and `make test`.
# Both create .venv/ (Python 3.13) with the package and its dependencies.
.PHONY: demo test venv bench bench-methods bench-epochs clean

venv:
	bash scripts/venv.sh

demo: venv
	.venv/bin/python -P scripts/demo.py

test: venv
	.venv/bin/python -P -m pytest -q

bench: venv
	.venv/bin/python -P bench/run.py
	.venv/bin/python -P bench/host.py

bench-methods: venv
	.venv/bin/python -P bench/methods.py

bench-epochs: venv
	.venv/bin/python -P bench/epochs.py

clean:
	rm -rf build .venv
