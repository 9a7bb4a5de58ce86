"""Whole trees up, down and away: the scenario `tree_tasks` of peers.py (bench/README.md).

    python3 bench/trees.py [--quick] [--servers ...] [-j 4] [--rounds 1] [--no-count] [--no-readme]
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from peers import main  # noqa: E402

if __name__ == "__main__":
    main(scenario="trees")
