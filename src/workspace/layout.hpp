// Where each phase keeps its files inside a workspace (the directory a host
// names as varnel_dir): Phase 1's events, then one folder per later phase.
// Every engine finds the others' files by these names.
#pragma once

#include <filesystem>

namespace varnel::workspace {

struct Layout {
  // The folders under `root`; nothing is created.
  explicit Layout(std::filesystem::path root);

  std::filesystem::path root;
  std::filesystem::path events;  // one JSON file per event
  std::filesystem::path phase2;  // the signal files
  std::filesystem::path phase3;  // the explanations
  std::filesystem::path phase4;  // the knowledge base and the pattern summary
  std::filesystem::path phase5;  // the advisory, its texts and the verification
};

// The explanations file of a phase3 folder.
std::filesystem::path explanations_file(const std::filesystem::path& phase3);

// The knowledge base file of a phase4 folder.
std::filesystem::path knowledge_base_file(const std::filesystem::path& phase4);

}  // namespace varnel::workspace
