"""Call decorators, conversions and frame helpers."""
