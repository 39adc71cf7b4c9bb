import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
import netlab  # noqa: E402


@pytest.fixture
def lab():
    if os.geteuid() != 0:
        pytest.skip("network namespaces need root")
    l = netlab.Lab()
    try:
        yield l
    finally:
        l.close()
