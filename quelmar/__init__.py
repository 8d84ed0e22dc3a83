"""quelmar: compiled tool functions for AI assistants."""
