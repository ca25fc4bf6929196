"""The retry engine's fast paths give what the general ones give: a replaced `_retry_async`
is called as before, and attempt counts that are not plain ints behave as range() makes them."""

import pytest

import vorn_sandbox.utils as utils


class Flaky:
    def __init__(self, failures):
        self.calls = 0
        self.failures = failures

    async def __call__(self):
        self.calls += 1
        if self.calls <= self.failures:
            raise ConnectionError(f"refused {self.calls}")
        return "made"


async def test_create_with_retry_calls_a_replaced_engine_through_the_module(monkeypatch):
    seen = []

    async def engine(operation, **options):
        seen.append((operation, options))
        return "from the replacement"

    monkeypatch.setattr(utils, "_retry_async", engine)
    create = Flaky(0)
    assert await utils.create_with_retry(create, is_transient=bool, attempts=4, backoff=0) == "from the replacement"
    assert seen == [(create, {"attempts": 4, "backoff": 0, "should_retry": bool, "total_timeout": None})]
    assert create.calls == 0


@pytest.mark.parametrize(
    "attempts, failures, outcome",
    [
        (3, 2, "made"),                 # plain int, counted in C++
        (True, 0, "made"),              # an int subclass: range(1, 2)
        (True, 1, ConnectionError),     # one attempt only
        (2**70, 1, "made"),             # beyond a C++ count
        (2.0, 0, TypeError),            # range() refuses a float
    ],
)
async def test_attempt_counts(attempts, failures, outcome):
    create = Flaky(failures)
    call = utils.create_with_retry(create, is_transient=lambda e: True, attempts=attempts, backoff=0)
    if isinstance(outcome, type):
        with pytest.raises(outcome):
            await call
    else:
        assert await call == outcome
        assert create.calls == failures + 1
