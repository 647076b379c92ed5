// Keeps the support library non-empty while it has no fakes of its own.
