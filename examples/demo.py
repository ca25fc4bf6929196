"""Demo: what the package exposes (the provider demo arrives with the first backend)."""

import vorn_sandbox

print("vorn_sandbox loaded from", vorn_sandbox.__file__)
for name in vorn_sandbox.__all__:
    print(" ", name, "->", getattr(vorn_sandbox, name))
