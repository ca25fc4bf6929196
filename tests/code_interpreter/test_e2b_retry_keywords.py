"""E2BSandbox.create retried with the caller's extra keywords, against the local E2B service."""

from vorn_sandbox.code_interpreter.e2b import E2BSandbox


async def test_a_retry_passes_the_extra_keywords_again(e2b_local):
    # The first attempt answers a transient failure; the second must get the
    # same keywords as the first, once each.
    e2b_local.fail("create", 1, status=429)
    before = e2b_local.service.created_count
    backend = await E2BSandbox.create(e2b_local.api_key, create_backoff=0, envs={"A": "b"})
    try:
        assert e2b_local.service.created_count == before + 1
        result = await backend.execute_command("echo $A")
        assert result.stdout.strip() == "b"
    finally:
        await backend.terminate()
    assert e2b_local.live_count() == 0
