"""`python -m morvane`: the command line."""

from morvane.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
