"""Stand-in data client, importable so that the extensions can be loaded to write their type
stubs. It answers nothing: the operations exist only because modules look them up at import."""

import types as _types


def _absent(*args, **kwargs):
    raise RuntimeError("the stand-in data client used for stub generation holds no data")


instruments = _absent
for _part in ("bond", "fund", "convertible", "client"):
    _module = _types.ModuleType(__name__ + "." + _part)
    _module.instruments = _absent
    globals()[_part] = _module
del _part, _module
