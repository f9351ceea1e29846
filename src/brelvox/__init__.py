"""Market-data layer of the brelvox performance-attribution engine."""

__version__ = "0.1.0"
