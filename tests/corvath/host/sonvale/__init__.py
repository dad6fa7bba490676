"""Stand-in of the host application's `sonvale` package, for the tests of sonvale.corvath.

A regular package that extends its path, as a host's package may, so that the built module's
folder (which has no __init__.py) merges with it."""
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
