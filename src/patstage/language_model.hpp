// The interpretation ports: a language-model client that answers a prompt,
// and the host's two kinds of client, either of which may be missing.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace varnel::patstage {

class LanguageModel {
 public:
  virtual ~LanguageModel() = default;

  // The answer text, or nullopt when the call failed or gave no text (an
  // interpretation never fails a run).
  virtual std::optional<std::string> generate(std::string_view prompt) = 0;
};

enum class ClientKind { Anthropic, OpenRouter };

class ModelClients {
 public:
  virtual ~ModelClients() = default;

  // Whether the host provides clients of this kind at all.
  virtual bool available(ClientKind kind) = 0;

  // A new client for `model`, or nullptr when making it failed.
  virtual std::shared_ptr<LanguageModel> make(ClientKind kind, std::string_view model) = 0;
};

}  // namespace varnel::patstage
