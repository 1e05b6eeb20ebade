// Filled in with the console layer.
