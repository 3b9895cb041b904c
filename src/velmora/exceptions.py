"""Exceptions raised by velmora."""

__all__ = ["VelmoraError", "VelmoraInputError"]


class VelmoraError(Exception):
    """Base class of velmora's own exceptions."""


class VelmoraInputError(VelmoraError, ValueError):
    """Input data or arguments that velmora cannot work with.

    A ``ValueError`` as well, so callers that catch ``ValueError`` keep working.
    """
