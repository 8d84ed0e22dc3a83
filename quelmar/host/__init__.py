"""quelmar's tool host: a Model Context Protocol server over stdio.

Start it with ``python -m quelmar.host`` (or the ``quelmar-host`` command). It
offers the five tool functions of ``quelmar.tools`` to an AI assistant:

=====================  ================================================
``execute_plusor``     a + b in single precision (JAX)
``execute_timesor``    a * b in single precision (JAX)
``execute_minusor``    a - b in single precision (JAX)
``execute_tabextent``  rows, columns and column names of a CSV table
``execute_fitrun``     train a model from CSV data
=====================  ================================================

The host adds nothing to the tools: it calls their public functions with the
arguments it receives and sends back what they return or raise. See
``quelmar.host.server`` for how requests are served and
``quelmar.host.__main__`` for how the protocol stream is kept clean.
"""
