// The validation port: the host's gate decides whether a model's sentence
// may be kept as a pattern's description.
#pragma once

#include <string_view>

namespace varnel::patstage {

class TextGate {
 public:
  virtual ~TextGate() = default;

  // Whether `text` may be used. Errors of the gate itself propagate.
  virtual bool accepts(std::string_view text) = 0;
};

}  // namespace varnel::patstage
