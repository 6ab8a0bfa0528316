// PlatformException: the one exception type that crosses module boundaries.
#pragma once

#include <exception>
#include <string>

namespace omb {

// A named failure with a human-readable reason; the name lets callers
// (e.g. the interpreter's "IncorrectSchemeOBJ") dispatch without RTTI games.
class PlatformException : public std::exception {
public:
  PlatformException(std::string name, std::string reason);

  const std::string& name() const noexcept { return name_; }
  const std::string& reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return reason_.c_str(); }

private:
  std::string name_;
  std::string reason_;
};

} // namespace omb
