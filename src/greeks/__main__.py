import sys

from greeks.cli import main

sys.exit(main())
