"""The package's exceptions."""


class FormatError(ValueError):
    """Bytes that are not a valid profile or monitor: truncated, corrupted, hostile or from a future version."""


class MismatchError(ValueError):
    """Profiles that do not share a layout (edges, categories, task or facets) cannot be merged or compared."""


class MissingColumnsError(MismatchError, KeyError):
    """Columns a table lacks (all of them, with their roles): a MismatchError, and a KeyError as a
    missing column always was."""

    __str__ = ValueError.__str__
