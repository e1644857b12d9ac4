import pytest

import nalo_limiter


@pytest.fixture
def limiter():
    return nalo_limiter.NaloLimiter(48000)
