"""Stand-in for the gntp package."""
