"""``python examples/demo`` (or ``python -m demo`` from examples/)."""

import sys
from pathlib import Path

if not __package__:
    # Run as a folder: its parent, examples/, holds the package and the
    # output-capture helper it shares with the benchmarks.
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

try:
    import gymnasium  # noqa: F401
    import matplotlib  # noqa: F401
    import tqdm  # noqa: F401
except ImportError as missing:  # a bare environment: say what to install
    sys.exit(f"the demonstration needs gymnasium, matplotlib and tqdm ({missing}); "
             "pip install -r requirements-demo.txt")

from demo.cli import main  # noqa: E402

main()
