-- The knowledge base: pattern candidates, the knowledge promoted from them,
-- the signals that evidence each pattern, and an audit log of every change
-- to a pattern. Every statement is idempotent, so opening a prepared file
-- runs the whole script as a no-op. Columns typed JSON hold JSON text.

CREATE TABLE IF NOT EXISTS patterns (
    pattern_id TEXT PRIMARY KEY,
    fingerprint TEXT NOT NULL,
    scope TEXT NOT NULL,
    discovery_method TEXT NOT NULL,
    pattern_type TEXT NOT NULL,
    sources JSON NOT NULL,
    metrics JSON NOT NULL,
    description_statistical TEXT,
    description_semantic TEXT,
    correlation_strength REAL,
    occurrence_count INTEGER DEFAULT 1,
    repo_count INTEGER DEFAULT 0,
    first_seen TEXT NOT NULL,
    last_seen TEXT NOT NULL,
    confidence_tier TEXT NOT NULL,
    confidence_status TEXT NOT NULL,
    expired INTEGER DEFAULT 0,
    created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL
);

CREATE TABLE IF NOT EXISTS knowledge (
    knowledge_id TEXT PRIMARY KEY,
    derived_from TEXT REFERENCES patterns(pattern_id),
    fingerprint TEXT NOT NULL,
    scope TEXT NOT NULL,
    pattern_type TEXT NOT NULL,
    sources JSON NOT NULL,
    metrics JSON NOT NULL,
    description_statistical TEXT NOT NULL,
    description_semantic TEXT,
    support_count INTEGER NOT NULL,
    first_seen TEXT NOT NULL,
    last_seen TEXT NOT NULL,
    approval_method TEXT NOT NULL,
    approval_timestamp TEXT NOT NULL,
    created_at TEXT NOT NULL
);

CREATE TABLE IF NOT EXISTS pattern_signals (
    pattern_id TEXT REFERENCES patterns(pattern_id),
    signal_ref TEXT NOT NULL,
    observed_at TEXT NOT NULL,
    PRIMARY KEY (pattern_id, signal_ref)
);

-- The events whose signals a run of the pattern engine has seen: an
-- occurrence of a known pattern counts again only when it rests on an event
-- not listed here, so a rerun over the same history learns nothing twice.
CREATE TABLE IF NOT EXISTS counted_events (
    event_ref TEXT PRIMARY KEY
);

CREATE TABLE IF NOT EXISTS pattern_history (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    pattern_id TEXT NOT NULL,
    action TEXT NOT NULL,
    details JSON,
    timestamp TEXT NOT NULL
);

CREATE INDEX IF NOT EXISTS idx_patterns_fingerprint ON patterns(fingerprint);
CREATE INDEX IF NOT EXISTS idx_patterns_scope ON patterns(scope);
CREATE INDEX IF NOT EXISTS idx_patterns_expired ON patterns(expired);
CREATE INDEX IF NOT EXISTS idx_knowledge_fingerprint ON knowledge(fingerprint);
CREATE INDEX IF NOT EXISTS idx_knowledge_scope ON knowledge(scope);
CREATE INDEX IF NOT EXISTS idx_pattern_history_pattern ON pattern_history(pattern_id);
