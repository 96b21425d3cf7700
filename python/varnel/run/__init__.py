"""One analysis of a repository: its events, window, stage and results."""
