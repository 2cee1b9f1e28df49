"""A target module whose loading raises SystemExit."""
raise SystemExit("exit at import")
