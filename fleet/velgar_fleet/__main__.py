"""python3 -m velgar_fleet: the same as fleet/velgar-fleet."""
import sys

from velgar_fleet.cli import main

sys.exit(main())
