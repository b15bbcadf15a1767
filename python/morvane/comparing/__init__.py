"""Comparing two profiles: one module per family of checks, each a table of checks, and the
statistical tests they share."""
