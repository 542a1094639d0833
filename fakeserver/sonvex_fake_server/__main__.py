"""python -m sonvex_fake_server: run the fake media server (see main())."""

import sys

from sonvex_fake_server import main

sys.exit(main())
