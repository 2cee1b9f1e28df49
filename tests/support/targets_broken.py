"""A target module whose loading fails with an ordinary exception."""
raise ValueError("broken at import")
