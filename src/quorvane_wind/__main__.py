import sys

from .cli import main

# Guarded: worker processes started with the spawn method import this
# module again, and must not run the command a second time.
if __name__ == "__main__":
    sys.exit(main())
