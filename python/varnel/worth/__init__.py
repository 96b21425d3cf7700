"""What deserves a lead's minute: commit kinds, the field's defect label and a risk ranking."""
