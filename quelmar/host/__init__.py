"""quelmar's tool host: a Model Context Protocol server (stdio or Streamable HTTP).

Start it with ``python -m quelmar.host`` (or the ``quelmar-host`` command). It
offers the five tool functions of ``quelmar.tools`` to an AI assistant:

=====================  ================================================
``execute_plusor``     a + b in single precision (JAX)
``execute_timesor``    a * b in single precision (JAX)
``execute_minusor``    a - b in single precision (JAX)
``execute_tabextent``  rows, columns and column names of a CSV table
``execute_fitrun``     train a model from CSV data
=====================  ================================================

The host calls the tools' public functions in worker processes with the
arguments it receives, after checking their paths against its file-access
policy, and sends back what they return or raise. See
``quelmar.host.server`` for how requests are served, ``quelmar.host.pool``
and ``quelmar.host.worker`` for the worker processes,
``quelmar.host.policy`` for the file-access policy and
``quelmar.host.__main__`` for the options, the signals and the transports.
"""
