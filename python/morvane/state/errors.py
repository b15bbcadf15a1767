"""The package's exceptions."""


class FormatError(ValueError):
    """Bytes that are not a valid profile or monitor: truncated, corrupted, hostile or from a future version."""


class MismatchError(ValueError):
    """Profiles that do not share a layout (edges, categories, task or facets) cannot be merged or compared."""
