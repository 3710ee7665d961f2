// Keeps the module library non-empty while it has no sources of its own.
