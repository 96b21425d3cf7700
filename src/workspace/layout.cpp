// The folder and file names of a workspace.
#include "workspace/layout.hpp"

#include <utility>

namespace varnel::workspace {

Layout::Layout(std::filesystem::path root_dir)
    : root(std::move(root_dir)),
      events(root / "events"),
      phase2(root / "phase2"),
      phase3(root / "phase3"),
      phase4(root / "phase4"),
      phase5(root / "phase5") {}

std::filesystem::path explanations_file(const std::filesystem::path& phase3) { return phase3 / "explanations.json"; }

std::filesystem::path knowledge_base_file(const std::filesystem::path& phase4) { return phase4 / "knowledge.db"; }

}  // namespace varnel::workspace
