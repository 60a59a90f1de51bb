"""Put on a child's path, hides an installed clipboard package: the import
fails as for one that is not installed."""

raise ModuleNotFoundError(f"No module named {__name__!r}", name=__name__)
