"""Phase 1: collectors that turn a repository's history and its tools'
reports into event files in a workspace."""
