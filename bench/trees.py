"""Whole trees up, down and away: the scenario `tree_tasks` of peers.py (bench/README.md).

    python3 bench/trees.py [--quick] [--servers ...] [-j 4] [--rounds 1] [--no-count] [--no-readme]
"""

from peers import main

if __name__ == "__main__":
    main(scenario="trees")
