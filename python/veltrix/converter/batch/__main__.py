"""`python -m veltrix.converter.batch`: the `veltrix-batch` command."""

from veltrix.converter.batch.command import run

if __name__ == "__main__":
    run()
