"""Pure-Python equivalents of native functions and of the package's root import,
written here only to measure the native ones against, in the same run."""
