"""Developer tools of the checkout (not part of the installed package)."""
