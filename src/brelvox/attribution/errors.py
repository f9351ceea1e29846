"""What the attribution raises and warns."""


class AttributionError(ValueError):
    """The attribution cannot be computed from what it was given."""


class HoldingsError(AttributionError):
    """A holdings file or frame is unusable; the message names the file and line (or row),
    `source` the file."""

    source = None


class BenchmarkError(AttributionError):
    """A benchmark definition is unusable, or its data does not cover the span."""


class AttributionWarning(UserWarning):
    """Something was adjusted rather than refused (weights normalised, a short span)."""
