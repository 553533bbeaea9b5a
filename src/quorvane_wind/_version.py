"""The version of the package, in a module of its own so that any module
may import it without importing the package's public names."""

__version__ = "0.1.0"
