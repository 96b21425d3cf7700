"""The levels of attention a report can have, least first, and the formats
it is printed in: what the command line offers before anything that renders
a report is loaded."""

LEVELS = ("all_clear", "watch", "review", "action_needed")
FORMATS = ("text", "markdown", "json")
