// Filled in with the subsystem that uses it.
