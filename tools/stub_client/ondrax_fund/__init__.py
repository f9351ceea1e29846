"""Stand-in for the fund data package, importable for stub generation only."""
