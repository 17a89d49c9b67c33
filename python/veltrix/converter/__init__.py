"""veltrix-converter: front end and plug-in framework for model conversion."""

__version__ = "0.1.0"


def version() -> str:
    """The version line that every run of the command prints first."""
    return "veltrix-converter " + __version__
