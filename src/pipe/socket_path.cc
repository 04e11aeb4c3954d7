#include "pipe/socket_path.h"

#include <cstdlib>

namespace trb {

std::vector<std::string> SocketPathCandidates(std::string_view name, const char* tmpdir) {
  if (name.empty()) name = kDefaultPipeName;
  if (name.front() == '/') return {std::string(name)};

  std::string dir = tmpdir != nullptr ? tmpdir : "";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) dir = "/tmp";
  if (dir != "/") dir += '/';

  std::string plain = dir;
  plain += name;
  std::string dotnet = dir;
  dotnet += "CoreFxPipe_";
  dotnet += name;
  return {std::move(plain), std::move(dotnet)};
}

std::vector<std::string> SocketPathCandidates(std::string_view name) {
  return SocketPathCandidates(name, std::getenv("TMPDIR"));
}

}  // namespace trb
