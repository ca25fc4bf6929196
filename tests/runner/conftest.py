from runner_harness import arena, runner  # noqa: F401  (fixtures)
